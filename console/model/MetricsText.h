// SPDX-License-Identifier: GPL-3.0-or-later
// The console's facts as a page of metrics in the Prometheus text exposition
// format (version 0.0.4), for a lab's monitoring to scrape. One snapshot of
// values in, one page out: no clock, no I/O, nothing shared.
#pragma once

#include "console/model/LockHistory.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

// The states of lock supervision, one series each.
constexpr std::array<const char*, 5> MetricsLockStateNames = {"unlocked", "acquiring", "locked",
                                                              "relocking", "failed"};

// Everything a page shows: the facts (with lock supervision and health) and
// the console's own counters, which count from its start. The page leaves
// out a figure the facts do not know (NaN). Its counters are the counts of
// the facts as given: the endpoint's feeder puts the totals of
// TMetricsTotals there, so that they count from the start as well.
struct TMetricsSnapshot
{
    TConsoleFacts Facts;
    QString Version;

    // ---- traffic and faults
    uint64_t ScopeSamples = 0;
    uint64_t DataLogWriteFailures = 0;
    uint64_t LinkLosses = 0;
};

// The counters of the page rise only while the console runs, whereas the
// facts count the line's faults since the connect and lock health since the
// controller was first linked. Given every change of the facts, in order, it
// keeps what each count reached before it started again, and adds it.
class TMetricsTotals
{
public:
    // Replaces the counts of the facts by the totals since the first call.
    void Total(TConsoleFacts& facts);

private:
    struct TCounter
    {
        uint64_t Before = 0; // what the count reached before its restarts
        uint64_t Last = 0;
        uint64_t Total(uint64_t count);
    };
    TCounter FCRCErrors, FOverrun, FParity, FFraming, FBreak;
    TCounter FOperatorLocks, FLosses, FRelocks, FRelockFailures, FRelockAttemptsFailed;
};

// The page, each metric with its HELP and TYPE lines.
QByteArray FormatMetrics(const TMetricsSnapshot& snapshot);

// A label value as the text format wants it: backslash, double quote and
// line feed escaped.
QByteArray EscapeLabelValue(const QString& value);
