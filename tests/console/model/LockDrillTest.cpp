// SPDX-License-Identifier: GPL-3.0-or-later
// The lock supervisor and the lock health fed by the simulated controller,
// in process and on a made-up clock: knocks and thermal drift lose the lock
// as on the bench, and the supervisor's tuning target goes back to the
// controller as the peak button's would.
#include "console/model/LockHealth.h"
#include "console/model/LockSupervisor.h"
#include "protocol/SendFrameUnit.h"
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

class LockDrillTest : public ::testing::Test
{
protected:
    void Start(const TModelOptions& options)
    {
        Model = std::make_unique<TControllerModel>(options);
        Supervisor.SetClock([this] { return Now; });
        Health.SetClock([this] { return Now; });
        Health.Follow(&Supervisor);
        QObject::connect(&Supervisor, &TLockSupervisor::SendTuningTarget, [this](int peakId) {
            Sent.push_back(peakId);
            Send(34, 0, static_cast<uint8_t>(peakId));
        });
        QObject::connect(&Supervisor, &TLockSupervisor::AlarmRaised,
                         [this](const QString& text) { Alarms.push_back(text); });
        QObject::connect(&Supervisor, &TLockSupervisor::Relocked,
                         [this](qint64 msec) { RelockTimes.push_back(msec); });
        QObject::connect(&Supervisor, &TLockSupervisor::LossConfirmed,
                         [this] { LossesConfirmedAt.push_back(Now); });
        QObject::connect(&Health, &TLockHealth::HeadroomWarningChanged, [this](bool on) {
            if (on)
                WarningsAt.push_back(Now);
        });
        Model->Connect(Base);
        Supervisor.LinkUp(QStringLiteral("simulated"));
        Health.LinkUp(QStringLiteral("simulated"));
        // The controller is ready after 2 s; the operator locks on f.
        Run(3000);
        Supervisor.OperatorAction(_oa_peak_button);
        Send(34, 0, PeakF);
        Run(6000);
        ASSERT_EQ(Supervisor.LockState(), _ls_locked);
        ASSERT_EQ(Supervisor.RememberedPeakId(), PeakF);
    }

    void Send(uint8_t id, uint8_t a, uint8_t b)
    {
        const auto frame = BuildCommandFrame(id, a, b);
        Model->Receive(frame.data(), frame.size());
    }

    void Run(qint64 msec)
    {
        for (qint64 end = Now + msec; Now < end;) {
            Now += StepMsec;
            Model->AdvanceTo(Base + std::chrono::milliseconds(Now));
            const std::vector<uint8_t> out = Model->TakeOutput();
            Pending.insert(Pending.end(), out.begin(), out.end());
            size_t at = 0;
            while (Pending.size() - at >= 5) {
                if (Pending[at] != 0xAA) {
                    ++at;
                    continue;
                }
                Deliver(Pending[at + 1], Pending[at + 2], Pending[at + 3]);
                at += 5;
            }
            Pending.erase(Pending.begin(), Pending.begin() + static_cast<ptrdiff_t>(at));
            Supervisor.CheckTime();
            Health.CheckTime();
        }
    }

    // What the console's handlers hand on, in the order the frames came.
    void Deliver(uint8_t id, uint8_t b2, uint8_t b3)
    {
        switch (id) {
        case 1:
            Health.ScopeSample(b2 | b3 << 8);
            break;
        case 3:
            Supervisor.Status(b2);
            Health.Status(b2);
            if (b2 == 3 && LastPeakId >= 0)
                Supervisor.LockReported(LastPeakId);
            break;
        case 5:
            Health.StabilizationMirror(b2);
            break;
        case 18:
            LastPeakId = b2;
            break;
        default:
            break;
        }
    }

    const TClock::time_point Base = TClock::time_point() + std::chrono::hours(1);
    qint64 Now = 0;
    std::unique_ptr<TControllerModel> Model;
    TLockSupervisor Supervisor;
    TLockHealth Health;
    std::vector<uint8_t> Pending;
    int LastPeakId = -1;
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
    Supervisor.SetKeepLocked(true);
    int lost = 0;
    int riddenOut = 0;
    for (int knock = 0; knock < 12; ++knock) {
        const VarnelSim::TKnockOutcome outcome = Model->Knock();
        ASSERT_NE(outcome, VarnelSim::_ko_not_locked) << "knock " << knock;
        (outcome == VarnelSim::_ko_lost ? lost : riddenOut) += 1;
        Run(125000);
        ASSERT_EQ(Supervisor.LockState(), _ls_locked) << "knock " << knock;
    }
    ASSERT_GT(lost, 0);
    ASSERT_GT(riddenOut, 0);
    EXPECT_EQ(Sent, std::vector<int>(static_cast<size_t>(lost), PeakF));
    EXPECT_EQ(RelockTimes.size(), static_cast<size_t>(lost));
    EXPECT_TRUE(Alarms.empty());
    EXPECT_EQ(Health.Counts(),
              (TLockCounts{1, static_cast<uint32_t>(lost), static_cast<uint32_t>(lost), 0}));
    // From the loss: the 3 s to confirm it and the controller's own lock time
    // (at most 4.1 s), on the simulated clock.
    for (const qint64 took : RelockTimes)
        EXPECT_LE(took, 3000 + 4100 + 2 * StepMsec);
    EXPECT_GT(*Health.LockedFractionHour(), 0.95);
    EXPECT_TRUE(Health.ErrorSignalRms());
    std::vector<qint64> times = RelockTimes;
    std::sort(times.begin(), times.end());
    RecordProperty("losses", lost);
    RecordProperty("ridden_out", riddenOut);
    RecordProperty("median_relock_msec", std::to_string(times[times.size() / 2]));
    RecordProperty("locked_fraction_hour", std::to_string(*Health.LockedFractionHour()));
}

TEST_F(LockDrillTest, WithKeepLockedOffALostLockStaysLost)
{
    Start(Quiet());
    while (Model->Knock() != VarnelSim::_ko_lost)
        Run(5000);
    Run(60000);
    EXPECT_TRUE(Sent.empty());
    EXPECT_EQ(LossesConfirmedAt.size(), 1U);
    EXPECT_EQ(Supervisor.LockState(), _ls_unlocked);
}

// The mirror walks to a rail: the headroom warning comes before the lock is
// lost, the relock recentres the mirror and the warning is over.
TEST_F(LockDrillTest, DriftWarnsBeforeTheRailAndIsRelocked)
{
    TModelOptions options = Quiet();
    options.DriftPercentPerMinute = 20;
    Start(options);
    Supervisor.SetKeepLocked(true);
    Run(200000);
    ASSERT_GE(Model->Stats().RailLosses, 1U);
    ASSERT_FALSE(LossesConfirmedAt.empty());
    ASSERT_FALSE(WarningsAt.empty());
    // Confirmed 3 s after the loss; warned at least a few seconds before it.
    EXPECT_LT(WarningsAt.front(), LossesConfirmedAt.front() - 3000 - 3000);
    EXPECT_EQ(RelockTimes.size(), LossesConfirmedAt.size());
    EXPECT_EQ(Sent.front(), PeakF);
    Run(5000);
    EXPECT_FALSE(Health.HeadroomWarning());
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
    Supervisor.SetKeepLocked(true);
    Run(40 * 60000);
    ASSERT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - relock storm")});
    // Relocked after the first storm's pause, more than 20 minutes in.
    ASSERT_GE(RelockTimes.size(), 7U);
    EXPECT_GT(*std::max_element(RelockTimes.begin(), RelockTimes.end()), 10 * 60000);
    const double locked = *Health.LockedFractionHour();
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
