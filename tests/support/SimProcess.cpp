// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimProcess.h"

#include "link/BridgeDirectory.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace VarnelSim {

TSimProcess::TSimProcess(std::string binary, std::string description)
    : FBinary(std::move(binary)), FDescription(std::move(description))
{
}

TSimProcess::~TSimProcess()
{
    if (FPid > 0) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
}

bool TSimProcess::Start(const std::vector<std::string>& options, const std::string& stderrPath)
{
    FStderr = stderrPath;
    std::vector<std::string> args = {FBinary, "--description", FDescription};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, FStderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int failed =
        ::posix_spawn(&FPid, FBinary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
        FPid = -1;
        return false;
    }

    // Ready once its socket is there.
    const std::string socket = VarnelBridges::SocketPath(FDescription);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        struct stat st
        {
        };
        if (::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            return true;
        if (HasEnded())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool TSimProcess::HasEnded()
{
    if (FPid <= 0)
        return true;
    if (::waitpid(FPid, nullptr, WNOHANG) != FPid)
        return false;
    FPid = -1;
    return true;
}

bool TSimProcess::Knock()
{
    return FPid > 0 && ::kill(FPid, SIGUSR1) == 0;
}

std::optional<uint64_t> TSimProcess::Stop()
{
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }
    std::ifstream in(FStderr);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const std::string key = "scope samples sent: ";
    const auto at = all.rfind(key);
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtoull(all.c_str() + at + key.size(), nullptr, 10);
}

} // namespace VarnelSim
