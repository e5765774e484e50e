// SPDX-License-Identifier: GPL-3.0-or-later
// The console session fed by the simulated controller, in process and on a
// made-up clock: knocks and thermal drift lose the lock as on the bench, and
// the supervisor's relock goes back to the controller through the session's
// own path, as the peak button's would. The session's wiring is the
// console's: the link is a fake bridge whose writes reach the model, and the
// model's frames are decoded into the session's state as the reader would.
#include "FakeLine.h"

#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/LockSupervision.h"
#include "link/D2XX_Unit.h"
#include "protocol/Frames.h"
#include "protocol/ReadFrameUnit.h"
#include "sim/ControllerModel.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using VarnelSim::TClock;
using VarnelSim::TControllerModel;
using VarnelSim::TModelOptions;

constexpr int PeakF = 6;
constexpr qint64 StepMsec = 10;
constexpr uint8_t TuningTargetId = 34;

// Runs each decoded message's handler at once, on the drill's thread, in
// the order the frames came, as the reader's main-thread calls do.
class TDirectSink : public TVarnelFrameSink
{
public:
    explicit TDirectSink(TVarnelMessageHandlers& handlers) : FHandlers(handlers) {}
    void Queue(TSyncProc1P proc, uint32_t p1) override { (FHandlers.*proc)(p1); }
    void Queue(TSyncProc2P proc, uint32_t p1, uint32_t p2) override { (FHandlers.*proc)(p1, p2); }
    void Synchronize(TSyncProc1P proc, uint32_t p1) override { (FHandlers.*proc)(p1); }
    void Synchronize(TSyncProc2P proc, uint32_t p1, uint32_t p2) override
    {
        (FHandlers.*proc)(p1, p2);
    }
    void QueueCRCError() override {}

private:
    TVarnelMessageHandlers& FHandlers;
};

TConsoleSessionSettings DrillSettings()
{
    TConsoleSessionSettings settings;
    settings.Device.SearchOnOwnThread = false;
    return settings;
}

class LockDrillTest : public ::testing::Test
{
protected:
    LockDrillTest()
    {
        Bridge->SetDevices({QStringLiteral("KWTP Drill")});
        PlugIn(Bridge);
        Session = std::make_unique<TConsoleSession>(DrillSettings());
        Session->Supervision().SetClock([this] { return Now; });
        Session->LockHistory().SetClock([this] { return Now; });
        // What the session puts on the link reaches the controller; the
        // tuning targets after the operator's are the supervisor's relocks.
        Bridge->SetWriteHook([this](const uint8_t* bytes, size_t count) {
            for (size_t at = 0; at + 5 <= count; at += 5)
                if (bytes[at] == CommandStartByte && bytes[at + 1] == TuningTargetId &&
                    WatchTargets)
                    Sent.push_back(bytes[at + 3]);
            if (Model)
                Model->Receive(bytes, count);
        });
    }

    ~LockDrillTest() override
    {
        Bridge->SetWriteHook({});
        Session.reset();
        D2XX_RestoreDefaultDrivers();
    }

    void Start(const TModelOptions& options)
    {
        Model = std::make_unique<TControllerModel>(options);
        Model->Connect(Base);
        TLockSupervisor& supervisor = Supervisor();
        QObject::connect(&supervisor, &TLockSupervisor::AlarmRaised,
                         [this](const QString& text) { Alarms.push_back(text); });
        QObject::connect(&supervisor, &TLockSupervisor::Relocked,
                         [this](qint64 msec) { RelockTimes.push_back(msec); });
        QObject::connect(&supervisor, &TLockSupervisor::LossConfirmed,
                         [this] { LossesConfirmedAt.push_back(Now); });
        QObject::connect(&Session->Supervision(), &TLockSupervision::HeadroomWarningChanged,
                         [this](bool on) {
                             if (on)
                                 WarningsAt.push_back(Now);
                         });
        Session->Search();
        ASSERT_TRUE(Session->Connect(QStringLiteral("KWTP Drill")));
        // The controller is ready after 2 s; the operator locks on f.
        Run(3000);
        Session->SelectPeak(PeakF);
        WatchTargets = true;
        Run(6000);
        ASSERT_EQ(Supervisor().LockState(), _ls_locked);
        ASSERT_EQ(Supervisor().RememberedPeakId(), PeakF);
    }

    TLockSupervisor& Supervisor() { return Session->Supervision().Supervisor(); }
    const TLockHealth& Health() const { return Session->Supervision().Health(); }

    void Run(qint64 msec)
    {
        TDirectSink sink(Session->State());
        for (qint64 end = Now + msec; Now < end;) {
            Now += StepMsec;
            Model->AdvanceTo(Base + std::chrono::milliseconds(Now));
            const std::vector<uint8_t> out = Model->TakeOutput();
            Pending.insert(Pending.end(), out.begin(), out.end());
            const uint32_t kept =
                ScanVarnelFrames(Pending.data(), static_cast<uint32_t>(Pending.size()), sink);
            Pending.resize(kept);
            Session->Supervision().CheckTime();
        }
    }

    const TClock::time_point Base = TClock::time_point() + std::chrono::hours(1);
    qint64 Now = 0;
    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
    std::unique_ptr<TControllerModel> Model;
    std::unique_ptr<TConsoleSession> Session;
    std::vector<uint8_t> Pending;
    bool WatchTargets = false;
    std::vector<int> Sent;
    std::vector<QString> Alarms;
    std::vector<qint64> RelockTimes;
    std::vector<qint64> LossesConfirmedAt;
    std::vector<qint64> WarningsAt;
};

TModelOptions Quiet()
{
    TModelOptions options;
    options.ServiceRate = 0;
    options.Seed = 7;
    return options;
}

// Knocks spaced so that no ten minutes hold more than five losses: every
// loss is relocked on f, every ridden-out knock is left alone.
TEST_F(LockDrillTest, EveryKnockThatLosesTheLockIsRelockedOnTheSamePeak)
{
    Start(Quiet());
    Session->SetKeepLocked(true);
    int lost = 0;
    int riddenOut = 0;
    for (int knock = 0; knock < 12; ++knock) {
        const VarnelSim::TKnockOutcome outcome = Model->Knock();
        ASSERT_NE(outcome, VarnelSim::_ko_not_locked) << "knock " << knock;
        (outcome == VarnelSim::_ko_lost ? lost : riddenOut) += 1;
        Run(125000);
        ASSERT_EQ(Supervisor().LockState(), _ls_locked) << "knock " << knock;
    }
    ASSERT_GT(lost, 0);
    ASSERT_GT(riddenOut, 0);
    EXPECT_EQ(Sent, std::vector<int>(static_cast<size_t>(lost), PeakF));
    EXPECT_EQ(RelockTimes.size(), static_cast<size_t>(lost));
    EXPECT_TRUE(Alarms.empty());
    EXPECT_EQ(Health().Counts(),
              (TLockCounts{1, static_cast<uint32_t>(lost), static_cast<uint32_t>(lost), 0}));
    // From the loss: the 3 s to confirm it and the controller's own lock time
    // (at most 4.1 s), on the simulated clock.
    for (const qint64 took : RelockTimes)
        EXPECT_LE(took, 3000 + 4100 + 2 * StepMsec);
    EXPECT_GT(*Health().LockedFractionHour(), 0.95);
    EXPECT_TRUE(Health().ErrorSignalRms());
    std::vector<qint64> times = RelockTimes;
    std::sort(times.begin(), times.end());
    RecordProperty("losses", lost);
    RecordProperty("ridden_out", riddenOut);
    RecordProperty("median_relock_msec", std::to_string(times[times.size() / 2]));
    RecordProperty("locked_fraction_hour", std::to_string(*Health().LockedFractionHour()));
}

TEST_F(LockDrillTest, WithKeepLockedOffALostLockStaysLost)
{
    Start(Quiet());
    while (Model->Knock() != VarnelSim::_ko_lost)
        Run(5000);
    Run(60000);
    EXPECT_TRUE(Sent.empty());
    EXPECT_EQ(LossesConfirmedAt.size(), 1U);
    EXPECT_EQ(Supervisor().LockState(), _ls_unlocked);
}

// The mirror walks to a rail: the headroom warning comes before the lock is
// lost, the relock recentres the mirror and the warning is over.
TEST_F(LockDrillTest, DriftWarnsBeforeTheRailAndIsRelocked)
{
    TModelOptions options = Quiet();
    options.DriftPercentPerMinute = 20;
    Start(options);
    Session->SetKeepLocked(true);
    Run(200000);
    ASSERT_GE(Model->Stats().RailLosses, 1U);
    ASSERT_FALSE(LossesConfirmedAt.empty());
    ASSERT_FALSE(WarningsAt.empty());
    // Confirmed 3 s after the loss; warned at least a few seconds before it.
    EXPECT_LT(WarningsAt.front(), LossesConfirmedAt.front() - 3000 - 3000);
    EXPECT_EQ(RelockTimes.size(), LossesConfirmedAt.size());
    EXPECT_EQ(Sent.front(), PeakF);
    Run(5000);
    EXPECT_FALSE(Health().HeadroomWarning());
    EXPECT_TRUE(Alarms.empty());
}

// Knocks about once a minute for 40 minutes: more than five losses in ten
// minutes make a storm, whose relock waits 10 minutes (then 20) instead of
// never coming: the laser is relocked after each pause and the alarm stands.
TEST_F(LockDrillTest, AStormSlowsTheRelocksDownButDoesNotStopThem)
{
    TModelOptions options = Quiet();
    options.KnockEverySeconds = 60;
    Start(options);
    Session->SetKeepLocked(true);
    Run(40 * 60000);
    ASSERT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - relock storm")});
    // Relocked after the first storm's pause, more than 20 minutes in.
    ASSERT_GE(RelockTimes.size(), 7U);
    EXPECT_GT(*std::max_element(RelockTimes.begin(), RelockTimes.end()), 10 * 60000);
    const double locked = *Health().LockedFractionHour();
    EXPECT_GT(locked, 0.3);
    RecordProperty("locked_fraction_40_min", std::to_string(locked));
    RecordProperty("relocks", static_cast<int>(RelockTimes.size()));
    std::printf("[ drill    ] knocks every 60 s for 40 min: %zu relocks, locked %.1f %%\n",
                RelockTimes.size(), 100.0 * locked);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
