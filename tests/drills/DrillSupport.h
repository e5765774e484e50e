// What the drills share: a varnel-sim process in the drill's private runtime
// directory, a window that records the scope samples it handles, waiting
// while the event loop runs, and the process' own CPU time, descriptors and
// threads.
#pragma once

#include "console/MainUnit.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace VarnelDrills {

using TClock = std::chrono::steady_clock;

// The description every drill's simulator uses.
inline const std::string SimDescription = "KWTP Drill";

// A varnel-sim process. Its standard error goes to a file in the runtime
// directory; the destructor kills a process still running.
class TSimProcess
{
public:
    TSimProcess() = default;
    ~TSimProcess();
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // Starts the simulator with these options (the description is added) and
    // waits until its socket is there. False if it did not come up.
    bool Start(const std::vector<std::string>& options);
    // True once the process has ended (polls without waiting).
    bool HasEnded();
    // SIGTERM and wait; the number of scope samples it reports sending.
    std::optional<uint64_t> Stop();

private:
    pid_t FPid = -1;
    std::string FStderr;
};

// The window with every handled scope sample's raw value recorded.
class TRecordingForm : public TMainForm
{
public:
    using TMainForm::TMainForm;
    void HandleScopeSample(uint32_t value) override
    {
        Samples.push_back(value);
        TMainForm::HandleScopeSample(value);
    }
    std::vector<uint32_t> Samples;
};

// Runs the event loop until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);
// Runs the event loop for this long.
void RunEventsFor(std::chrono::milliseconds time);

// Search, select the drill's simulator and connect, as the operator would.
bool ConnectToSimulator(TMainForm& form);

// CPU seconds of the whole process (every thread).
double ProcessCpuSeconds();
int OpenDescriptorCount();
int ThreadCount();

// The drill's private runtime directory (XDG_RUNTIME_DIR).
const std::string& RuntimeDirectory();

} // namespace VarnelDrills
