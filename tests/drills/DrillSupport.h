// SPDX-License-Identifier: GPL-3.0-or-later
// What the drills share: a varnel-sim process in the drill's private runtime
// directory, a window that records the scope samples it handles, waiting
// while the event loop runs, and the process' own CPU time, descriptors and
// threads.
#pragma once

#include "ConsoleConnect.h"
#include "SimProcess.h"
#include "WaitUntil.h"

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

// The drills' simulator: it appears as SimDescription, and its standard
// error goes to a file of its own in the drills' runtime directory.
class TSimProcess : public VarnelSim::TSimProcess
{
public:
    TSimProcess();
    // Starts it with these options and waits until its socket is there.
    bool Start(const std::vector<std::string>& options);
};

// The window with every handled scope sample's raw value recorded.
class TRecordingForm : public TMainForm
{
public:
    // Every scope sample the controller's state takes, as the raw value
    // the controller sent.
    explicit TRecordingForm(TConsoleEnvironment environment = TConsoleEnvironment::Default())
        : TMainForm(std::move(environment))
    {
        FRecording =
            QObject::connect(&State(), &TControllerState::ScopeSample, this, [this](double value) {
                Samples.push_back(static_cast<uint32_t>(TControllerState::ScopeZero - value));
            });
    }
    // The window's close still runs what the reader delivered last; the
    // record is gone by then.
    ~TRecordingForm() override { QObject::disconnect(FRecording); }
    std::vector<uint32_t> Samples;

private:
    QMetaObject::Connection FRecording;
};

// Runs the event loop for this long.
void RunEventsFor(std::chrono::milliseconds time);

// CPU seconds of the whole process (every thread).
double ProcessCpuSeconds();
int OpenDescriptorCount();
int ThreadCount();
// Names of the threads and targets of the descriptors, for a failed leak check.
std::string DescribeThreadsAndDescriptors();

// The drill's private runtime directory (XDG_RUNTIME_DIR).
const std::string& RuntimeDirectory();

} // namespace VarnelDrills
