// SPDX-License-Identifier: GPL-3.0-or-later
// The lock supervisor on a clock moved by hand: when a loss is confirmed,
// what it sends then and when, and when it stops.
#include "console/model/LockSupervisor.h"
#include "RecordingJournal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int PeakF = 6;
constexpr int PeakJ = 10;

struct TSent
{
    qint64 At;
    int PeakId;
    bool operator==(const TSent&) const = default;
};

void PrintTo(const TSent& sent, std::ostream* os)
{
    *os << "peak " << sent.PeakId << " at " << sent.At;
}

class LockSupervisorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Supervisor.SetClock([this] { return Now; });
        Supervisor.SetJournalSink(Sink);
        QObject::connect(&Supervisor, &TLockSupervisor::SendTuningTarget, [this](int peakId) {
            Sent.push_back({Now - T0, peakId});
        });
        QObject::connect(&Supervisor, &TLockSupervisor::AlarmRaised,
                         [this](const QString& text) { Alarms.push_back(text); });
        QObject::connect(&Supervisor, &TLockSupervisor::LossConfirmed, [this] { ++Losses; });
        QObject::connect(&Supervisor, &TLockSupervisor::Relocked,
                         [this](qint64 msec) { RelockTimes.push_back(msec); });
        QObject::connect(&Supervisor, &TLockSupervisor::RelockAttemptFailed,
                         [this](int attempt) { FailedAttempts.push_back(attempt); });
        Supervisor.LinkUp(QStringLiteral("KWTP-1"));
    }

    // Moves the clock to `at` after T0, waking the supervisor at each
    // deadline on the way as its timer would.
    void AdvanceTo(qint64 at)
    {
        const qint64 to = T0 + at;
        for (;;) {
            const std::optional<qint64> next = Supervisor.NextDeadline();
            if (!next || *next > to)
                break;
            Now = std::max(Now, *next);
            Supervisor.CheckTime();
        }
        Now = to;
        Supervisor.CheckTime();
    }

    void AdvanceBy(qint64 msec) { AdvanceTo(Now - T0 + msec); }

    // The controller locks on a peak, as its messages arrive.
    void Lock(int peakId)
    {
        Supervisor.Status(3);
        Supervisor.LockReported(peakId);
    }

    // The controller's answer to the tuning target: busy, then locked on a peak.
    void AnswerWithLock(int peakId, qint64 took = 3000)
    {
        Supervisor.Status(1);
        AdvanceBy(took / 2);
        Supervisor.Status(2);
        AdvanceBy(took - took / 2);
        Lock(peakId);
    }

    // The operator locks on f; keep locked on, from scratch. Times are from
    // the lock on.
    void LockedOnF()
    {
        Supervisor.SetKeepLocked(false);
        Supervisor.SetKeepLocked(true);
        Supervisor.OperatorAction(_oa_peak_button);
        Supervisor.Status(1);
        AdvanceBy(2000);
        Lock(PeakF);
        ASSERT_EQ(Supervisor.LockState(), _ls_locked);
        T0 = Now;
        Sent.clear();
    }

    qint64 Now = 1000000;
    qint64 T0 = Now;
    std::shared_ptr<TRecordingSink> Sink = std::make_shared<TRecordingSink>();
    TLockSupervisor Supervisor;
    std::vector<TSent> Sent;
    std::vector<QString> Alarms;
    int Losses = 0;
    std::vector<qint64> RelockTimes;
    std::vector<int> FailedAttempts;
};

TEST_F(LockSupervisorTest, OffByDefaultFollowsTheLockButSendsNothing)
{
    EXPECT_FALSE(Supervisor.KeepLocked());
    Supervisor.OperatorAction(_oa_start);
    EXPECT_EQ(Supervisor.LockState(), _ls_acquiring);
    Supervisor.Status(11);
    AdvanceBy(2000);
    Lock(PeakF);
    EXPECT_EQ(Supervisor.LockState(), _ls_locked);
    Supervisor.Status(4);
    AdvanceBy(10 * 60 * 1000);
    EXPECT_TRUE(Sent.empty());
    EXPECT_EQ(Losses, 1);
    EXPECT_EQ(Supervisor.LockState(), _ls_unlocked);
    EXPECT_TRUE(Alarms.empty());
}

// After a lock on f, the controller reports these statuses (at times from the
// lock's end); is the loss confirmed, and when does the relock go out?
TEST_F(LockSupervisorTest, LossIsConfirmedOnlyAfterThreeQuietSecondsAndNotWhileBusy)
{
    struct TCase
    {
        const char* Name;
        std::vector<std::pair<qint64, uint32_t>> Statuses;
        std::optional<qint64> SentAt;
    };
    const std::vector<TCase> cases = {
        {"unlocked", {{0, 4}}, 3000},
        {"tuning error", {{0, 10}}, 3000},
        {"wait for user", {{0, 14}}, 3000},
        {"stop", {{0, 5}}, 3000},
        {"bump ridden out", {{0, 4}, {300, 2}, {800, 3}}, std::nullopt},
        {"slow ride out", {{0, 4}, {2900, 2}, {9000, 3}}, std::nullopt},
        {"busy, then locked",
         {{0, 1}, {1000, 11}, {2000, 12}, {20000, 2}, {50000, 3}},
         std::nullopt},
        {"busy, then unlocked", {{0, 2}, {10000, 4}}, 10000},
        {"busy for good", {{0, 11}}, 60000},
        {"unlocked, then busy for good", {{0, 4}, {2000, 7}}, 62000},
        {"busy codes in turn", {{0, 13}, {30000, 12}, {59000, 1}}, 60000},
        {"two bumps", {{0, 4}, {500, 3}, {2000, 4}, {2500, 3}}, std::nullopt},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Supervisor.OperatorAction(_oa_disconnect);
        Supervisor.LinkDown();
        Supervisor.LinkUp(QStringLiteral("KWTP-1"));
        LockedOnF();
        for (const auto& [at, code] : c.Statuses) {
            AdvanceTo(at);
            Supervisor.Status(code);
        }
        AdvanceTo(70000);
        if (c.SentAt) {
            ASSERT_FALSE(Sent.empty());
            EXPECT_EQ(Sent.front(), (TSent{*c.SentAt, PeakF}));
            EXPECT_EQ(Supervisor.LockState(), _ls_relocking);
        } else {
            EXPECT_TRUE(Sent.empty());
            EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        }
    }
}

TEST_F(LockSupervisorTest, ThreeAttemptsWithGrowingPausesThenTheAlarm)
{
    LockedOnF();
    Supervisor.Status(4);
    // The controller never comes back: each attempt waits a minute.
    AdvanceTo(600000);
    const std::vector<TSent> expected = {
        {3000, PeakF}, {3000 + 60000 + 5000, PeakF}, {68000 + 60000 + 15000, PeakF}};
    EXPECT_EQ(Sent, expected);
    EXPECT_EQ(FailedAttempts, (std::vector<int>{1, 2, 3}));
    ASSERT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - relock failed")});
    EXPECT_EQ(Supervisor.LockState(), _ls_failed);
    EXPECT_EQ(Supervisor.AlarmText(), QStringLiteral("lock lost - relock failed"));
    EXPECT_EQ(Sink->EventField("relock-failed", "PRIORITY"), "4");
    EXPECT_TRUE(
        Sink->EventField("relock-failed", "MESSAGE").startsWith("lock lost - relock failed"));
    EXPECT_EQ(Sink->EventField("lock-lost", "PRIORITY"), "4");
    EXPECT_EQ(Sink->EventField("lock-lost", "VARNEL_PEAK"), "f");
    EXPECT_EQ(Sink->EventField("relock-attempt", "VARNEL_ATTEMPT"), "1");
}

TEST_F(LockSupervisorTest, TuningErrorEndsAnAttemptAtOnce)
{
    LockedOnF();
    Supervisor.Status(4);
    AdvanceTo(3000);
    Supervisor.Status(1);
    AdvanceTo(4000);
    Supervisor.Status(10);
    AdvanceTo(20000);
    EXPECT_EQ(Sent, (std::vector<TSent>{{3000, PeakF}, {9000, PeakF}}));
    EXPECT_EQ(FailedAttempts, std::vector<int>{1});
}

TEST_F(LockSupervisorTest, RelocksOnTheSamePeakAndWatchesTheNewLock)
{
    LockedOnF();
    AdvanceTo(1000);
    Supervisor.Status(4);
    AdvanceTo(4000);
    ASSERT_EQ(Sent, (std::vector<TSent>{{4000, PeakF}}));
    AnswerWithLock(PeakF, 2500);
    EXPECT_EQ(RelockTimes, std::vector<qint64>{5500});
    EXPECT_EQ(Supervisor.LockState(), _ls_locked);
    EXPECT_EQ(Supervisor.RememberedPeakId(), PeakF);
    EXPECT_EQ(Sink->EventField("relocked", "VARNEL_RELOCK_MSEC"), "5500");
    // The next loss is a loss of its own, with its three attempts.
    AdvanceTo(100000);
    Supervisor.Status(4);
    AdvanceTo(103000);
    EXPECT_EQ(Sent.back(), (TSent{103000, PeakF}));
    EXPECT_EQ(Supervisor.Attempt(), 1);
    EXPECT_TRUE(Alarms.empty());
}

TEST_F(LockSupervisorTest, LockOnAnotherPeakIsAFailedAttempt)
{
    LockedOnF();
    Supervisor.Status(4);
    AdvanceTo(3000);
    AnswerWithLock(PeakJ, 2000);
    EXPECT_EQ(FailedAttempts, std::vector<int>{1});
    EXPECT_TRUE(RelockTimes.empty());
    EXPECT_EQ(Supervisor.LockState(), _ls_relocking);
    AdvanceTo(10000);
    // The next attempt still asks for f, not for where the laser went.
    EXPECT_EQ(Sent, (std::vector<TSent>{{3000, PeakF}, {10000, PeakF}}));
    AnswerWithLock(PeakF);
    EXPECT_EQ(RelockTimes, std::vector<qint64>{13000});
    EXPECT_EQ(Supervisor.RememberedPeakId(), PeakF);
}

TEST_F(LockSupervisorTest, AlarmIsClearedOnlyByALockOnTheRememberedPeak)
{
    LockedOnF();
    Supervisor.Status(4);
    AdvanceTo(600000);
    ASSERT_EQ(Supervisor.LockState(), _ls_failed);
    bool cleared = false;
    QObject::connect(&Supervisor, &TLockSupervisor::AlarmCleared, [&cleared] { cleared = true; });
    Lock(PeakJ);
    EXPECT_EQ(Supervisor.LockState(), _ls_failed);
    Supervisor.Status(4);
    Lock(PeakF);
    EXPECT_TRUE(cleared);
    EXPECT_EQ(Supervisor.LockState(), _ls_locked);
}

// Losses relocked at once, `gap` apart: the sixth within ten minutes is a storm.
TEST_F(LockSupervisorTest, MoreThanFiveLossesInTenMinutesIsAStorm)
{
    struct TCase
    {
        qint64 Gap;
        bool Storm;
    };
    for (const TCase c : {TCase{60000, true}, TCase{119000, true}, TCase{121000, false}}) {
        SCOPED_TRACE(c.Gap);
        Alarms.clear();
        LockedOnF();
        for (int loss = 1; loss <= 6; ++loss) {
            Supervisor.Status(4);
            AdvanceBy(3000);
            if (loss < 6 || !c.Storm) {
                ASSERT_EQ(Sent.size(), static_cast<size_t>(loss));
                AnswerWithLock(PeakF, 2000);
                AdvanceBy(c.Gap - 5000);
            }
        }
        AdvanceBy(300000);
        if (c.Storm) {
            EXPECT_EQ(Sent.size(), 5U);
            EXPECT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - relock storm")});
            EXPECT_EQ(Supervisor.LockState(), _ls_failed);
            EXPECT_EQ(Sink->EventField("relock-storm", "PRIORITY"), "4");
        } else {
            EXPECT_EQ(Sent.size(), 6U);
            EXPECT_TRUE(Alarms.empty());
        }
    }
}

// Whatever the operator does takes over: the relock is dropped at any stage
// and nothing more is sent for that loss.
TEST_F(LockSupervisorTest, OperatorActionAbandonsTheRelock)
{
    struct TStage
    {
        const char* Name;
        qint64 ActAt;
    };
    const TStage stages[] = {{"loss not yet confirmed", 1000},
                             {"attempt under way", 4000},
                             {"pause after a failed attempt", 64000},
                             {"alarm up", 300000}};
    const std::pair<TOperatorAction, TLockState> actions[] = {{_oa_peak_button, _ls_acquiring},
                                                              {_oa_start, _ls_acquiring},
                                                              {_oa_lock, _ls_acquiring},
                                                              {_oa_set, _ls_unlocked},
                                                              {_oa_disconnect, _ls_unlocked}};
    for (const TStage& stage : stages) {
        for (const auto& [action, state] : actions) {
            SCOPED_TRACE(std::string(stage.Name) + ", action " + std::to_string(action));
            Supervisor.OperatorAction(_oa_disconnect);
            Supervisor.LinkDown();
            Supervisor.LinkUp(QStringLiteral("KWTP-1"));
            LockedOnF();
            Supervisor.Status(4);
            AdvanceTo(stage.ActAt);
            const size_t sentBefore = Sent.size();
            Supervisor.OperatorAction(action);
            EXPECT_EQ(Supervisor.LockState(), state);
            EXPECT_TRUE(Supervisor.AlarmText().isEmpty());
            AdvanceBy(600000);
            EXPECT_EQ(Sent.size(), sentBefore);
        }
    }
}

TEST_F(LockSupervisorTest, SetWhileLockedKeepsWatching)
{
    LockedOnF();
    AdvanceTo(1000);
    Supervisor.OperatorAction(_oa_set);
    EXPECT_EQ(Supervisor.LockState(), _ls_locked);
    Supervisor.Status(4);
    AdvanceTo(5000);
    EXPECT_EQ(Sent, (std::vector<TSent>{{4000, PeakF}}));
}

// Nothing goes out while the link is down, whenever it went down.
TEST_F(LockSupervisorTest, NothingIsSentWhileTheLinkIsDown)
{
    for (const qint64 downAt : {1000, 4000, 64000}) {
        SCOPED_TRACE(downAt);
        Supervisor.LinkDown();
        Supervisor.LinkUp(QStringLiteral("KWTP-1"));
        LockedOnF();
        Supervisor.Status(4);
        AdvanceTo(downAt);
        const size_t sentBefore = Sent.size();
        Supervisor.LinkDown();
        EXPECT_EQ(Supervisor.LockState(), _ls_unlocked);
        // Messages still queued from the old link change nothing.
        Supervisor.Status(4);
        AdvanceBy(600000);
        EXPECT_EQ(Sent.size(), sentBefore);
        // Back on the same controller, still unlocked: no lock to keep yet.
        Supervisor.LinkUp(QStringLiteral("KWTP-1"));
        Supervisor.Status(4);
        AdvanceBy(600000);
        EXPECT_EQ(Sent.size(), sentBefore);
        EXPECT_EQ(Supervisor.RememberedPeakId(), PeakF);
    }
}

TEST_F(LockSupervisorTest, AnotherControllerForgetsThePeakAndTheLosses)
{
    LockedOnF();
    Supervisor.LinkUp(QStringLiteral("KWTP-2"));
    EXPECT_EQ(Supervisor.RememberedPeakId(), 0);
    // A lock whose report named no peak cannot be relocked: the alarm at once.
    Supervisor.Status(3);
    Supervisor.Status(4);
    AdvanceBy(10000);
    EXPECT_TRUE(Sent.empty());
    EXPECT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - relock failed")});
    // Nor does a lock that names no peak end that alarm.
    Supervisor.Status(3);
    Supervisor.LockReported(0);
    EXPECT_EQ(Supervisor.LockState(), _ls_failed);
}

TEST_F(LockSupervisorTest, StatesThroughALossAndItsRelock)
{
    std::vector<TLockState> states;
    QObject::connect(&Supervisor, &TLockSupervisor::LockStateChanged,
                     [&states](TLockState state) { states.push_back(state); });
    LockedOnF();
    Supervisor.Status(4);
    AdvanceTo(3000);
    AnswerWithLock(PeakF);
    Supervisor.SetKeepLocked(false);
    Supervisor.Status(4);
    AdvanceBy(3000);
    const std::vector<TLockState> expected = {_ls_acquiring, _ls_locked, _ls_relocking, _ls_locked,
                                              _ls_unlocked};
    EXPECT_EQ(states, expected);
    EXPECT_EQ(LockStateName(_ls_relocking), QStringLiteral("relocking"));
}

// The supervisor's own timer wakes it: a real clock and the event loop, with
// short times; the loop is left as soon as the tuning target is asked for.
TEST(LockSupervisorTimerTest, TimerSendsWithoutBeingPolled)
{
    TLockSupervisor supervisor;
    TLockSupervisorSettings settings;
    settings.LossConfirmMsec = 20;
    supervisor.SetSettings(settings);
    supervisor.LinkUp(QStringLiteral("KWTP-1"));
    supervisor.SetKeepLocked(true);
    supervisor.Status(3);
    supervisor.LockReported(PeakF);
    QEventLoop loop;
    int sent = 0;
    QObject::connect(&supervisor, &TLockSupervisor::SendTuningTarget, [&](int peakId) {
        sent = peakId;
        loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    supervisor.Status(4);
    loop.exec();
    EXPECT_EQ(sent, PeakF);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
