#include "DrillSupport.h"

#include "link/BridgeDirectory.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QListWidget>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace VarnelDrills {

using namespace std::chrono_literals;

TSimProcess::~TSimProcess()
{
    if (FPid > 0) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
}

bool TSimProcess::Start(const std::vector<std::string>& options)
{
    static int serial = 0;
    FStderr = RuntimeDirectory() + "/sim-" + std::to_string(++serial) + ".txt";
    std::vector<std::string> args = {VARNEL_SIM_BINARY, "--description", SimDescription};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, FStderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int failed =
        ::posix_spawn(&FPid, VARNEL_SIM_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
        FPid = -1;
        return false;
    }
    const std::string socket = VarnelBridges::SocketPath(SimDescription);
    const TClock::time_point end = TClock::now() + 10s;
    while (TClock::now() < end) {
        struct stat st
        {
        };
        if (::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            return true;
        if (HasEnded())
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool TSimProcess::HasEnded()
{
    if (FPid <= 0)
        return true;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) != FPid)
        return false;
    FPid = -1;
    return true;
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

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const TClock::time_point end = TClock::now() + limit;
    while (!condition()) {
        if (TClock::now() >= end)
            return false;
        RunEventsFor(5ms);
    }
    return true;
}

void RunEventsFor(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

bool ConnectToSimulator(TMainForm& form)
{
    form.SearchUrzadzenButtonClick();
    const QList<QListWidgetItem*> found =
        form.DeviceListListBox->findItems(QString::fromStdString(SimDescription), Qt::MatchExactly);
    if (found.isEmpty())
        return false;
    form.DeviceListListBox->setCurrentItem(found.first());
    form.ConnectButtonClick();
    return form.StatusLabel->text() == QLatin1String("Connected");
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

const std::string& RuntimeDirectory()
{
    static const std::string directory = [] {
        const char* set = std::getenv("XDG_RUNTIME_DIR");
        return std::string(set ? set : "");
    }();
    return directory;
}

} // namespace VarnelDrills
