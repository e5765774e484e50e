// SPDX-License-Identifier: GPL-3.0-or-later
// Lock health on a clock moved by hand: locked fractions across a reconnect,
// the counts and relock times as the supervisor reports them, the mirror's
// headroom and its warning, the error signal's RMS.
#include "console/model/LockHealth.h"
#include "RecordingJournal.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace {

constexpr qint64 Minute = 60000;

class LockHealthTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Health.SetClock([this] { return Now; });
        Health.SetJournalSink(Sink);
    }

    void AdvanceTo(qint64 to)
    {
        for (;;) {
            const std::optional<qint64> next = Health.NextDeadline();
            if (!next || *next > to)
                break;
            Now = std::max(Now, *next);
            Health.CheckTime();
        }
        Now = to;
        Health.CheckTime();
    }

    qint64 Now = 0;
    std::shared_ptr<TRecordingSink> Sink = std::make_shared<TRecordingSink>();
    TLockHealth Health;
};

TEST_F(LockHealthTest, FractionsAreOfTheTimeHeardAndSurviveAReconnect)
{
    EXPECT_FALSE(Health.LockedFractionHour());
    Health.LinkUp(QStringLiteral("KW000001"));
    Health.Status(3);
    AdvanceTo(30 * Minute);
    Health.Status(4);
    AdvanceTo(45 * Minute);
    Health.LinkDown();
    AdvanceTo(50 * Minute);
    Health.LinkUp(QStringLiteral("KW000001"));
    Health.Status(4);
    AdvanceTo(55 * Minute);
    Health.Status(3);
    AdvanceTo(60 * Minute);
    // Heard 0-45 and 50-60 min; locked 0-30 and 55-60.
    EXPECT_DOUBLE_EQ(*Health.LockedFractionHour(), 35.0 / 55.0);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionDay(), 35.0 / 55.0);
    AdvanceTo(120 * Minute);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionHour(), 1.0);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionDay(), 95.0 / 115.0);
    // The window's edge cuts through a span: 15 of the last 60 min unlocked.
    Health.Status(4);
    AdvanceTo(135 * Minute);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionHour(), 45.0 / 60.0);
    // A day later only the last day counts.
    Health.Status(3);
    AdvanceTo(135 * Minute + TLockHealth::DayMsec);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionDay(), 1.0);
}

TEST_F(LockHealthTest, CountsAndRelockTimesFromTheSupervisor)
{
    TLockSupervisor supervisor;
    supervisor.SetClock([this] { return Now; });
    Health.Follow(&supervisor);
    supervisor.LinkUp(QStringLiteral("KWTP-1"));
    supervisor.SetKeepLocked(true);
    const auto step = [&](qint64 msec) {
        Now += msec;
        supervisor.CheckTime();
    };
    const auto lock = [&](int peakId) {
        supervisor.Status(3);
        supervisor.LockReported(peakId);
    };
    supervisor.OperatorAction(_oa_peak_button);
    supervisor.Status(1);
    step(2000);
    lock(6);
    step(1000);
    EXPECT_EQ(Health.LockDurationMsec(), 1000);
    // A loss relocked 3 s after the confirmation, 6 s after the loss.
    supervisor.Status(4);
    step(3000);
    EXPECT_EQ(supervisor.LockState(), _ls_relocking);
    EXPECT_EQ(Health.LockDurationMsec(), 0);
    step(3000);
    lock(6);
    // A loss relocked on the second attempt: the first locks on another peak.
    step(Minute);
    supervisor.Status(4);
    step(3000);
    step(2000);
    lock(10);
    step(5000);
    step(4000);
    lock(6);
    EXPECT_EQ(Health.Counts(), (TLockCounts{1, 2, 2, 0, 1}));
    EXPECT_EQ(Health.LastRelockMsec(), 14000);
    EXPECT_EQ(Health.SlowestRelockMsec(), 14000);
    // The slowest is of the last day.
    step(TLockHealth::DayMsec - 10000);
    supervisor.Status(4);
    step(3000);
    step(1000);
    lock(6);
    EXPECT_EQ(Health.SlowestRelockMsec(), 14000);
    step(20000);
    EXPECT_EQ(Health.SlowestRelockMsec(), 4000);
    EXPECT_EQ(Health.LastRelockMsec(), 4000);
    EXPECT_EQ(Health.Counts().Relocks, 3U);
}

TEST_F(LockHealthTest, ARelockThatGivesUpIsOneFailedRelockAfterItsFailedAttempts)
{
    TLockSupervisor supervisor;
    supervisor.SetClock([this] { return Now; });
    Health.Follow(&supervisor);
    supervisor.LinkUp(QStringLiteral("KWTP-1"));
    supervisor.SetKeepLocked(true);
    const auto step = [&](qint64 msec) {
        Now += msec;
        supervisor.CheckTime();
    };
    supervisor.Status(3);
    supervisor.LockReported(6);
    step(1000);
    // Lost for good: every attempt runs out its wait, then the supervisor
    // gives up.
    supervisor.Status(4);
    step(3000);
    for (int wake = 0; wake < 20 && supervisor.LockState() == _ls_relocking; ++wake)
        step(supervisor.NextDeadline().value_or(Now + 1000) - Now);
    ASSERT_EQ(supervisor.LockState(), _ls_failed);
    EXPECT_EQ(Health.Counts(), (TLockCounts{0, 1, 0, 1, 3}));
}

// Another controller's health is not this one's; the same controller's,
// back after a reconnect, is.
TEST_F(LockHealthTest, AnotherControllerStartsAfreshTheSameOneKeepsItsHealth)
{
    const auto play = [this] {
        Health.Status(3);
        Health.StabilizationMirror(40);
        AdvanceTo(Now + 10 * Minute);
        Health.Status(4);
        Health.LossConfirmed();
        AdvanceTo(Now + 5 * Minute);
        Health.Status(3);
        Health.Relocked(5 * Minute);
        Health.RelockAttemptFailed();
        AdvanceTo(Now + 5 * Minute);
    };
    Health.LinkUp(QStringLiteral("KW000001"));
    play();
    const TLockCounts counts{0, 1, 1, 0, 1};
    ASSERT_EQ(Health.Counts(), counts);
    ASSERT_DOUBLE_EQ(*Health.LockedFractionHour(), 0.75);

    // The same controller back: everything stays, the mirror as it reports anew.
    Health.LinkDown();
    Health.LinkUp(QStringLiteral("KW000001"));
    EXPECT_EQ(Health.Counts(), counts);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionHour(), 0.75);
    EXPECT_EQ(Health.SlowestRelockMsec(), 5 * Minute);
    EXPECT_FALSE(Health.StabilizationHeadroomPercent());

    // Another one, after a disconnect or straight from the first.
    for (const char* device : {"KW000002", "KW000003"}) {
        SCOPED_TRACE(device);
        int countsChanged = 0;
        const QMetaObject::Connection told = QObject::connect(
            &Health, &TLockHealth::CountsChanged, [&countsChanged] { ++countsChanged; });
        if (QByteArray(device) == "KW000002")
            Health.LinkDown();
        Health.LinkUp(QString::fromLatin1(device));
        QObject::disconnect(told);
        EXPECT_EQ(countsChanged, 1);
        EXPECT_EQ(Health.Counts(), TLockCounts{});
        EXPECT_FALSE(Health.LockedFractionHour());
        EXPECT_FALSE(Health.LockedFractionDay());
        EXPECT_FALSE(Health.LastRelockMsec());
        EXPECT_FALSE(Health.SlowestRelockMsec());
        EXPECT_FALSE(Health.StabilizationHeadroomPercent());
        play();
        EXPECT_EQ(Health.Counts(), counts);
        EXPECT_DOUBLE_EQ(*Health.LockedFractionHour(), 0.75);
    }
}

// The fractions from buckets against the exact ones, for patterns the
// controller may play: each phase repeats locked, unlocked and link-down
// times for its duration. The windows' buckets (a second for the hour, a
// minute for the day) bound the error where the window's start cuts one.
TEST_F(LockHealthTest, FractionsStayRightUnderAnyPatternOfChanges)
{
    struct TPhase
    {
        qint64 Locked, Unlocked, Down, Duration;
    };
    struct TCase
    {
        const char* Name;
        std::vector<TPhase> Phases;
        double Hour, Day;
    };
    constexpr qint64 Hour = 60 * Minute;
    const TCase cases[] = {
        {"flapping every millisecond", {{1, 1, 0, Hour}}, 0.5, 0.5},
        {"three to one at the line rate", {{3, 1, 0, Hour}}, 0.75, 0.75},
        {"link down a quarter of the time", {{2, 1, 1, Hour}}, 2.0 / 3, 2.0 / 3},
        {"steady, then flapping", {{Hour, 0, 0, Hour / 2}, {1, 1, 0, Hour / 2}}, 0.75, 0.75},
        {"a slow day, the last hour locked",
         {{7000, 3000, 0, 23 * Hour}, {Hour, 0, 0, Hour}},
         1.0,
         (23 * 0.7 + 1) / 24},
        {"the hour's start inside a bucket",
         {{0, 1500, 0, 1500}, {Hour, 0, 0, Hour}},
         1.0,
         3600.0 / 3601.5},
        {"a day's start inside a bucket",
         {{0, 90000, 0, 90000}, {Hour, 0, 0, 24 * Hour}},
         1.0,
         1.0},
        {"heard only long ago", {{Hour, 0, 0, Hour}, {0, 0, 2 * Hour, 2 * Hour}}, -1, 1.0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TLockHealth health;
        qint64 now = 1234;
        health.SetClock([&now] { return now; });
        const QString device = QStringLiteral("KW000001");
        health.LinkUp(device);
        for (const TPhase& phase : c.Phases) {
            const qint64 end = now + phase.Duration;
            while (now < end) {
                const std::array<std::pair<qint64, int>, 3> parts = {
                    {{phase.Locked, 3}, {phase.Unlocked, 4}, {phase.Down, -1}}};
                for (const auto& [msec, code] : parts) {
                    if (msec == 0 || now >= end)
                        continue;
                    if (code < 0) {
                        health.LinkDown();
                    } else {
                        health.LinkUp(device);
                        health.Status(static_cast<uint32_t>(code));
                    }
                    now = std::min(end, now + msec);
                }
            }
        }
        const std::optional<double> hour = health.LockedFractionHour();
        if (c.Hour < 0) {
            EXPECT_FALSE(hour);
        } else {
            ASSERT_TRUE(hour);
            EXPECT_NEAR(*hour, c.Hour, 1000.0 / Hour);
        }
        ASSERT_TRUE(health.LockedFractionDay());
        EXPECT_NEAR(*health.LockedFractionDay(), c.Day, 60000.0 / TLockHealth::DayMsec);
    }
}

// Two million status changes at a millisecond each, a day of relocks ever
// faster: the history stays within its buckets and the figures right.
TEST_F(LockHealthTest, AFlappingControllerKeepsTheHistoryBounded)
{
    Health.LinkUp(QStringLiteral("KW000001"));
    const std::size_t empty = Health.HistoryEntries();
    // One relock entry a minute at most, for the day and its edge.
    const std::size_t bound = empty + 24 * 60 + 2;
    for (int change = 0; change < 2000000; ++change) {
        Health.Status(change % 2 == 0 ? 3 : 4);
        ++Now;
    }
    EXPECT_LE(Health.HistoryEntries(), bound);
    EXPECT_DOUBLE_EQ(*Health.LockedFractionHour(), 0.5);
    // Relocks every ten seconds for a day and an hour, each a millisecond
    // faster than the one before: each could be the slowest of a later day.
    const qint64 start = Now;
    qint64 took = 100000;
    std::size_t most = 0;
    while (Now < start + TLockHealth::DayMsec + 60 * Minute) {
        Now += 10000;
        Health.Relocked(--took);
        most = std::max(most, Health.HistoryEntries());
    }
    EXPECT_LE(most, bound);
    // The slowest of the last day is the oldest one in it.
    const qint64 oldest =
        100000 - 1 - (TLockHealth::DayMsec + 60 * Minute - TLockHealth::DayMsec) / 10000;
    EXPECT_NEAR(static_cast<double>(*Health.SlowestRelockMsec()), static_cast<double>(oldest), 6);
    EXPECT_EQ(Health.LastRelockMsec(), took);
}

TEST_F(LockHealthTest, HeadroomIsTheDistanceToTheNearerRail)
{
    struct TCase
    {
        int Lowest, Highest;
        uint32_t Position;
        double Percent;
    };
    const TCase cases[] = {{0, 100, 50, 50}, {0, 100, 38, 38}, {0, 100, 62, 38}, {0, 100, 95, 5},
                           {0, 100, 0, 0},   {0, 100, 180, 0}, {0, 255, 51, 20}, {0, 255, 255, 0}};
    Health.LinkUp(QStringLiteral("KW000001"));
    EXPECT_FALSE(Health.StabilizationHeadroomPercent());
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Position);
        Health.SetStabilizationMirrorRange(c.Lowest, c.Highest);
        Health.StabilizationMirror(c.Position);
        EXPECT_DOUBLE_EQ(*Health.StabilizationHeadroomPercent(), c.Percent);
    }
    Health.LinkDown();
    EXPECT_FALSE(Health.StabilizationHeadroomPercent());
}

TEST_F(LockHealthTest, HeadroomWarningAfterTenLowSecondsWhileLocked)
{
    std::vector<bool> warnings;
    QObject::connect(&Health, &TLockHealth::HeadroomWarningChanged,
                     [&warnings](bool on) { warnings.push_back(on); });
    Health.LinkUp(QStringLiteral("KW000001"));
    // Low but not locked: no warning.
    Health.StabilizationMirror(5);
    AdvanceTo(30000);
    EXPECT_TRUE(warnings.empty());
    Health.Status(3);
    AdvanceTo(39000);
    // One reading back over 10 % starts the count again.
    Health.StabilizationMirror(11);
    Health.StabilizationMirror(93);
    AdvanceTo(48999);
    EXPECT_FALSE(Health.HeadroomWarning());
    AdvanceTo(49000);
    EXPECT_TRUE(Health.HeadroomWarning());
    ASSERT_EQ(Sink->Records.size(), 1U);
    EXPECT_EQ(Sink->Field(0, "PRIORITY"), "4");
    EXPECT_EQ(Sink->Field(0, "VARNEL_EVENT"), "headroom-low");
    EXPECT_EQ(Sink->Field(0, "VARNEL_HEADROOM_PERCENT"), "7");
    // The jitter around the threshold does not end it; real room does.
    Health.StabilizationMirror(88);
    EXPECT_TRUE(Health.HeadroomWarning());
    Health.StabilizationMirror(80);
    EXPECT_FALSE(Health.HeadroomWarning());
    // Nor does it last past the lock.
    Health.StabilizationMirror(2);
    AdvanceTo(70000);
    EXPECT_TRUE(Health.HeadroomWarning());
    Health.Status(4);
    EXPECT_FALSE(Health.HeadroomWarning());
    EXPECT_EQ(JournalField(Sink->Records.back(), "VARNEL_HEADROOM_PERCENT"), "2");
    // Nor past the link, whose end leaves no position to tell.
    Health.Status(3);
    AdvanceTo(90000);
    ASSERT_TRUE(Health.HeadroomWarning());
    Health.LinkDown();
    EXPECT_EQ(Sink->Records.back().front().second, "stabilization mirror headroom warning over");
    EXPECT_EQ(JournalField(Sink->Records.back(), "VARNEL_HEADROOM_PERCENT"), "(none)");
    EXPECT_EQ(warnings, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST_F(LockHealthTest, ErrorSignalRmsIsAboutTheMeanOfTheLastSecond)
{
    Health.LinkUp(QStringLiteral("KW000001"));
    Health.ScopeSample(100);
    EXPECT_FALSE(Health.ErrorSignalRms()) << "not locked";
    Health.Status(3);
    EXPECT_FALSE(Health.ErrorSignalRms()) << "no sample yet";
    // A far offset and a small swing: the RMS is of the swing alone.
    for (int i = 0; i < 7680; ++i) {
        Now = i * 1000 / 7680;
        Health.ScopeSample(i % 2 == 0 ? 60010 : 59990);
    }
    EXPECT_NEAR(*Health.ErrorSignalRms(), 10.0, 1e-9);
    // A quiet second after: the noisy one is out of the window.
    for (int i = 0; i < 1000; ++i) {
        Now = 1000 + i;
        Health.ScopeSample(17640);
    }
    EXPECT_NEAR(*Health.ErrorSignalRms(), 0.0, 1e-9);
    // Nothing for a second: nothing to tell.
    Now = 3000;
    EXPECT_FALSE(Health.ErrorSignalRms());
    Health.ScopeSample(5);
    Health.Status(4);
    EXPECT_FALSE(Health.ErrorSignalRms());
}

TEST_F(LockHealthTest, SummaryAsTheSimpleMenuShowsIt)
{
    EXPECT_EQ(Health.Summary(), QStringLiteral("unlocked \u00b7 0 relocks"));
    Health.LinkUp(QStringLiteral("KW000001"));
    Health.Status(3);
    Health.SetLockState(_ls_locked);
    for (int i = 0; i < 3; ++i)
        Health.Relocked(5000);
    const qint64 end = (2 * 60 + 14) * Minute;
    // 14.4 s unlocked within the last hour, the lock never confirmed lost.
    AdvanceTo(end - Minute);
    Health.Status(4);
    AdvanceTo(end - Minute + 14400);
    Health.Status(3);
    Health.StabilizationMirror(62);
    AdvanceTo(end);
    EXPECT_EQ(Health.Summary(), QStringLiteral("locked 2 h 14 min \u00b7 99.6 % of the last hour "
                                               "\u00b7 3 relocks \u00b7 headroom 38 %"));
    Health.RelockAttemptFailed();
    Health.RelockFailed();
    Health.SetLockState(_ls_relocking);
    EXPECT_EQ(Health.Summary(),
              QStringLiteral("relocking \u00b7 99.6 % of the last hour \u00b7 3 relocks (1 "
                             "failed) \u00b7 headroom 38 %"));
    Health.SetLockState(_ls_locked);
    AdvanceTo(end + 45000);
    EXPECT_TRUE(Health.Summary().startsWith(QStringLiteral("locked 45 s \u00b7")));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
