// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the varnel-sim program as a child process, for tests and benchmarks
// that want a controller on a simulated bridge in their own runtime directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VarnelSim {

class TSimProcess
{
public:
    // binary: the varnel-sim program; description: the bridge it appears as.
    TSimProcess(std::string binary, std::string description);
    // A simulator still running is killed.
    ~TSimProcess();

    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // Starts the program with --description and these options, its standard
    // error going to stderrPath, and waits up to 10 s for its socket. False
    // if it could not be started or ended before its socket appeared.
    bool Start(const std::vector<std::string>& options, const std::string& stderrPath);
    // True once the process has ended (looks without waiting).
    bool HasEnded();
    // Knocks the simulated laser (SIGUSR1); false when it is not running.
    bool Knock();
    // SIGTERM and wait; then the number of scope samples it reports having
    // sent, if it said so on its way out.
    std::optional<uint64_t> Stop();

private:
    std::string FBinary;
    std::string FDescription;
    std::string FStderr;
    pid_t FPid = -1;
};

} // namespace VarnelSim
