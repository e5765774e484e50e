// SPDX-License-Identifier: GPL-3.0-or-later
// The metrics endpoint under a hostile crowd (scripts/bench): the endpoint
// as the console runs it, in this process, and in a process of its own a
// crowd of a thousand idle connections that send nothing, a hundred clients
// that send a byte a second and ten that pipeline ten thousand requests and
// read nothing, each dialling again when the endpoint lets it go. Meanwhile
// a scraper asks for /metrics four times a second, each time on a new
// connection, and the endpoint's process's resident memory is read: before
// the crowd, while it lasts, and after it is gone. Prints the figures and the
// goals with their thresholds; exits 2 when a goal is missed.
#include "HttpClient.h"
#include "HttpCrowd.h"
#include "console/publish/MetricsEndpoint.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The goals.
constexpr double ScrapeLimitMsec = 1000.0;
// What the endpoint's limits let the crowd make it hold at most: every
// connection with a full request head read twice over (the socket's buffer
// and the request's), its unsent answers at the bound and one page more.
constexpr double PageKiB = 8.0;
double BoundMiB()
{
    const TMetricsEndpoint::TLimits limits;
    const double perConnectionKiB =
        2.0 * limits.MaxRequestBytes / 1024.0 + limits.MaxUnsentBytes / 1024.0 + PageKiB;
    return limits.MaxConnections * perConnectionKiB / 1024.0;
}
// After the crowd, the memory comes back within this of where it started.
constexpr double AfterLimitMiB = 8.0;

long ResidentKiB()
{
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

TMetricsSnapshot Snapshot()
{
    TMetricsSnapshot s;
    s.Facts.Connected = true;
    s.Facts.Device = QStringLiteral("KWTP Bench");
    s.Facts.DeviceSerialNumber = QStringLiteral("KW000001");
    s.Facts.StatusCode = 3;
    s.Facts.Locked = true;
    s.Facts.LockedPeak = QStringLiteral("f");
    s.Version = QStringLiteral("bench");
    return s;
}

struct TScrapes
{
    std::vector<double> Msec;
    int Failed = 0;
    long MaxResidentKiB = 0;
    int MaxConnections = 0;
    double MaxConnectMsec = 0; // the longest a connect took
    double CpuShare = 0;       // the endpoint's thread, % of one core
};

// CPU time of the endpoint's thread so far, in seconds.
double EndpointCpuSeconds()
{
    double seconds = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return 0;
    while (const dirent* task = ::readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        const std::string dir = std::string("/proc/self/task/") + task->d_name;
        std::string name;
        std::ifstream(dir + "/comm") >> name;
        if (name != "varnel-metrics")
            continue;
        double ns = 0;
        std::ifstream(dir + "/schedstat") >> ns;
        seconds += ns / 1e9;
    }
    ::closedir(tasks);
    return seconds;
}

TScrapes ScrapeFor(const TMetricsEndpoint& endpoint, std::chrono::seconds span)
{
    TScrapes scrapes;
    const double cpu0 = EndpointCpuSeconds();
    const TClock::time_point start = TClock::now();
    const TClock::time_point end = start + span;
    while (TClock::now() < end) {
        const TClock::time_point asked = TClock::now();
        bool ok = false;
        const int fd = VarnelHttp::Dial(endpoint.Port());
        const TClock::time_point connected = TClock::now();
        if (fd >= 0) {
            const std::string request =
                "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            ok = ::write(fd, request.data(), request.size()) ==
                     static_cast<ssize_t>(request.size()) &&
                 VarnelHttp::StatusOf(VarnelHttp::ReadAnswer(fd)) == 200;
            ::close(fd);
        }
        const double msec =
            std::chrono::duration<double, std::milli>(TClock::now() - asked).count();
        scrapes.MaxConnectMsec =
            std::max(scrapes.MaxConnectMsec,
                     std::chrono::duration<double, std::milli>(connected - asked).count());
        if (ok)
            scrapes.Msec.push_back(msec);
        else
            ++scrapes.Failed;
        scrapes.MaxResidentKiB = std::max(scrapes.MaxResidentKiB, ResidentKiB());
        scrapes.MaxConnections = std::max(scrapes.MaxConnections, endpoint.Connections());
        std::this_thread::sleep_until(asked + 250ms);
    }
    std::sort(scrapes.Msec.begin(), scrapes.Msec.end());
    scrapes.CpuShare = (EndpointCpuSeconds() - cpu0) /
                       std::chrono::duration<double>(TClock::now() - start).count() * 100.0;
    return scrapes;
}

double Quantile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty())
        return NAN;
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
}

void Raise(rlim_t wanted)
{
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < wanted) {
        files.rlim_cur = std::min(wanted, files.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

int Crowd(int port)
{
    Raise(4096);
    VarnelHttp::THttpCrowd crowd(port, VarnelHttp::THttpCrowd::TShape{});
    // Until the parent ends it.
    for (;;)
        std::this_thread::sleep_for(1s);
}

pid_t StartCrowd(int port)
{
    std::vector<std::string> args = {"varnel_endpoint_bench", "--crowd", std::to_string(port)};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void Print(const char* phase, const TScrapes& s)
{
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    std::printf("%-22s %5zu %6d %9.1f %9.1f %9.1f %11.1f %9.1f %12.1f %12d %8.2f %8.2f\n", phase,
                s.Msec.size(), s.Failed, Quantile(s.Msec, 0.5), Quantile(s.Msec, 0.99),
                s.Msec.empty() ? NAN : s.Msec.back(), s.MaxConnectMsec,
                0.0 + s.MaxResidentKiB / 1024.0, 0.0 + ResidentKiB() / 1024.0, s.MaxConnections,
                s.CpuShare, load);
}

int Run(int seconds)
{
    // The endpoint makes its own room among the open files, as in the console.
    TMetricsEndpoint endpoint(QStringLiteral("127.0.0.1:0"));
    if (!endpoint.IsListening()) {
        std::fprintf(stderr, "varnel_endpoint_bench: %s\n", qUtf8Printable(endpoint.Error()));
        return 1;
    }
    endpoint.SetSnapshot(Snapshot());
    std::printf("Metrics endpoint under a crowd of 1000 idle connections, 100 clients sending a "
                "byte a second and 10 pipelining 10000 requests without reading; a scrape every "
                "250 ms on a new connection, %d s under the crowd\n\n",
                seconds);
    std::printf("%-22s %5s %6s %9s %9s %9s %11s %9s %12s %12s %8s %8s\n", "phase", "ok", "failed",
                "p50 ms", "p99 ms", "max ms", "connect ms", "RSS MB", "RSS MB end", "connections",
                "cpu %", "load");
    const TScrapes quiet = ScrapeFor(endpoint, 5s);
    Print("quiet", quiet);
    const long before = ResidentKiB();

    const pid_t crowd = StartCrowd(endpoint.Port());
    if (crowd < 0) {
        std::fprintf(stderr, "varnel_endpoint_bench: cannot start the crowd\n");
        return 1;
    }
    const TScrapes under = ScrapeFor(endpoint, std::chrono::seconds(seconds));
    Print("under the crowd", under);
    ::kill(crowd, SIGTERM);
    int status = 0;
    ::waitpid(crowd, &status, 0);
    // The crowd's connections end as it exits; the endpoint lets them go.
    const TScrapes after = ScrapeFor(endpoint, 10s);
    Print("after the crowd", after);
    const long afterKiB = ResidentKiB();

    const double slowest = under.Msec.empty() ? INFINITY : under.Msec.back();
    const double grewMiB = (under.MaxResidentKiB - before) / 1024.0;
    const double keptMiB = (afterKiB - before) / 1024.0;
    struct TGoal
    {
        std::string Text;
        bool Met;
        std::string Measured;
    };
    char text[256];
    std::vector<TGoal> goals;
    std::snprintf(text, sizeof text, "%zu scrapes, %d failed, the slowest %.1f ms",
                  under.Msec.size(), under.Failed, slowest);
    goals.push_back({"every scrape under the crowd answered within 1000 ms",
                     under.Failed == 0 && !under.Msec.empty() && slowest < ScrapeLimitMsec, text});
    std::snprintf(text, sizeof text, "+%.1f MB (%.1f MB before, %.1f MB at most)", grewMiB,
                  before / 1024.0, under.MaxResidentKiB / 1024.0);
    char goal[128];
    std::snprintf(goal, sizeof goal, "RSS grows < %.1f MB under the crowd (the limits' bound)",
                  BoundMiB());
    goals.push_back({goal, grewMiB < BoundMiB(), text});
    std::snprintf(text, sizeof text, "%+.1f MB 10 s after the crowd, %d connections open", keptMiB,
                  endpoint.Connections());
    std::snprintf(goal, sizeof goal, "RSS back within %.1f MB of before after the crowd",
                  AfterLimitMiB);
    goals.push_back({goal, keptMiB < AfterLimitMiB, text});
    std::printf("\n");
    bool allMet = true;
    for (const TGoal& g : goals) {
        std::printf("%-6s %-58s %s\n", g.Met ? "met" : "MISSED", g.Text.c_str(),
                    g.Measured.c_str());
        allMet = allMet && g.Met;
    }
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 3 && std::string(argv[1]) == "--crowd")
        return Crowd(std::atoi(argv[2]));
    int seconds = 30;
    if (argc == 3 && std::string(argv[1]) == "--seconds")
        seconds = std::max(1, std::atoi(argv[2]));
    else if (argc != 1) {
        std::fputs("Usage: varnel_endpoint_bench [--seconds S]\n", stderr);
        return 2;
    }
    QCoreApplication app(argc, argv);
    return Run(seconds);
}
