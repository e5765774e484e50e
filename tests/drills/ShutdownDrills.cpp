// SPDX-License-Identifier: GPL-3.0-or-later
// Stopping at the worst moment: the reader waiting for the main thread to run
// a scope sample's handler, again and again, and the whole console started,
// streaming and closed a hundred times. A hang is caught by a watchdog that
// ends the run with the step it stuck in.
#include "ConsoleTestSupport.h"
#include "DrillSupport.h"

#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"
#include "protocol/MainThreadCallList.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace {

using namespace VarnelDrills;
using namespace std::chrono_literals;

// Ends the process if the current step does not finish in time.
class TWatchdog
{
public:
    explicit TWatchdog(std::chrono::seconds limit) : FLimit(limit), FThread([this] { Watch(); }) {}
    ~TWatchdog()
    {
        {
            std::lock_guard guard(FLock);
            FDone = true;
        }
        FWake.notify_all();
        FThread.join();
    }
    void Step(const std::string& name)
    {
        std::lock_guard guard(FLock);
        FStep = name;
        FDeadline = TClock::now() + FLimit;
    }

private:
    void Watch()
    {
        std::unique_lock guard(FLock);
        while (!FDone) {
            FWake.wait_for(guard, 100ms);
            if (!FDone && TClock::now() > FDeadline) {
                std::fprintf(stderr, "HANG: no progress for %lld s in %s\n",
                             static_cast<long long>(FLimit.count()), FStep.c_str());
                std::abort();
            }
        }
    }

    std::chrono::seconds FLimit;
    std::mutex FLock;
    std::condition_variable FWake;
    bool FDone = false;
    std::string FStep = "start";
    TClock::time_point FDeadline = TClock::now() + FLimit;
    std::thread FThread;
};

TEST(ShutdownDrill, ReaderStoppedWhileItWaitsForAScopeSampleHandler)
{
    auto bridge = std::make_shared<TFakeLine>();
    bridge->SetDevices({QStringLiteral("KWTP Stand-in")});
    TRecordingForm form(FakeLineEnvironment(bridge));
    TWatchdog watchdog(30s);
    TMainThreadCallList& calls = TMainThreadCallList::Instance();

    constexpr int Rounds = 300;
    for (int round = 0; round < Rounds; ++round) {
        watchdog.Step("round " + std::to_string(round));
        form.SearchUrzadzenButtonClick();
        ASSERT_TRUE(WaitUntil([&] { return !form.SearchRunning(); }));
        form.ConnectButtonClick();
        ASSERT_EQ(form.StatusLabel->text(), "Connected") << "round " << round;
        const std::size_t before = form.Samples.size();
        // Two samples in one read: the reader waits with the first and
        // still has the second to deliver.
        std::vector<uint8_t> bytes = DeviceFrameValue(1, static_cast<uint16_t>(round));
        const std::vector<uint8_t> second = DeviceFrameValue(1, static_cast<uint16_t>(round + 1));
        bytes.insert(bytes.end(), second.begin(), second.end());
        bridge->Feed(bytes);

        // The event loop does not run: the reader posts the first sample and
        // then waits for it.
        const TClock::time_point end = TClock::now() + 10s;
        while (calls.PendingCount() == 0 && TClock::now() < end)
            std::this_thread::sleep_for(100us);
        ASSERT_GT(calls.PendingCount(), 0u) << "round " << round;

        form.DisconnectButtonClick();
        EXPECT_EQ(form.StatusLabel->text(), "Disconnected");
        EXPECT_FALSE(form.Session().FrameReader());
        // The sample the reader waited with was handled, nothing out of order.
        ASSERT_EQ(form.Samples.size(), before + 2) << "round " << round;
        EXPECT_EQ(form.Samples[before], static_cast<uint32_t>(round));
        EXPECT_EQ(form.Samples[before + 1], static_cast<uint32_t>(round + 1));
        calls.RunPending();
    }
}

TEST(ShutdownDrill, WholeConsoleStartedStreamingAndClosedAHundredTimes)
{
    TSimProcess sim;
    ASSERT_TRUE(sim.Start({"--scope-only", "--scope-rate", "7680", "--no-pacing"}));
    TWatchdog watchdog(60s);

    constexpr int Cycles = 100;
    int descriptorsBefore = -1;
    int threadsBefore = -1;
    double slowestClose = 0;
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        watchdog.Step("cycle " + std::to_string(cycle));
        auto form = std::make_unique<TRecordingForm>();
        form->show();
        form->SimpleMenu().NextButtonClick();
        // The simulator serves one console at a time and may not have seen the
        // last one go yet; connect again until samples flow.
        bool streaming = false;
        for (int attempt = 0; attempt < 5 && !streaming; ++attempt) {
            if (ConnectToSimulator(*form, SimDescription))
                streaming = WaitUntil([&] { return form->Samples.size() >= 200; }, 3000ms);
            if (!streaming) {
                form->DisconnectButtonClick();
                RunEventsFor(200ms);
            }
        }
        ASSERT_TRUE(streaming) << "cycle " << cycle;

        watchdog.Step("closing in cycle " + std::to_string(cycle));
        const TClock::time_point start = TClock::now();
        form->close();
        form.reset();
        slowestClose = std::max(
            slowestClose, std::chrono::duration<double, std::milli>(TClock::now() - start).count());

        if (cycle == 0) {
            descriptorsBefore = OpenDescriptorCount();
            threadsBefore = ThreadCount();
        }
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            return OpenDescriptorCount() <= descriptorsBefore && ThreadCount() <= threadsBefore;
        },
        5000ms))
        << "descriptors " << descriptorsBefore << " -> " << OpenDescriptorCount() << ", threads "
        << threadsBefore << " -> " << ThreadCount() << "; " << DescribeThreadsAndDescriptors();
    // Generous: a hang is what this drill is after; the benchmark measures
    // the close time itself.
    EXPECT_LT(slowestClose, 5000.0);
    std::printf("[ drill    ] slowest close while streaming: %.0f ms\n", slowestClose);
}

// The log's complete lines, and whether the file ends with a complete one.
QStringList LogLines(const std::string& name, bool& endsWithLine)
{
    QFile file(QString::fromStdString(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    endsWithLine = text.isEmpty() || text.endsWith("\r\n");
    QStringList lines = QString::fromLatin1(text).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

TEST(ShutdownDrill, TerminationSignalsCloseTheWholeConsoleAndTheLogKeepsEverySample)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signal));
        // A ramp at most of the line's rate: the log must hold consecutive
        // values, and the buffered tail is lost when the process just dies.
        TSimProcess sim;
        ASSERT_TRUE(sim.Start({"--scope-only", "--scope-pattern", "ramp", "--scope-rate", "500"}));
        const std::string logName =
            RuntimeDirectory() + "/signal-" + std::to_string(signal) + ".txt";
        QProcess console;
        console.start(QStringLiteral(VARNEL_DRILL_CONSOLE_BINARY),
                      {QString::fromStdString(logName), QString::fromStdString(SimDescription)});
        ASSERT_TRUE(console.waitForStarted(10000));
        ASSERT_TRUE(WaitUntil([&] { return console.canReadLine(); }, 30000ms));
        ASSERT_EQ(console.readLine().trimmed(), "logging") << console.readAllStandardError().data();
        bool endsWithLine = true;
        ASSERT_TRUE(
            WaitUntil([&] { return LogLines(logName, endsWithLine).size() >= 200; }, 30000ms));

        ::kill(static_cast<pid_t>(console.processId()), signal);
        ASSERT_TRUE(console.waitForFinished(30000));
        EXPECT_EQ(console.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(console.exitCode(), 0) << console.readAllStandardError().data();
        const QString handled = QString::fromLatin1(console.readAllStandardOutput()).trimmed();
        ASSERT_TRUE(handled.startsWith(QStringLiteral("handled "))) << handled.toStdString();
        const qsizetype count = handled.mid(8).toLongLong();

        const QStringList lines = LogLines(logName, endsWithLine);
        EXPECT_TRUE(endsWithLine);
        EXPECT_EQ(lines.size(), count);
        int gaps = 0;
        for (qsizetype k = 1; k < lines.size(); ++k) {
            // 17640 - raw, the raw values counting up modulo 65536.
            const int step = lines[k - 1].toInt() - lines[k].toInt();
            gaps += step == 1 || step == -65535 ? 0 : 1;
        }
        EXPECT_EQ(gaps, 0);
    }
}

TEST(ShutdownDrill, ALogNamedAfterAPipeNobodyReadsIsRefusedAndTheSignalStillEndsTheConsole)
{
    // Opening a pipe for writing waits for a reader; the console must not,
    // neither at the open nor when it is told to end.
    TSimProcess sim;
    ASSERT_TRUE(sim.Start({"--scope-only", "--scope-rate", "500"}));
    const std::string pipeName = RuntimeDirectory() + "/log-pipe";
    ::unlink(pipeName.c_str());
    ASSERT_EQ(::mkfifo(pipeName.c_str(), 0600), 0);
    QProcess console;
    console.start(QStringLiteral(VARNEL_DRILL_CONSOLE_BINARY),
                  {QString::fromStdString(pipeName), QString::fromStdString(SimDescription)});
    ASSERT_TRUE(console.waitForStarted(10000));
    ASSERT_TRUE(WaitUntil([&] { return console.canReadLine(); }, 30000ms));
    QByteArray errors;
    ASSERT_TRUE(WaitUntil(
        [&] {
            errors += console.readAllStandardError();
            return errors.contains("pipe");
        },
        30000ms))
        << errors.data();
    EXPECT_TRUE(errors.contains(QByteArray::fromStdString(pipeName))) << errors.data();

    ::kill(static_cast<pid_t>(console.processId()), SIGTERM);
    ASSERT_TRUE(console.waitForFinished(30000));
    EXPECT_EQ(console.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.exitCode(), 0) << console.readAllStandardError().data();
    ::unlink(pipeName.c_str());
}

} // namespace
