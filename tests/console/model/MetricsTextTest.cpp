// SPDX-License-Identifier: GPL-3.0-or-later
// The metrics page from the facts: figures not known leave no sample, the
// lock-health figures have theirs, and the counters only rise over the
// console's life while the facts restart them at every connect and with
// every other controller.
#include "console/model/MetricsText.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

QStringList Samples(const TMetricsSnapshot& snapshot)
{
    QStringList samples;
    for (const QString& line :
         QString::fromUtf8(FormatMetrics(snapshot)).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (!line.startsWith(QLatin1Char('#')))
            samples << line;
    return samples;
}

} // namespace

TEST(MetricsText, AFigureNotKnownHasNoSampleAKnownOneHasIts)
{
    using TSetter = std::function<void(TLockSupervisionFacts&, double)>;
    struct TCase
    {
        const char* Name; // the sample's name and labels
        TSetter Set;
        double Known;
        const char* Shown;
    };
    const TCase cases[] = {
        {R"(varnel_locked_fraction{window="1h"})",
         [](TLockSupervisionFacts& l, double v) { l.LockedFractionHour = v; }, 0, "0"},
        {R"(varnel_locked_fraction{window="24h"})",
         [](TLockSupervisionFacts& l, double v) { l.LockedFractionDay = v; }, 0.5, "0.5"},
        {"varnel_stabilization_headroom_percent",
         [](TLockSupervisionFacts& l, double v) { l.StabilizationHeadroomPercent = v; }, 0, "0"},
        {"varnel_error_signal_rms",
         [](TLockSupervisionFacts& l, double v) { l.ErrorSignalRms = v; }, 0, "0"},
        {"varnel_last_relock_seconds",
         [](TLockSupervisionFacts& l, double v) { l.LastRelockSeconds = v; }, 4.5, "4.5"},
        {"varnel_slowest_relock_seconds",
         [](TLockSupervisionFacts& l, double v) { l.SlowestRelockSeconds = v; }, 61, "61"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString name = QString::fromLatin1(c.Name);
        TMetricsSnapshot snapshot;
        // Unknown by default: no sample.
        for (const QString& sample : Samples(snapshot))
            EXPECT_FALSE(sample.startsWith(name + QLatin1Char(' '))) << sample.toStdString();
        c.Set(snapshot.Facts.Supervision, c.Known);
        EXPECT_TRUE(Samples(snapshot).contains(name + QLatin1Char(' ') + QLatin1String(c.Shown)));
    }
    // A default snapshot's page has the families of the figures, and no NaN.
    const QByteArray idle = FormatMetrics(TMetricsSnapshot{});
    EXPECT_TRUE(idle.contains("# TYPE varnel_stabilization_headroom_percent gauge\n"));
    EXPECT_FALSE(idle.contains("NaN"));
}

TEST(MetricsText, TheLockCountsEachHaveTheirCounter)
{
    TMetricsSnapshot snapshot;
    TLockSupervisionFacts& l = snapshot.Facts.Supervision;
    l.OperatorLocks = 2;
    l.LockLosses = 7;
    l.Relocks = 5;
    l.RelockFailures = 1;
    l.RelockAttemptsFailed = 4;
    const QStringList samples = Samples(snapshot);
    for (const char* line :
         {"varnel_operator_locks_total 2", "varnel_lock_losses_total 7", "varnel_relocks_total 5",
          "varnel_relock_failures_total 1", "varnel_relock_attempts_failed_total 4"})
        EXPECT_TRUE(samples.contains(QLatin1String(line))) << line;
    const QByteArray page = FormatMetrics(snapshot);
    EXPECT_TRUE(page.contains("# TYPE varnel_relock_attempts_failed_total counter\n"));
    EXPECT_TRUE(page.contains("# TYPE varnel_operator_locks_total counter\n"));
}

// Each row: the facts' count as the console goes on; the page's total.
TEST(MetricsTotals, CountersOnlyRiseWhileTheFactsRestartThem)
{
    struct TStep
    {
        bool Connected;
        uint32_t CRC;
        uint64_t Framing;
        uint64_t Losses;
        uint32_t TotalCRC;
        uint64_t TotalFraming;
        uint64_t TotalLosses;
    };
    const std::vector<TStep> steps = {
        {true, 0, 0, 0, 0, 0, 0},  {true, 3, 1, 1, 3, 1, 1},
        {true, 5, 1, 2, 5, 1, 2},  {true, 5, 1, 2, 5, 1, 2}, // told again: nothing new
        {false, 0, 0, 2, 5, 1, 2},                           // disconnected: the line's counts idle
        {true, 0, 0, 2, 5, 1, 2},                            // the same controller again
        {true, 2, 4, 3, 7, 5, 3},  {false, 0, 0, 3, 7, 5, 3},
        {true, 0, 0, 0, 7, 5, 3}, // another controller: its health afresh
        {true, 1, 0, 1, 8, 5, 4},  {true, 4, 2, 5, 11, 7, 8},
    };
    TMetricsTotals totals;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const TStep& s = steps[i];
        TConsoleFacts facts;
        facts.Connected = s.Connected;
        facts.CRCErrors = s.CRC;
        facts.LineFramingErrors = s.Framing;
        facts.Supervision.LockLosses = s.Losses;
        totals.Total(facts);
        EXPECT_EQ(facts.CRCErrors, s.TotalCRC);
        EXPECT_EQ(facts.LineFramingErrors, s.TotalFraming);
        EXPECT_EQ(facts.Supervision.LockLosses, s.TotalLosses);
        EXPECT_EQ(facts.LineOverrunErrors, 0u);
    }
}
