// SPDX-License-Identifier: GPL-3.0-or-later
#include "DrillSupport.h"

#include "link/BridgeDirectory.h"
#include "link/D2XX_Unit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QListWidget>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <thread>

namespace VarnelDrills {

using namespace std::chrono_literals;

// The console reaches the simulator through its own drivers, whatever a
// drill on the fake line plugged in before.
TSimProcess::TSimProcess() : VarnelSim::TSimProcess(VARNEL_SIM_BINARY, SimDescription)
{
    D2XX_RestoreDefaultDrivers();
}

bool TSimProcess::Start(const std::vector<std::string>& options)
{
    static int serial = 0;
    return VarnelSim::TSimProcess::Start(options, RuntimeDirectory() + "/sim-" +
                                                      std::to_string(++serial) + ".txt");
}

void RunEventsFor(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

double ProcessCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

namespace {

int CountEntries(const char* directory)
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
        ++count;
    return count;
}

} // namespace

int OpenDescriptorCount()
{
    return CountEntries("/proc/self/fd");
}

int ThreadCount()
{
    return CountEntries("/proc/self/task");
}

std::string DescribeThreadsAndDescriptors()
{
    std::string text = "threads:";
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        text += " [" + name + "]";
    }
    text += "; descriptors:";
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        text += " " + std::filesystem::read_symlink(fd.path(), error).string();
    return text;
}

const std::string& RuntimeDirectory()
{
    static const std::string directory = [] {
        const char* set = std::getenv("XDG_RUNTIME_DIR");
        return std::string(set ? set : "");
    }();
    return directory;
}

} // namespace VarnelDrills
