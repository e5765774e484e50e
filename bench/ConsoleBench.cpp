// SPDX-License-Identifier: GPL-3.0-or-later
// End-to-end benchmark of the console: the real window (offscreen) on its
// main page with the scope chart shown and the data log on, connected over a
// simulated bridge to a varnel-sim process in a private runtime directory.
//
// Without --run the program runs every load in a process of its own (so that
// memory and CPU figures belong to one load) and prints the table and the
// goals. With --run LOAD it runs one load and prints one result line.
//
// The metrics load is the line rate again, in phases that take turns: the
// console without a metrics endpoint, and the console with one that a
// scraper process of its own (this program with --scrape) asks for /metrics
// ten times a second. The difference is what the scrapes cost.
#include "ConsoleConnect.h"
#include "HttpClient.h"
#include "SimProcess.h"
#include "console/MainUnit.h"
#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"
#include "console/model/FileWriter.h"
#include "console/publish/LabMetrics.h"
#include "link/BridgeDirectory.h"
#include "protocol/ReadFrameUnit.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string Description = "KWTP Bench";
constexpr double WarmUpSeconds = 2.0;
constexpr double CloseStreamSeconds = 2.0;
// The metrics load: phases of about this length, each after a pause in
// which the endpoint starts or stops and settles.
constexpr double MetricsPhaseSeconds = 5.0;
constexpr double MetricsSettleSeconds = 0.5;
// An endpoint takes up to a few seconds to stop (its listener sees the stop
// at its next poll): the stream must last that much longer per pair.
constexpr double MetricsStopSeconds = 3.0;
constexpr double ScrapesPerSecond = 10.0;

// ---- the loads

struct TLoad
{
    std::string Name;
    std::string Title;
    uint32_t Rate; // scope samples per second, 0 for none
    std::vector<std::string> SimArgs;
    // Phases without and with a scraped metrics endpoint (its own table).
    bool MetricsPhases = false;
};

const std::vector<TLoad> Loads = {
    {"line", "line rate, 768/s paced", 768, {"--scope-only", "--scope-rate", "768"}},
    {"tenfold",
     "10x line rate, 7680/s unpaced",
     7680,
     {"--scope-only", "--scope-rate", "7680", "--no-pacing"}},
    {"idle", "idle, connected", 0, {"--scope-only", "--scope-rate", "0"}},
    {"metrics",
     "line rate, metrics scraped 10/s",
     768,
     {"--scope-only", "--scope-rate", "768"},
     true},
};

// The metrics load's phases: pairs of one without and one with the
// endpoint, each pair of `seconds` in all.
int MetricsPairs(double seconds)
{
    return std::max(1, static_cast<int>(std::lround(seconds / MetricsPhaseSeconds)));
}

// The time the metrics load takes at most, pauses and stops included.
double MetricsLoadSeconds(double seconds)
{
    return 2.0 * seconds +
           MetricsPairs(seconds) * (2.0 * MetricsSettleSeconds + MetricsStopSeconds);
}

const TLoad* FindLoad(const std::string& name)
{
    for (const TLoad& load : Loads)
        if (load.Name == name)
            return &load;
    return nullptr;
}

// ---- the process

double CpuSeconds(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A field of /proc/self/status in kB (VmRSS, VmHWM).
long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// Thread switches (voluntary and not) of every thread of this process so
// far, by thread id, with the thread's name; the main thread is "main".
struct TThreadSwitches
{
    std::string Name;
    long Switches = 0;
    // Of those, the ones the scheduler forced on a thread that could have
    // run on (another process wanted the core); the rest are the thread's
    // own sleeps, each ended by a wake-up.
    long Involuntary = 0;
};

// Calls visit(thread id, the thread's folder under /proc) for every thread
// of this process.
template <typename TVisit> void ForEachThread(TVisit visit)
{
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.')
            visit(std::strtol(entry->d_name, nullptr, 10),
                  std::string("/proc/self/task/") + entry->d_name);
    }
    ::closedir(tasks);
}

std::map<long, TThreadSwitches> ThreadSwitches()
{
    std::map<long, TThreadSwitches> threads;
    ForEachThread([&threads](long tid, const std::string& dir) {
        TThreadSwitches thread;
        std::ifstream(dir + "/comm") >> thread.Name;
        if (tid == ::getpid())
            thread.Name = "main";
        std::ifstream status(dir + "/status");
        std::string line;
        for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"})
            while (std::getline(status, line))
                if (line.rfind(key, 0) == 0) {
                    const long count = std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
                    thread.Switches += count;
                    if (key[0] == 'n')
                        thread.Involuntary = count;
                    break;
                }
        threads[tid] = thread;
    });
    return threads;
}

// Switches per second of each thread between two readings, by name (threads
// of one name added up), busiest first, as "name:rate,name:rate"; the sum
// goes to total, the sum of the involuntary ones to involuntary.
std::string SwitchRates(const std::map<long, TThreadSwitches>& before,
                        const std::map<long, TThreadSwitches>& after, double seconds, double& total,
                        double& involuntary)
{
    std::map<std::string, double> byName;
    total = 0;
    involuntary = 0;
    for (const auto& [tid, thread] : after) {
        const auto earlier = before.find(tid);
        const long base = earlier != before.end() ? earlier->second.Switches : 0;
        const long forcedBase = earlier != before.end() ? earlier->second.Involuntary : 0;
        const double rate = static_cast<double>(thread.Switches - base) / seconds;
        byName[thread.Name] += rate;
        total += rate;
        involuntary += static_cast<double>(thread.Involuntary - forcedBase) / seconds;
    }
    std::vector<std::pair<std::string, double>> sorted(byName.begin(), byName.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [name, rate] : sorted) {
        if (rate < 0.5)
            continue;
        char item[96];
        std::snprintf(item, sizeof item, "%s%s:%.0f", text.empty() ? "" : ",", name.c_str(), rate);
        text += item;
    }
    return text.empty() ? "-" : text;
}

uint64_t ReaderPasses(const TMainForm& form)
{
    const TReadVarnelFrameThread* reader = form.Session().FrameReader();
    return reader ? reader->PassCount() : 0;
}

// The machine's CPU counters (all cores), to tell how busy the rest of the
// machine was while a load ran.
struct TMachineTicks
{
    double Busy = 0;
    double Steal = 0;
    double Total = 0;
};

TMachineTicks MachineTicks()
{
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return {user + nice + system + irq + softirq, steal,
            user + nice + system + idle + iowait + irq + softirq + steal};
}

double Seconds(TClock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void RunEventsFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunEventsUntil(const std::function<bool()>& done, double limitSeconds)
{
    const TClock::time_point end = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                                       std::chrono::duration<double>(limitSeconds));
    while (!done()) {
        if (TClock::now() >= end)
            return false;
        RunEventsFor(0.01);
    }
    return true;
}

// ---- the simulator

// The benchmark's simulator, appearing as Description.
class TSimProcess : public VarnelSim::TSimProcess
{
public:
    TSimProcess() : VarnelSim::TSimProcess(VARNEL_SIM_BINARY, Description) {}
};

// ---- the instrumented window

class TBenchForm : public TMainForm
{
public:
    // The record of handling times is made in full at the start, so that
    // filling it does not show as growth of the console's memory.
    TBenchForm(TConsoleEnvironment environment, std::size_t expectedSamples)
        : TMainForm(std::move(environment)), FHandled(expectedSamples + 1024)
    {
        // Every scope sample the controller's state takes, as the raw value
        // the controller sent.
        FRecording =
            QObject::connect(&State(), &TControllerState::ScopeSample, this, [this](double sample) {
                NoteSample(static_cast<uint32_t>(TControllerState::ScopeZero - sample));
            });
    }
    // The window's close still runs what the reader delivered last; the
    // record is gone by then.
    ~TBenchForm() override { QObject::disconnect(FRecording); }

    void NoteSample(uint32_t value)
    {
        const TClock::time_point now = TClock::now();
        if (value != (FCount & 0xFFFFu))
            ++FOutOfOrder;
        if (FCount < FHandled.size())
            FHandled[FCount] = now;
        ++FCount;
    }

    uint64_t Count() const { return FCount; }
    uint64_t OutOfOrder() const { return FOutOfOrder; }
    const std::vector<TClock::time_point>& Handled() const { return FHandled; }
    long RecordKb() const
    {
        return static_cast<long>(FHandled.size() * sizeof(TClock::time_point) / 1024);
    }

private:
    QMetaObject::Connection FRecording;
    uint64_t FCount = 0;
    uint64_t FOutOfOrder = 0;
    std::vector<TClock::time_point> FHandled;
};

void SetLog(TMainForm& form, bool on)
{
    form.SaveDataChartToFileCheckBox->setChecked(on);
    form.SaveDataChartToFileCheckBoxClick();
}

// Every line of the log must be 17640 - raw for the ramp 0, 1, 2, ...
uint64_t CheckLog(const std::string& path, uint64_t& badLines)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    uint64_t k = 0;
    badLines = 0;
    while (std::getline(in, line)) {
        const long expected = 17640 - static_cast<long>(k & 0xFFFFu);
        if (line != std::to_string(expected) + "\r")
            ++badLines;
        ++k;
    }
    return k;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    const std::size_t k =
        std::min(values.size() - 1, static_cast<std::size_t>(std::ceil(p * values.size())) - 1);
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return values[k];
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

using TResult = std::map<std::string, std::string>;

std::string Number(double value, int decimals = 2)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// ---- the metrics endpoint's cost

// CPU time of each thread of this process so far, in seconds, by thread id
// (/proc/self/task/*/schedstat: nanoseconds on the CPU).
std::map<long, double> ThreadCpuSeconds()
{
    std::map<long, double> threads;
    ForEachThread([&threads](long tid, const std::string& dir) {
        double ns = 0;
        std::ifstream(dir + "/schedstat") >> ns;
        threads[tid] = ns / 1e9;
    });
    return threads;
}

// This program as a scraper: GET /metrics at the port ten times a second,
// until the time is up or it is told to stop, over one connection kept
// between scrapes as Prometheus keeps it (dialled again when the server
// closed it).
int Scrape(int port, double seconds)
{
    VarnelHttp::TKeptConnection connection(port);
    const TClock::time_point end = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                                       std::chrono::duration<double>(seconds));
    const auto period = std::chrono::duration_cast<TClock::duration>(
        std::chrono::duration<double>(1.0 / ScrapesPerSecond));
    TClock::time_point next = TClock::now();
    while (next < end) {
        (void)connection.Get("/metrics");
        next += period;
        std::this_thread::sleep_until(next);
    }
    return 0;
}

pid_t StartScraper(int port, double seconds)
{
    std::vector<std::string> args = {"varnel_console_bench", "--scrape", std::to_string(port),
                                     Number(seconds, 1)};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

// Runs the line rate in pairs of phases, one without a metrics endpoint and
// one with an endpoint fed as the console program feeds it and scraped ten
// times a second by another process; the pairs alternate which comes first,
// so that a machine growing busier or quieter favours neither. Fills the
// console's share of one core without and with (median of the phases), the
// median of the pairs' differences, the endpoint's own threads' share, the
// share of the console's other threads without and with, and the scrapes
// answered per second.
void RunMetricsPhases(TBenchForm& form, uint32_t rate, double seconds, TResult& result)
{
    const int pairs = MetricsPairs(seconds);
    const double phaseSeconds = seconds / pairs;
    std::vector<double> without, with, differences, restWithout, restWith;
    double endpointCpu = 0, scrapedWall = 0;
    uint64_t scrapes = 0;
    for (int pair = 0; pair < pairs; ++pair) {
        double share[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const bool scraped = (k == 0) == (pair % 2 == 1);
            const auto threadsBefore = ThreadCpuSeconds();
            std::unique_ptr<TLabMetrics> metrics;
            pid_t scraper = -1;
            if (scraped) {
                metrics = std::make_unique<TLabMetrics>(
                    form.LockHistory(), QStringLiteral("127.0.0.1:0"), QStringLiteral("bench"));
                if (!metrics->Endpoint().IsListening()) {
                    result["error"] = "the metrics endpoint did not listen";
                    return;
                }
                auto samples = std::make_shared<uint64_t>(0);
                QObject::connect(&form.State(), &TControllerState::ScopeSample, metrics.get(),
                                 [samples] { ++*samples; });
                const TLockHistory& history = form.LockHistory();
                metrics->SetMoreFacts([samples, &history](TMetricsSnapshot& snapshot) {
                    snapshot.ScopeSamples = *samples;
                    snapshot.LinkLosses = history.LinkLosses();
                });
                scraper = StartScraper(metrics->Endpoint().Port(),
                                       MetricsSettleSeconds + phaseSeconds + 5.0);
                if (scraper < 0) {
                    result["error"] = "the scraper did not start";
                    return;
                }
            }
            RunEventsFor(MetricsSettleSeconds);
            const uint64_t scrapes0 = metrics ? metrics->Endpoint().Scrapes() : 0;
            const auto threads0 = ThreadCpuSeconds();
            const double cpu0 = CpuSeconds(RUSAGE_SELF);
            const TClock::time_point t0 = TClock::now();
            const uint64_t count0 = form.Count();
            RunEventsFor(phaseSeconds);
            const TClock::time_point t1 = TClock::now();
            const double cpu1 = CpuSeconds(RUSAGE_SELF);
            const auto threads1 = ThreadCpuSeconds();
            const double wall = Seconds(t1 - t0);
            // Every phase at the line rate, or the comparison means nothing.
            if (static_cast<double>(form.Count() - count0) < 0.9 * rate * wall) {
                result["error"] = "the stream did not keep its rate through phase " +
                                  std::to_string(2 * pair + k + 1);
                if (scraper > 0) {
                    ::kill(scraper, SIGTERM);
                    ::waitpid(scraper, nullptr, 0);
                }
                return;
            }
            share[scraped ? 1 : 0] = (cpu1 - cpu0) / wall * 100.0;
            (scraped ? with : without).push_back(share[scraped ? 1 : 0]);
            // The console's own threads, those that ran before the endpoint.
            double rest = 0;
            for (const auto& [tid, cpu] : threads1)
                if (threadsBefore.count(tid) && threads0.count(tid))
                    rest += cpu - threads0.at(tid);
            (scraped ? restWith : restWithout).push_back(rest / wall * 100.0);
            if (scraped) {
                scrapes += metrics->Endpoint().Scrapes() - scrapes0;
                scrapedWall += wall;
                // The endpoint's threads: those its start made.
                for (const auto& [tid, cpu] : threads1)
                    if (!threadsBefore.count(tid) && threads0.count(tid))
                        endpointCpu += cpu - threads0.at(tid);
                ::kill(scraper, SIGTERM);
                int status = 0;
                ::waitpid(scraper, &status, 0);
                metrics.reset();
            }
        }
        differences.push_back(share[1] - share[0]);
    }
    result["metrics_pairs"] = std::to_string(pairs);
    result["metrics_phase_s"] = Number(phaseSeconds, 1);
    result["metrics_without"] = Number(Median(without), 2);
    result["metrics_with"] = Number(Median(with), 2);
    result["metrics_difference"] = Number(Median(differences), 3);
    result["metrics_rest_without"] = Number(Median(restWithout), 2);
    result["metrics_rest_with"] = Number(Median(restWith), 2);
    std::string all;
    for (double d : differences)
        all += (all.empty() ? "" : ",") + Number(d, 2);
    result["metrics_differences"] = all;
    result["metrics_endpoint_share"] = Number(endpointCpu / scrapedWall * 100.0, 3);
    result["metrics_scrapes_per_s"] = Number(static_cast<double>(scrapes) / scrapedWall, 2);
}

// Runs one load in this process and returns its figures.
TResult RunLoad(const TLoad& load, double seconds, const std::string& runtime)
{
    TResult result;
    auto fail = [&](const std::string& why) {
        result["error"] = why;
        return result;
    };

    const std::string logPath = runtime + "/log.txt";
    const std::string closeLogPath = runtime + "/close-log.txt";
    const std::string stampsPath = runtime + "/stamps.txt";

    // Enough samples for the warm-up and the window, then the stream stops
    // so that every sample sent can be accounted for.
    const double measuredSeconds = load.MetricsPhases ? MetricsLoadSeconds(seconds) : seconds;
    const uint64_t limit =
        static_cast<uint64_t>(std::ceil(load.Rate * (WarmUpSeconds + measuredSeconds + 1.0)));
    std::vector<std::string> args = load.SimArgs;
    args.insert(args.end(), {"--scope-pattern", "ramp"});
    std::vector<std::string> measuredArgs = args;
    // The console empties the line when it opens it: samples start with its
    // first command, so that every one sent can be accounted for.
    measuredArgs.insert(measuredArgs.end(), {"--scope-after-command", "--timestamps", stampsPath});
    if (limit > 0)
        measuredArgs.insert(measuredArgs.end(), {"--samples", std::to_string(limit)});

    TSimProcess sim;
    if (!sim.Start(measuredArgs, runtime + "/sim.txt"))
        return fail("the simulator did not start");

    QStringList reports;
    QString logName = QString::fromStdString(logPath);
    TConsoleEnvironment environment = TConsoleEnvironment::Default();
    environment.AskSaveFileName = [&](QWidget*, const QString&, const QString&, const QString&) {
        return logName;
    };
    environment.ReportToOperator = [&](QWidget*, const QString& title, const QString& text) {
        reports << title + ": " + text;
    };
    auto form =
        std::make_unique<TBenchForm>(std::move(environment), static_cast<std::size_t>(limit));
    form->show();
    form->SimpleMenu().NextButtonClick();
    RunEventsFor(0.2);
    if (!form->Chart->isVisible())
        return fail("the scope chart is not visible");
    SetLog(*form, true);
    if (!form->IsLogging())
        return fail("the data log did not start");
    if (!ConnectToSimulator(*form, Description))
        return fail("the console did not connect");

    RunEventsFor(WarmUpSeconds);

    const TClock::time_point t0 = TClock::now();
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const double mainCpu0 = CpuSeconds(RUSAGE_THREAD);
    const uint64_t count0 = form->Count();
    const long rss0 = StatusKb("VmRSS");
    const TMachineTicks machine0 = MachineTicks();
    const auto switches0 = ThreadSwitches();
    const uint64_t passes0 = ReaderPasses(*form);
    if (load.MetricsPhases) {
        RunMetricsPhases(*form, load.Rate, seconds, result);
        if (result.count("error"))
            return result;
    } else {
        RunEventsFor(seconds);
    }
    const uint64_t passes1 = ReaderPasses(*form);
    const auto switches1 = ThreadSwitches();
    const TMachineTicks machine1 = MachineTicks();
    const TClock::time_point t1 = TClock::now();
    const double cpu1 = CpuSeconds(RUSAGE_SELF);
    const double mainCpu1 = CpuSeconds(RUSAGE_THREAD);
    const uint64_t count1 = form->Count();
    const long rss1 = StatusKb("VmRSS");
    // Memory figures leave out the benchmark's own record of handling times.
    const long recordKb = form->RecordKb();

    // The rest of the stream, then the simulator's own count.
    uint64_t last = form->Count();
    TClock::time_point lastChange = TClock::now();
    RunEventsUntil(
        [&] {
            if (form->Count() != last) {
                last = form->Count();
                lastChange = TClock::now();
            }
            return form->Count() >= limit || TClock::now() - lastChange > 2s;
        },
        load.MetricsPhases ? 30.0 + MetricsPairs(seconds) * MetricsStopSeconds : 30.0);
    RunEventsFor(0.2);
    const std::optional<uint64_t> sent = sim.Stop();
    const uint64_t handled = form->Count();
    const uint64_t outOfOrder = form->OutOfOrder();
    SetLog(*form, false);
    // The log's writer closes the file on its own thread.
    RunEventsUntil([&] { return form->Session().findChildren<TFileWriter*>().isEmpty(); }, 10);
    uint64_t badLines = 0;
    const uint64_t logged = CheckLog(logPath, badLines);

    // Latency of the samples handled in the measured window.
    std::vector<double> latencies;
    {
        std::ifstream stamps(stampsPath);
        long long ns = 0;
        uint64_t k = 0;
        const auto& handledAt = form->Handled();
        while (stamps >> ns) {
            if (k >= count0 && k < count1 && k < handledAt.size()) {
                const auto sentAt = TClock::time_point(std::chrono::nanoseconds(ns));
                latencies.push_back(Seconds(handledAt[k] - sentAt) * 1000.0);
            }
            ++k;
        }
    }

    // Closing the window while it streams, with the log on.
    TSimProcess closeSim;
    double closeMs = NAN;
    if (closeSim.Start(args, runtime + "/close-sim.txt") &&
        ConnectToSimulator(*form, Description)) {
        logName = QString::fromStdString(closeLogPath);
        SetLog(*form, true);
        RunEventsFor(CloseStreamSeconds);
        const TClock::time_point c0 = TClock::now();
        form->close();
        form.reset();
        closeMs = Seconds(TClock::now() - c0) * 1000.0;
    }
    form.reset();
    closeSim.Stop();

    const double wall = Seconds(t1 - t0);
    const double cpu = cpu1 - cpu0;
    const uint64_t samples = count1 - count0;
    result["load"] = load.Name;
    result["seconds"] = Number(wall, 1);
    result["sent"] = sent ? std::to_string(*sent) : "?";
    result["handled"] = std::to_string(handled);
    result["logged"] = std::to_string(logged);
    result["bad_lines"] = std::to_string(badLines);
    result["out_of_order"] = std::to_string(outOfOrder);
    result["rate"] = Number(samples / wall, 0);
    result["cpu_per_1000"] = samples > 0 ? Number(cpu / samples * 1000.0 * 1000.0, 1) : "-";
    result["cpu_share"] = Number(cpu / wall * 100.0, 2);
    result["main_share"] = Number((mainCpu1 - mainCpu0) / wall * 100.0, 2);
    result["rss_start_kb"] = std::to_string(rss0 - recordKb);
    result["rss_kb"] = std::to_string(rss1 - recordKb);
    result["hwm_kb"] = std::to_string(StatusKb("VmHWM") - recordKb);
    result["lat_median"] = Number(Percentile(latencies, 0.5), 3);
    result["lat_p99"] = Number(Percentile(latencies, 0.99), 3);
    result["lat_max"] =
        Number(latencies.empty() ? NAN : *std::max_element(latencies.begin(), latencies.end()), 3);
    result["close_ms"] = Number(closeMs, 0);
    double switchesTotal = 0;
    double switchesForced = 0;
    result["switches"] = SwitchRates(switches0, switches1, wall, switchesTotal, switchesForced);
    result["switches_total"] = Number(switchesTotal, 0);
    result["switches_involuntary"] = Number(switchesForced, 0);
    result["passes"] = Number(static_cast<double>(passes1 - passes0) / wall, 0);
    // Busy share of the whole machine (every process, all cores) and the
    // time the hypervisor gave to others.
    const double ticks = std::max(1.0, machine1.Total - machine0.Total);
    result["machine_busy"] = Number((machine1.Busy - machine0.Busy) / ticks * 100.0, 1);
    result["machine_steal"] = Number((machine1.Steal - machine0.Steal) / ticks * 100.0, 1);
    result["reports"] = std::to_string(reports.size());
    return result;
}

// ---- the driver

std::string Serialise(const TResult& result)
{
    std::string line = "RESULT";
    for (const auto& [key, value] : result) {
        std::string v = value;
        std::replace(v.begin(), v.end(), ' ', '_');
        line += " " + key + "=" + v;
    }
    return line;
}

TResult Parse(const std::string& text)
{
    TResult result;
    const auto at = text.rfind("RESULT");
    if (at == std::string::npos)
        return result;
    std::istringstream in(text.substr(at + 6));
    std::string field;
    while (in >> field) {
        const auto eq = field.find('=');
        if (eq != std::string::npos)
            result[field.substr(0, eq)] = field.substr(eq + 1);
    }
    return result;
}

TResult RunChild(const char* self, const TLoad& load, double seconds)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {{"error", "pipe"}};
    const std::string secondsText = Number(seconds, 1);
    std::vector<std::string> args = {self, "--run", load.Name, "--seconds", secondsText};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    const int failed =
        ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string output;
    if (!failed) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
            if (got > 0)
                output.append(buffer, static_cast<std::size_t>(got));
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    ::close(pipeFds[0]);
    TResult result = Parse(output);
    if (result.empty())
        result["error"] = "the run printed no result";
    return result;
}

double Value(const TResult& r, const char* key)
{
    const auto it = r.find(key);
    if (it == r.end() || it->second == "-" || it->second == "?")
        return NAN;
    return std::strtod(it->second.c_str(), nullptr);
}

std::string Field(const TResult& r, const char* key)
{
    const auto it = r.find(key);
    return it == r.end() ? std::string("-") : it->second;
}

int Drive(const char* self, double seconds, double lineSeconds)
{
    double load1 = 0;
    std::ifstream("/proc/loadavg") >> load1;
    std::printf("Console end-to-end benchmark: %g s per load (line rate: %g s), warm-up %g s; "
                "load average at the start %.2f\n\n",
                seconds, lineSeconds, WarmUpSeconds, load1);
    std::fflush(stdout);
    std::map<std::string, TResult> results;
    for (const TLoad& load : Loads) {
        const double s = load.Name == "line" ? lineSeconds : seconds;
        std::fprintf(stderr, "running: %s for %g s ...\n", load.Title.c_str(),
                     load.MetricsPhases ? MetricsLoadSeconds(s) : s);
        results[load.Name] = RunChild(self, load, s);
    }

    bool integrity = true;
    std::printf("%-31s %8s %8s %8s %6s %9s %7s %7s %8s %8s %7s %7s %7s %6s %8s\n", "load", "sent",
                "logged", "in order", "rate/s", "cpu ms/1k", "cpu %", "main %", "peak MB", "RSS MB",
                "grow MB", "p50 ms", "p99 ms", "max ms", "machine%");
    for (const TLoad& load : Loads) {
        const TResult& r = results[load.Name];
        if (r.count("error")) {
            std::printf("%-31s error: %s\n", load.Title.c_str(), r.at("error").c_str());
            integrity = false;
            continue;
        }
        const bool inOrder = Field(r, "bad_lines") == "0" && Field(r, "out_of_order") == "0";
        const bool equal =
            Field(r, "sent") == Field(r, "logged") && Field(r, "sent") == Field(r, "handled");
        integrity = integrity && inOrder && equal && Field(r, "reports") == "0";
        if (load.MetricsPhases)
            continue; // a table of its own
        std::printf("%-31s %8s %8s %8s %6s %9s %7s %7s %8.1f %8.1f %7.2f %7s %7s %7s %8s\n",
                    load.Title.c_str(), Field(r, "sent").c_str(), Field(r, "logged").c_str(),
                    inOrder ? "yes" : "NO", Field(r, "rate").c_str(),
                    Field(r, "cpu_per_1000").c_str(), Field(r, "cpu_share").c_str(),
                    Field(r, "main_share").c_str(), Value(r, "hwm_kb") / 1024.0,
                    Value(r, "rss_kb") / 1024.0,
                    (Value(r, "rss_kb") - Value(r, "rss_start_kb")) / 1024.0,
                    Field(r, "lat_median").c_str(), Field(r, "lat_p99").c_str(),
                    Field(r, "lat_max").c_str(), Field(r, "machine_busy").c_str());
    }
    std::printf("\n(cpu %%: the console, all threads, of one core; main %%: its main thread; "
                "machine%%: every process on the machine, of all %ld cores, while the load ran)\n",
                ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("\n%-31s %9s %10s %11s  %s\n", "load", "passes/s", "switches/s", "involuntary",
                "switches/s by thread");
    for (const TLoad& load : Loads) {
        const TResult& r = results[load.Name];
        if (r.count("error") || load.MetricsPhases)
            continue;
        std::string threads = Field(r, "switches");
        std::replace(threads.begin(), threads.end(), ',', ' ');
        std::printf("%-31s %9s %10s %11s  %s\n", load.Title.c_str(), Field(r, "passes").c_str(),
                    Field(r, "switches_total").c_str(), Field(r, "switches_involuntary").c_str(),
                    threads.c_str());
    }
    std::printf("\n(passes/s: the reader's read passes; switches/s: thread switches of every "
                "thread of the console, voluntary and not; involuntary: of those, the ones the "
                "scheduler forced on a thread that could have run on)\n");
    const TResult& metrics = results["metrics"];
    if (!metrics.count("error")) {
        std::string differences = Field(metrics, "metrics_differences");
        std::replace(differences.begin(), differences.end(), ',', ' ');
        std::printf(
            "\nmetrics endpoint at the line rate, %s pairs of %s s phases without and "
            "with:\n"
            "  console, share of one core: %s %% without an endpoint, %s %% with one "
            "scraped %g times a second (%s scrapes/s answered)\n"
            "  difference: %s %% of one core (median of the pairs: %s)\n"
            "  the endpoint's own threads: %s %% of one core; the console's other "
            "threads: %s %% without, %s %% with\n",
            Field(metrics, "metrics_pairs").c_str(), Field(metrics, "metrics_phase_s").c_str(),
            Field(metrics, "metrics_without").c_str(), Field(metrics, "metrics_with").c_str(),
            ScrapesPerSecond, Field(metrics, "metrics_scrapes_per_s").c_str(),
            Field(metrics, "metrics_difference").c_str(), differences.c_str(),
            Field(metrics, "metrics_endpoint_share").c_str(),
            Field(metrics, "metrics_rest_without").c_str(),
            Field(metrics, "metrics_rest_with").c_str());
    }
    std::printf("\nwindow close while streaming (ms):");
    for (const TLoad& load : Loads)
        std::printf("  %s %s", load.Name.c_str(), Field(results[load.Name], "close_ms").c_str());
    std::printf("\n\n");

    const TResult& line = results["line"];
    const TResult& tenfold = results["tenfold"];
    const TResult& idle = results["idle"];
    double peakMb = 0;
    double closeMax = 0;
    for (const TLoad& load : Loads) {
        peakMb = std::max(peakMb, Value(results[load.Name], "hwm_kb") / 1024.0);
        closeMax = std::max(closeMax, Value(results[load.Name], "close_ms"));
    }
    const double growMb = (Value(line, "rss_kb") - Value(line, "rss_start_kb")) / 1024.0;
    const double metricsCost =
        std::max(Value(metrics, "metrics_difference"), Value(metrics, "metrics_endpoint_share"));
    struct TGoal
    {
        std::string Text;
        bool Met;
        std::string Measured;
    };
    const bool tenfoldWhole = !tenfold.count("error") && Field(tenfold, "bad_lines") == "0" &&
                              Field(tenfold, "sent") == Field(tenfold, "logged") &&
                              Field(tenfold, "sent") != "0";
    std::vector<TGoal> goals = {
        {"nothing lost at 10x the line rate", tenfoldWhole,
         Field(tenfold, "sent") + " sent, " + Field(tenfold, "logged") + " logged"},
        {"<= 2.5 % of one core at the line rate, chart and log", Value(line, "cpu_share") <= 2.5,
         Field(line, "cpu_share") + " %"},
        {"<= 5 % of one core at 10x the line rate", Value(tenfold, "cpu_share") <= 5.0,
         Field(tenfold, "cpu_share") + " %"},
        {"thread switches <= 2 x read passes at the line rate",
         Value(line, "switches_total") <= 2.0 * Value(line, "passes"),
         Field(line, "switches_total") + "/s, " + Field(line, "passes") + " passes/s"},
        {"thread switches <= 2 x read passes at 10x the line rate",
         Value(tenfold, "switches_total") <= 2.0 * Value(tenfold, "passes"),
         Field(tenfold, "switches_total") + "/s, " + Field(tenfold, "passes") + " passes/s"},
        {"p99 latency < 5 ms at the line rate", Value(line, "lat_p99") < 5.0,
         Field(line, "lat_p99") + " ms"},
        {"<= 0.3 % of one core idle while connected", Value(idle, "cpu_share") <= 0.3,
         Field(idle, "cpu_share") + " %"},
        {"resident memory < 80 MB", peakMb < 80.0, Number(peakMb, 1) + " MB peak"},
        {"window closed within 500 ms while streaming", closeMax <= 500.0,
         Number(closeMax, 0) + " ms at most"},
        // The difference of two totals is at the mercy of a busy machine; the
        // endpoint's own threads' CPU is part of the cost whatever the
        // machine does, so the larger of the two is judged.
        {"scrapes at 10/s add < 0.2 % of one core at the line rate",
         metricsCost < 0.2 && Value(metrics, "metrics_scrapes_per_s") > 0.8 * ScrapesPerSecond,
         Number(metricsCost, 3) + " % (difference " + Field(metrics, "metrics_difference") +
             " %, endpoint's threads " + Field(metrics, "metrics_endpoint_share") + " %; " +
             Field(metrics, "metrics_scrapes_per_s") + " scrapes/s)"},
    };
    if (lineSeconds >= 600)
        goals.push_back({"RSS grows < 1 MB over 10 minutes at the line rate", growMb < 1.0,
                         Number(growMb, 2) + " MB over " + Field(line, "seconds") + " s"});
    bool allMet = true;
    for (const TGoal& goal : goals) {
        std::printf("%-6s %-52s %s\n", goal.Met ? "met" : "MISSED", goal.Text.c_str(),
                    goal.Measured.c_str());
        allMet = allMet && goal.Met;
    }
    if (lineSeconds < 600)
        std::printf("%-6s %-52s %s\n", "-", "RSS growth over 10 minutes",
                    "not measured by a short run (scripts/bench --long)");
    if (!integrity) {
        std::printf("\nFAILED: samples were lost, reordered or the log reported an error\n");
        return 1;
    }
    return allMet ? 0 : 2;
}

void Usage()
{
    std::fputs("Usage: varnel_console_bench [--seconds S] [--long]\n"
               "  --seconds S   measured seconds per load (default 20)\n"
               "  --long        measure the line-rate load for 10 minutes (memory growth)\n"
               "  --run LOAD    run one load (line, tenfold, idle, metrics) and print its\n"
               "                result line\n",
               stderr);
}

} // namespace

int main(int argc, char* argv[])
{
    double seconds = 20;
    bool longRun = false;
    std::string run;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--long") {
            longRun = true;
        } else if (arg == "--run" && i + 1 < argc) {
            run = argv[++i];
        } else if (arg == "--scrape" && i + 2 < argc) {
            // The metrics load's scraper: PORT SECONDS.
            const int port = std::atoi(argv[i + 1]);
            return Scrape(port, std::strtod(argv[i + 2], nullptr));
        } else {
            Usage();
            return 2;
        }
    }
    if (!(seconds > 0)) {
        Usage();
        return 2;
    }
    if (run.empty())
        return Drive(argv[0], seconds, longRun ? 600.0 : seconds);

    const TLoad* load = FindLoad(run);
    if (!load) {
        Usage();
        return 2;
    }
    // A private runtime directory holds the simulated bridge, the log files
    // and the simulator's time stamps; it goes with the run.
    char pattern[] = "/tmp/varnel-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("varnel_console_bench: cannot create a runtime directory");
        return 1;
    }
    const std::string runtime = pattern;
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TResult result;
    {
        QApplication app(argc, argv);
        result = RunLoad(*load, seconds, runtime);
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    std::printf("%s\n", Serialise(result).c_str());
    return result.count("error") ? 1 : 0;
}
