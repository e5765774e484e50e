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
// the console's own counters, which count from its start.
struct TMetricsSnapshot
{
    TConsoleFacts Facts;
    QString Version;

    // ---- traffic and faults
    uint64_t ScopeSamples = 0;
    uint64_t DataLogWriteFailures = 0;
    uint64_t LinkLosses = 0;
};

// The page, each metric with its HELP and TYPE lines.
QByteArray FormatMetrics(const TMetricsSnapshot& snapshot);

// A label value as the text format wants it: backslash, double quote and
// line feed escaped.
QByteArray EscapeLabelValue(const QString& value);
