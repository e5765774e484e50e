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

#include <functional>
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
// and nothing more is sent for that loss. An alarm ends only with a new
// tuning (peak button, Start, Lock); a Set or a Disconnect leaves it up.
TEST_F(LockSupervisorTest, OperatorActionAbandonsTheRelock)
{
    struct TStage
    {
        const char* Name;
        qint64 ActAt;
        bool AlarmUp;
    };
    const TStage stages[] = {{"loss not yet confirmed", 1000, false},
                             {"attempt under way", 4000, false},
                             {"pause after a failed attempt", 64000, false},
                             {"alarm up", 300000, true}};
    struct TAction
    {
        TOperatorAction Action;
        TLockState State;
        bool EndsTheAlarm;
    };
    const TAction actions[] = {{_oa_peak_button, _ls_acquiring, true},
                               {_oa_start, _ls_acquiring, true},
                               {_oa_lock, _ls_acquiring, true},
                               {_oa_set, _ls_unlocked, false},
                               {_oa_disconnect, _ls_unlocked, false}};
    for (const TStage& stage : stages) {
        for (const TAction& a : actions) {
            SCOPED_TRACE(std::string(stage.Name) + ", action " + std::to_string(a.Action));
            Supervisor.OperatorAction(_oa_disconnect);
            Supervisor.SetKeepLocked(false);
            Supervisor.LinkDown();
            Supervisor.LinkUp(QStringLiteral("KWTP-1"));
            LockedOnF();
            Supervisor.Status(4);
            AdvanceTo(stage.ActAt);
            const size_t sentBefore = Sent.size();
            Supervisor.OperatorAction(a.Action);
            const bool alarmStays = stage.AlarmUp && !a.EndsTheAlarm;
            EXPECT_EQ(Supervisor.LockState(), alarmStays ? _ls_failed : a.State);
            EXPECT_EQ(Supervisor.AlarmText().isEmpty(), !alarmStays);
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

// The link goes and comes back, the controller still locked and saying
// nothing new: the same controller (same serial number, or the same
// description where neither has one) keeps its lock, its peak and the watch
// on it, and a loss after the reconnect is relocked. Another controller
// starts from nothing.
TEST_F(LockSupervisorTest, ReconnectToTheSameControllerKeepsTheLockWatched)
{
    struct TCase
    {
        const char* Name;
        QString Description, Serial;
        QString AgainDescription, AgainSerial;
        bool Same;
    };
    const TCase cases[] = {
        {"same description, no serial", "KWTP-1", "", "KWTP-1", "", true},
        {"same serial, description changed", "KWTP-1", "A1", "KWTP renamed", "A1", true},
        {"another description", "KWTP-1", "", "KWTP-2", "", false},
        {"another serial", "KWTP-1", "A1", "KWTP-1", "B2", false},
        {"a serial where there was none", "KWTP-1", "", "KWTP-1", "A1", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Supervisor.LinkDown();
        Supervisor.LinkUp(c.Description, c.Serial);
        LockedOnF();
        Losses = 0;
        AdvanceTo(60000);
        Supervisor.LinkDown();
        // While away: its last word stands, nothing is sent.
        EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        AdvanceTo(120000);
        Supervisor.LinkUp(c.AgainDescription, c.AgainSerial);
        if (c.Same) {
            EXPECT_EQ(Supervisor.LockState(), _ls_locked);
            EXPECT_EQ(Supervisor.RememberedPeakId(), PeakF);
            EXPECT_EQ(Supervisor.KnownStatus(), std::optional<uint32_t>(3));
            // A Connect on the link already open changes nothing either.
            Supervisor.LinkUp(c.AgainDescription, c.AgainSerial);
            EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        } else {
            EXPECT_EQ(Supervisor.LockState(), _ls_unlocked);
            EXPECT_EQ(Supervisor.RememberedPeakId(), 0);
            EXPECT_FALSE(Supervisor.KnownStatus());
        }
        Supervisor.Status(4);
        AdvanceTo(124000);
        if (c.Same) {
            EXPECT_EQ(Losses, 1);
            EXPECT_EQ(Sent, (std::vector<TSent>{{123000, PeakF}}));
            AnswerWithLock(PeakF);
            EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        } else {
            EXPECT_EQ(Losses, 0);
            EXPECT_TRUE(Sent.empty());
        }
    }
}

// The alarm is not the link's to end: it stays through a link loss and back,
// a Set or a lock on another peak, and ends only when someone acts (a lock,
// a peak pressed, keep locked unticked) or the controller is locked again on
// the chosen peak.
TEST_F(LockSupervisorTest, AlarmStaysUntilSomeoneActs)
{
    struct TCase
    {
        const char* Name;
        std::function<void()> Act;
        bool Ends;
    };
    const std::vector<TCase> cases = {
        {"link lost and back",
         [this] {
             Supervisor.LinkDown();
             Supervisor.LinkUp(QStringLiteral("KWTP-1"));
         },
         false},
        {"a Set", [this] { Supervisor.OperatorAction(_oa_set); }, false},
        {"a lock on another peak", [this] { Lock(PeakJ); }, false},
        {"locked again on the chosen peak", [this] { Lock(PeakF); }, true},
        {"a peak pressed", [this] { Supervisor.OperatorAction(_oa_peak_button, PeakJ); }, true},
        {"Lock", [this] { Supervisor.OperatorAction(_oa_lock); }, true},
        {"keep locked unticked", [this] { Supervisor.SetKeepLocked(false); }, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Supervisor.SetKeepLocked(false);
        LockedOnF();
        Supervisor.Status(4);
        AdvanceBy(600000);
        ASSERT_EQ(Supervisor.LockState(), _ls_failed);
        c.Act();
        AdvanceBy(600000);
        EXPECT_EQ(Supervisor.AlarmText().isEmpty(), c.Ends);
        EXPECT_EQ(Supervisor.LockState() == _ls_failed, !c.Ends);
    }
}

// After a lock, "not ready" (0) or a code the console has no text for sends
// nothing: the supervision waits and says so, and raises its alarm when the
// wait reaches the busy limit. A controller ready again before that is
// relocked as after any loss.
TEST_F(LockSupervisorTest, NotReadySendsNothingAndRaisesTheAlarmPastTheBusyLimit)
{
    for (const uint32_t code : {0u, 9u, 15u, 200u}) {
        SCOPED_TRACE(code);
        Supervisor.SetKeepLocked(false);
        Alarms.clear();
        Losses = 0;
        LockedOnF();
        Supervisor.Status(code);
        AdvanceTo(59000);
        EXPECT_TRUE(Sent.empty());
        EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        EXPECT_EQ(Supervisor.Notice(), QStringLiteral("controller not ready"));
        AdvanceTo(60000);
        EXPECT_EQ(Losses, 1);
        EXPECT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - controller not ready")});
        EXPECT_EQ(Supervisor.LockState(), _ls_failed);
        AdvanceTo(600000);
        EXPECT_TRUE(Sent.empty());
    }
    EXPECT_EQ(Sink->EventField("not-ready", "PRIORITY"), "5");

    // Ready again within the limit: relocked at once.
    Supervisor.SetKeepLocked(false);
    LockedOnF();
    Supervisor.Status(0);
    AdvanceTo(10000);
    Supervisor.Status(14);
    AdvanceTo(11000);
    EXPECT_EQ(Sent, (std::vector<TSent>{{10000, PeakF}}));

    // Not ready in the middle of a relock: the next attempt waits for it.
    Sent.clear();
    Supervisor.SetKeepLocked(false);
    LockedOnF();
    Supervisor.Status(4);
    AdvanceTo(3000);
    Supervisor.Status(1);
    AdvanceTo(4000);
    Supervisor.Status(10); // the attempt fails; the next is due at 9000 ...
    AdvanceTo(5000);
    Supervisor.Status(0); // ... but the controller is not ready
    AdvanceTo(20000);
    EXPECT_EQ(Sent, (std::vector<TSent>{{3000, PeakF}}));
    Supervisor.Status(14);
    AdvanceTo(21000);
    EXPECT_EQ(Sent, (std::vector<TSent>{{3000, PeakF}, {20000, PeakF}}));
}

// The peak to keep is the one chosen. A lock the controller then reports on
// another peak is no lock on it: a loss, relocked on the chosen peak, and
// never a new target.
TEST_F(LockSupervisorTest, ALockOnAnotherPeakIsALossRelockedOnTheChosenOne)
{
    LockedOnF();
    // A short loss, then the lock on g (peak id 7), then later on i.
    for (const int other : {7, 9}) {
        SCOPED_TRACE(other);
        const size_t sent = Sent.size();
        const int losses = Losses;
        Supervisor.Status(4);
        AdvanceBy(500);
        Lock(other);
        EXPECT_EQ(Supervisor.Notice(), QStringLiteral("locked at peak ") + QChar(0x60 + other) +
                                           QStringLiteral(", not at the chosen peak f"));
        AdvanceBy(3000);
        EXPECT_EQ(Losses, losses + 1);
        ASSERT_EQ(Sent.size(), sent + 1);
        EXPECT_EQ(Sent.back().PeakId, PeakF);
        AnswerWithLock(PeakF);
        EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        EXPECT_EQ(Supervisor.RememberedPeakId(), PeakF);
        AdvanceBy(60000);
    }
    EXPECT_EQ(RelockTimes.size(), 2U);
    EXPECT_TRUE(Sink->EventField("lock-lost", "MESSAGE").contains("locked at peak g instead"));
}

// Which peak is chosen: the peak button's target; after a half-automatic
// Start or Lock (no target), the peak of the lock that follows; a lock on
// another peak than the target is not kept.
TEST_F(LockSupervisorTest, ThePeakChosenIsTheOneKept)
{
    struct TCase
    {
        const char* Name;
        std::vector<std::pair<TOperatorAction, int>> Actions;
        int LockedOn;
        int Kept; // 0: no lock to keep
    };
    const TCase cases[] = {
        {"peak button f", {{_oa_peak_button, PeakF}}, PeakF, PeakF},
        {"automatic Start with j", {{_oa_start, 0}, {_oa_peak_button, PeakJ}}, PeakJ, PeakJ},
        {"half-automatic Start, Lock at g", {{_oa_start, 0}, {_oa_lock, 0}}, 7, 7},
        {"peak button j, locked at g", {{_oa_peak_button, PeakJ}}, 7, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Supervisor.SetKeepLocked(false);
        Supervisor.SetKeepLocked(true);
        for (const auto& [action, target] : c.Actions)
            Supervisor.OperatorAction(action, target);
        Supervisor.Status(2);
        AdvanceBy(2000);
        Lock(c.LockedOn);
        const size_t sent = Sent.size();
        Supervisor.Status(4);
        AdvanceBy(5000);
        if (c.Kept != 0) {
            ASSERT_EQ(Sent.size(), sent + 1);
            EXPECT_EQ(Sent.back().PeakId, c.Kept);
            AnswerWithLock(c.Kept);
            EXPECT_EQ(Supervisor.LockState(), _ls_locked);
        } else {
            EXPECT_EQ(Sent.size(), sent);
            EXPECT_EQ(Supervisor.LockState(), _ls_unlocked);
            EXPECT_EQ(Supervisor.RememberedPeakId(), PeakJ);
        }
    }
}

// A storm raises its alarm and pauses the relock that made it: 10 minutes at
// the first storm, twice as long at each one after, at most an hour. A lock
// that holds for 10 minutes ends the storms and the alarm.
TEST_F(LockSupervisorTest, StormSlowsTheRelocksAndALockThatHoldsEndsIt)
{
    constexpr qint64 Minute = 60000;
    LockedOnF();
    // Five losses relocked at once, the sixth makes a storm: returns how
    // long its relock waited after the loss was confirmed.
    const auto storm = [this]() -> qint64 {
        for (int loss = 1; loss <= 6; ++loss) {
            const size_t sent = Sent.size();
            Supervisor.Status(4);
            AdvanceBy(3000);
            if (loss < 6) {
                EXPECT_EQ(Sent.size(), sent + 1) << "loss " << loss;
                AnswerWithLock(PeakF, 2000);
                AdvanceBy(20000);
                continue;
            }
            EXPECT_EQ(Sent.size(), sent);
            EXPECT_EQ(Supervisor.LockState(), _ls_failed);
            const qint64 confirmed = Now;
            while (Sent.size() == sent && Now - confirmed < 3 * 60 * Minute)
                AdvanceBy(Minute);
            const qint64 waited = Now - confirmed;
            AnswerWithLock(PeakF, 2000);
            return waited;
        }
        return 0;
    };
    std::vector<qint64> pauses;
    for (int k = 0; k < 5; ++k)
        pauses.push_back(storm() / Minute);
    EXPECT_EQ(pauses, (std::vector<qint64>{10, 20, 40, 60, 60}));
    EXPECT_EQ(Alarms, std::vector<QString>{QStringLiteral("lock lost - relock storm")});
    EXPECT_EQ(Supervisor.AlarmText(), QStringLiteral("lock lost - relock storm"));
    EXPECT_EQ(Supervisor.LockState(), _ls_failed);

    // Locked for 10 minutes: the storm is over, and the next one pauses 10
    // minutes again.
    AdvanceBy(10 * Minute);
    EXPECT_TRUE(Supervisor.AlarmText().isEmpty());
    EXPECT_EQ(Supervisor.LockState(), _ls_locked);
    EXPECT_EQ(Sink->EventField("relock-storm-over", "PRIORITY"), "6");
    EXPECT_EQ(storm() / Minute, 10);
}

// While the service panel is open nothing is confirmed or sent; a relock
// under way is abandoned. Closed, a lock on the chosen peak that stands is
// watched again; a loss the service work left is not taken up.
TEST_F(LockSupervisorTest, PausedWhileTheServicePanelIsOpen)
{
    struct TCase
    {
        const char* Name;
        std::vector<std::pair<qint64, uint32_t>> WhilePaused; // statuses
        bool WatchedAfter;
    };
    const std::vector<TCase> cases = {
        {"locked throughout", {}, true},
        {"a Set dropped the lock, it came back", {{1000, 4}, {9000, 2}, {12000, 3}}, true},
        {"a Set dropped the lock for good", {{1000, 4}}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        LockedOnF();
        Losses = 0;
        Supervisor.SetPaused(true);
        EXPECT_EQ(Supervisor.Notice(), QStringLiteral("paused while the service panel is open"));
        for (const auto& [at, code] : c.WhilePaused) {
            AdvanceTo(at);
            Supervisor.Status(code);
            if (code == 3)
                Supervisor.LockReported(PeakF);
        }
        AdvanceTo(100000);
        EXPECT_TRUE(Sent.empty());
        EXPECT_EQ(Losses, 0);
        Supervisor.SetPaused(false);
        EXPECT_TRUE(Supervisor.Notice().isEmpty());
        EXPECT_EQ(Supervisor.LockState(), c.WatchedAfter ? _ls_locked : _ls_unlocked);
        if (c.WatchedAfter) {
            Supervisor.Status(4);
            AdvanceTo(103000);
            EXPECT_EQ(Sent, (std::vector<TSent>{{103000, PeakF}}));
            AnswerWithLock(PeakF);
        }
    }

    // A relock under way when the panel opens is abandoned.
    LockedOnF();
    Supervisor.Status(4);
    AdvanceTo(3000);
    ASSERT_EQ(Sent.size(), 1U);
    Supervisor.SetPaused(true);
    EXPECT_NE(Supervisor.LockState(), _ls_relocking);
    AdvanceTo(300000);
    EXPECT_EQ(Sent.size(), 1U);
    EXPECT_TRUE(Alarms.empty());
    Supervisor.SetPaused(false);
    EXPECT_EQ(Sink->EventField("paused", "PRIORITY"), "6");
    EXPECT_EQ(Sink->EventField("resumed", "PRIORITY"), "6");
}

// Every record names the controller: the description in VARNEL_DEVICE, the
// serial number (where the bridge has one) in VARNEL_DEVICE_SERIAL.
TEST_F(LockSupervisorTest, EveryRecordNamesTheControllersDescriptionAndSerial)
{
    for (const QString& serial : {QStringLiteral("SN42"), QString()}) {
        SCOPED_TRACE(serial.toStdString());
        Supervisor.LinkDown();
        Supervisor.LinkUp(QStringLiteral("KWTP Bench"), serial);
        Sink->Records.clear();
        LockedOnF();
        Supervisor.Status(4);
        AdvanceTo(600000);
        Supervisor.SetKeepLocked(false);
        ASSERT_GE(Sink->Records.size(), 8U);
        for (const TJournalRecord& record : Sink->Records) {
            SCOPED_TRACE(JournalField(record, "VARNEL_EVENT").toStdString());
            EXPECT_EQ(JournalField(record, "VARNEL_DEVICE"), "KWTP Bench");
            EXPECT_EQ(JournalField(record, "VARNEL_DEVICE_SERIAL"),
                      serial.isEmpty() ? QByteArray("(none)") : serial.toUtf8());
        }
    }
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
