// SPDX-License-Identifier: GPL-3.0-or-later
// The window while the system journal stops reading: the real window on the
// fake line, a controller flapping between locked and unlocked at the line
// rate, and the journal's writer (as the program makes it) sending to a
// journal of the test's own that reads nothing for ten seconds. The main
// thread's longest stall is the largest gap between the ticks of a 5 ms
// timer; a thread that only sleeps tells how late the machine itself woke
// it, for reading a failure.
#include "ConsoleTestSupport.h"
#include "DeviceFrames.h"
#include "StandInJournal.h"
#include "WaitUntil.h"

#include "console/MainUnit.h"
#include "console/SystemSounds.h"
#include "console/model/JournalWriter.h"
#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr double HeldLimitMsec = 50.0;

} // namespace

TEST(JournalTiming, AJournalThatStopsReadingNeverFreezesTheWindow)
{
    TStandInJournal journal;
    ASSERT_TRUE(journal.Listen());
    auto bridge = std::make_shared<TFakeLine>();
    bridge->SetDevices({QStringLiteral("KWTP Controller")});
    TConsoleEnvironment environment = FakeLineEnvironment(bridge);
    environment.PlaySound = [](TSystemSound) {};
    TJournalWriterOptions options;
    options.SocketPath = journal.Path();
    auto writer = std::make_shared<TJournalWriter>(options);
    environment.Journal = writer;
    auto form = std::make_unique<TMainForm>(environment);
    form->show();
    ConnectByHand(*form);
    bridge->Feed(DeviceFrame(18, 6, 0)); // the peak id: f

    // The controller: status 3 and 4 alternating, 768 frames a second.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> frames{0};
    double machineStallMsec = 0;
    std::thread controller([&] {
        const auto start = std::chrono::steady_clock::now();
        auto next = start;
        while (!stop) {
            const uint64_t due =
                static_cast<uint64_t>((std::chrono::steady_clock::now() - start) / 1ms) * 768 /
                1000;
            for (; frames < due; ++frames)
                bridge->Feed(DeviceFrame(3, frames % 2 == 0 ? 3 : 4, 0));
            next += 10ms;
            std::this_thread::sleep_until(next);
            const double late =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - next)
                    .count();
            machineStallMsec = std::max(machineStallMsec, late);
        }
    });

    double largestGapMsec = 0;
    QElapsedTimer sinceBeat;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        if (sinceBeat.isValid())
            largestGapMsec =
                std::max(largestGapMsec, static_cast<double>(sinceBeat.nsecsElapsed()) / 1e6);
        sinceBeat.start();
    });
    heartbeat.start();
    (void)WaitUntil([] { return false; }, 10s);
    heartbeat.stop();
    stop = true;
    controller.join();
    const TJournalWriter::TCounts stalled = writer->Counts();

    std::printf("[ timing   ] the journal read nothing for 10 s while the controller flapped at "
                "the line rate (%llu frames): the main thread's largest heartbeat gap %.1f ms "
                "(limit %.0f ms plus the machine's own stall, %.1f ms); %llu records taken by "
                "the socket, %zu waiting, %llu suppressed by the pace, %llu dropped\n",
                static_cast<unsigned long long>(frames.load()), largestGapMsec, HeldLimitMsec,
                machineStallMsec, static_cast<unsigned long long>(stalled.Sent), stalled.Waiting,
                static_cast<unsigned long long>(stalled.Suppressed),
                static_cast<unsigned long long>(stalled.Dropped));
    EXPECT_LT(largestGapMsec, HeldLimitMsec + machineStallMsec);
    EXPECT_GT(stalled.Waiting, 0u) << "the journal's socket never filled";

    // The journal reads again and gets what waited.
    uint64_t received = 0;
    while (!journal.Receive(received < stalled.Sent + stalled.Waiting ? 10000 : 500).isEmpty())
        ++received;
    EXPECT_GE(received, stalled.Sent + stalled.Waiting);

    form->DisconnectButtonClick();
    form->close();
    QCoreApplication::processEvents();
    TMainThreadCallList::Instance().RunPending();
    form.reset();
}
