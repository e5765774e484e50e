// SPDX-License-Identifier: GPL-3.0-or-later
// Lock supervision as the console runs it: what reaches the lock history (and through it the bus,
// the metrics and the journal's readings).
#include "console/model/LockSupervision.h"
#include "RecordingJournal.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr int PeakF = 6;

} // namespace

TEST(LockSupervision, ARelockIsAskedForAndTheFactsOutliveTheReconnect)
{
    qint64 now = 0;
    TLockHistory history;
    history.SetClock([&now] { return now; });
    auto sink = std::make_shared<TRecordingSink>();
    history.SetJournalSink(sink);
    TLockSupervision supervision(history);
    supervision.SetClock([&now] { return now; });
    std::vector<int> asked;
    QObject::connect(&supervision, &TLockSupervision::SendTuningTarget,
                     [&asked](int peak) { asked.push_back(peak); });

    supervision.SetKeepLocked(true);
    history.Connected(QStringLiteral("KWTP Bench"));
    supervision.LinkUp(QStringLiteral("KWTP Bench"));
    supervision.OperatorAction(_oa_peak_button);
    supervision.Status(2);
    now += 2000;
    supervision.Status(3);
    supervision.LockReported(PeakF);
    EXPECT_EQ(history.Facts().Supervision.LockState, QStringLiteral("locked"));
    EXPECT_TRUE(history.Facts().Supervision.KeepLocked);

    // Knocked out: confirmed after three quiet seconds, then relocked.
    now += 10000;
    supervision.Status(4);
    now += 3500;
    supervision.Supervisor().CheckTime();
    ASSERT_EQ(asked, std::vector<int>{PeakF});
    EXPECT_EQ(history.Facts().Supervision.LockState, QStringLiteral("relocking"));
    supervision.Status(2);
    now += 1500;
    supervision.Status(3);
    supervision.LockReported(PeakF);
    supervision.Refresh();
    TLockSupervisionFacts facts = history.Facts().Supervision;
    EXPECT_EQ(facts.LockState, QStringLiteral("locked"));
    EXPECT_EQ(facts.LockLosses, 1u);
    EXPECT_EQ(facts.Relocks, 1u);
    EXPECT_EQ(facts.OperatorLocks, 1u);
    EXPECT_DOUBLE_EQ(facts.LastRelockSeconds, 5.0);
    EXPECT_DOUBLE_EQ(facts.SlowestRelockSeconds, 5.0);

    // The readings record carries them.
    history.RecordReadings();
    ASSERT_FALSE(sink->Records.empty());
    const TJournalRecord& readings = sink->Records.back();
    EXPECT_EQ(JournalField(readings, "VARNEL_LOCK_LOSSES"), "1");
    EXPECT_EQ(JournalField(readings, "VARNEL_LOCK_STATE"), "locked");
    EXPECT_EQ(JournalField(readings, "VARNEL_OPERATOR_LOCKS"), "1");
    EXPECT_EQ(JournalField(readings, "VARNEL_RELOCK_FAILURES"), "0");
    EXPECT_EQ(JournalField(readings, "VARNEL_RELOCK_ATTEMPTS_FAILED"), "0");
    EXPECT_EQ(JournalField(readings, "VARNEL_LAST_RELOCK_S"), "5.0");
    EXPECT_EQ(JournalField(readings, "VARNEL_SLOWEST_RELOCK_S"), "5.0");

    // A link lost and back: the controller's facts start afresh, the
    // supervision's counts stay.
    history.LinkLost();
    supervision.LinkDown();
    EXPECT_FALSE(history.Facts().Connected);
    EXPECT_EQ(history.Facts().Supervision.LockLosses, 1u);
    history.Connected(QStringLiteral("KWTP Bench"));
    supervision.LinkUp(QStringLiteral("KWTP Bench"));
    EXPECT_EQ(history.Facts().Supervision.Relocks, 1u);
    EXPECT_EQ(history.Facts().StatusCode, 0u);

    // The operator's own peak button while relocking takes precedence.
    supervision.Status(3);
    supervision.LockReported(PeakF);
    now += 1000;
    supervision.Status(4);
    now += 3500;
    supervision.Supervisor().CheckTime();
    ASSERT_EQ(asked.size(), 2u);
    supervision.OperatorAction(_oa_peak_button);
    EXPECT_NE(history.Facts().Supervision.LockState, QStringLiteral("relocking"));
}

// A figure the console does not know is NaN in the facts (the metrics leave
// it out, the readings have no field for it), never a 0 that reads as "at a
// rail" or "never locked"; and a link to another controller starts its
// figures afresh while the same one's survive.
TEST(LockSupervision, UnknownFiguresAreNaNAndAnotherControllerStartsAfresh)
{
    qint64 now = 0;
    TLockHistory history;
    history.SetClock([&now] { return now; });
    auto sink = std::make_shared<TRecordingSink>();
    history.SetJournalSink(sink);
    TLockSupervision supervision(history);
    supervision.SetClock([&now] { return now; });
    const auto facts = [&] {
        supervision.Refresh();
        return history.Facts().Supervision;
    };
    const auto figures = [](const TLockSupervisionFacts& l) {
        return std::vector<double>{l.LockedFractionHour,
                                   l.LockedFractionDay,
                                   l.LastRelockSeconds,
                                   l.SlowestRelockSeconds,
                                   l.StabilizationHeadroomPercent,
                                   l.ErrorSignalRms};
    };
    const auto unknown = [](const std::vector<double>& values) {
        std::vector<bool> nan;
        for (double value : values)
            nan.push_back(std::isnan(value));
        return nan;
    };
    using TKnown = std::vector<bool>;
    // Fractions, last and slowest relock, headroom, RMS.
    EXPECT_EQ(unknown(figures(facts())), TKnown(6, true)) << "before any link";

    history.Connected(QStringLiteral("KWTP A"), QStringLiteral("KW1"));
    supervision.LinkUp(QStringLiteral("KWTP A"), QStringLiteral("KW1"));
    now += 5000;
    EXPECT_EQ(unknown(figures(facts())), TKnown(6, true)) << "linked, nothing heard";
    // The readings of that moment have no field for what is not known.
    history.RecordReadings();
    for (const char* field : {"VARNEL_LOCKED_FRACTION_HOUR", "VARNEL_HEADROOM_PERCENT",
                              "VARNEL_ERROR_SIGNAL_RMS", "VARNEL_LAST_RELOCK_S"})
        EXPECT_EQ(JournalField(sink->Records.back(), field), "(none)") << field;

    supervision.Status(4);
    now += 1000;
    EXPECT_EQ(unknown(figures(facts())), (TKnown{false, false, true, true, true, true}));
    EXPECT_EQ(facts().LockedFractionHour, 0.0);
    supervision.StabilizationMirror(97);
    EXPECT_DOUBLE_EQ(facts().StabilizationHeadroomPercent, 3.0);
    supervision.Status(3);
    supervision.LockReported(PeakF);
    supervision.ScopeSample(100);
    supervision.ScopeSample(104);
    EXPECT_DOUBLE_EQ(facts().ErrorSignalRms, 2.0);
    now += 1000;
    EXPECT_DOUBLE_EQ(facts().LockedFractionHour, 0.5);
    history.RecordReadings();
    EXPECT_EQ(JournalField(sink->Records.back(), "VARNEL_LOCKED_FRACTION_HOUR"), "0.5000");
    EXPECT_EQ(JournalField(sink->Records.back(), "VARNEL_HEADROOM_PERCENT"), "3.0");

    // Disconnected: no mirror, no signal; the fractions of the time heard stay.
    history.Disconnected();
    supervision.LinkDown();
    EXPECT_EQ(unknown(figures(facts())), (TKnown{false, false, true, true, true, true}));

    // Knocked out and relocked on the same controller: its figures stay.
    history.Connected(QStringLiteral("KWTP A"), QStringLiteral("KW1"));
    supervision.LinkUp(QStringLiteral("KWTP A"), QStringLiteral("KW1"));
    supervision.SetKeepLocked(true);
    supervision.Status(3);
    supervision.LockReported(PeakF);
    now += 1000;
    supervision.Status(4);
    now += 3500;
    supervision.Supervisor().CheckTime();
    now += 1500;
    supervision.Status(3);
    supervision.LockReported(PeakF);
    EXPECT_EQ(facts().Relocks, 1u);
    EXPECT_DOUBLE_EQ(facts().SlowestRelockSeconds, 5.0);

    // Another controller: nothing of the first one's health is its.
    history.Connected(QStringLiteral("KWTP B"), QStringLiteral("KW2"));
    supervision.LinkUp(QStringLiteral("KWTP B"), QStringLiteral("KW2"));
    const TLockSupervisionFacts fresh = facts();
    EXPECT_EQ(unknown(figures(fresh)), TKnown(6, true));
    EXPECT_EQ(fresh.LockLosses, 0u);
    EXPECT_EQ(fresh.Relocks, 0u);
    EXPECT_EQ(fresh.OperatorLocks, 0u);
}

// Locked on f, the link lost and opened again (or Connect pressed again) on
// the same controller, which stays locked and says nothing new: the history,
// and with it the bus and the metrics, still says locked on f with its
// duration running; the supervision still watches, and a loss after the
// reconnect is relocked. Another controller starts from nothing.
TEST(LockSupervision, AReconnectToTheSameControllerKeepsWhatIsKnownOfIt)
{
    struct TCase
    {
        const char* Name;
        QString Device, Serial;
        bool Same;
    };
    const TCase cases[] = {
        {"same bridge", "KWTP Bench", "A1", true},
        {"same serial, renamed", "KWTP Bench 2", "A1", true},
        {"another controller", "KWTP Other", "B2", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        qint64 now = 0;
        TLockHistory history;
        history.SetClock([&now] { return now; });
        TLockSupervision supervision(history);
        supervision.SetClock([&now] { return now; });
        std::vector<int> asked;
        QObject::connect(&supervision, &TLockSupervision::SendTuningTarget,
                         [&asked](int peak) { asked.push_back(peak); });
        supervision.SetKeepLocked(true);
        history.Connected(QStringLiteral("KWTP Bench"), QStringLiteral("A1"));
        supervision.LinkUp(QStringLiteral("KWTP Bench"), QStringLiteral("A1"));
        supervision.OperatorAction(_oa_peak_button, PeakF);
        supervision.Status(2);
        now += 2000;
        history.Status(3, QStringLiteral("tuning - locked"));
        supervision.Status(3);
        history.LockReported(PeakF, 473612353.597);
        supervision.LockReported(PeakF);
        now += 60000;

        history.LinkLost();
        supervision.LinkDown();
        now += 5000;
        history.Connected(c.Device, c.Serial);
        supervision.LinkUp(c.Device, c.Serial);
        now += 1000;
        supervision.Refresh();
        const TConsoleFacts& facts = history.Facts();
        EXPECT_TRUE(facts.Connected);
        if (c.Same) {
            EXPECT_TRUE(facts.Locked);
            EXPECT_EQ(facts.StatusCode, 3u);
            EXPECT_EQ(facts.LockedPeak, "f");
            EXPECT_EQ(facts.Supervision.LockState, "locked");
            EXPECT_GE(facts.Supervision.LockDurationSeconds, 60.0);
            // 2 s tuning, then locked: 60 s before the link went, 1 s since.
            EXPECT_DOUBLE_EQ(supervision.Health().LockedFractionHour().value_or(0), 61.0 / 63.0);
        } else {
            EXPECT_FALSE(facts.Locked);
            EXPECT_EQ(facts.StatusCode, 0u);
            EXPECT_EQ(facts.Supervision.LockState, "unlocked");
        }
        history.Status(4, QStringLiteral("unlocked"));
        supervision.Status(4);
        now += 3500;
        supervision.Supervisor().CheckTime();
        EXPECT_EQ(asked, c.Same ? std::vector<int>{PeakF} : std::vector<int>{});
        EXPECT_EQ(history.Facts().Supervision.LockLosses, c.Same ? 1u : 0u);
    }
}

// The lock health's records, like the supervisor's, name the controller.
TEST(LockSupervision, HeadroomRecordsNameTheController)
{
    qint64 now = 0;
    TLockHistory history;
    TLockSupervision supervision(history);
    supervision.SetClock([&now] { return now; });
    auto sink = std::make_shared<TRecordingSink>();
    supervision.SetJournalSink(sink);
    supervision.LinkUp(QStringLiteral("KWTP Bench"), QStringLiteral("A1"));
    supervision.Status(3);
    supervision.StabilizationMirror(97);
    now += TLockHealth::HeadroomWarningMsec;
    supervision.StabilizationMirror(98);
    supervision.LinkDown();
    ASSERT_EQ(sink->EventField("headroom-low", "VARNEL_EVENT"), "headroom-low");
    for (const char* event : {"headroom-low", "headroom-recovered"}) {
        SCOPED_TRACE(event);
        EXPECT_EQ(sink->EventField(event, "VARNEL_DEVICE"), "KWTP Bench");
        EXPECT_EQ(sink->EventField(event, "VARNEL_DEVICE_SERIAL"), "A1");
    }
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
