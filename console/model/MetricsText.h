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

// Where lock supervision stands, as the metrics name it.
enum TMetricsLockState
{
    _ml_unlocked,
    _ml_acquiring,
    _ml_locked,
    _ml_relocking,
    _ml_failed,
};

// The names of the lock states, in the order of TMetricsLockState.
constexpr std::array<const char*, 5> MetricsLockStateNames = {"unlocked", "acquiring", "locked",
                                                              "relocking", "failed"};

// Everything a page shows. Counters count from the console's start.
struct TMetricsSnapshot
{
    TConsoleFacts Facts;
    QString Version;

    // ---- lock supervision and lock health
    bool KeepLocked = false;
    TMetricsLockState LockState = _ml_unlocked;
    double LockDurationSeconds = 0;
    double LockedFractionHour = 0;
    double LockedFractionDay = 0;
    uint64_t LockLosses = 0;
    uint64_t Relocks = 0;
    uint64_t RelockFailures = 0;
    double LastRelockSeconds = 0; // loss to relock, the last one; 0 before any
    double StabilizationHeadroomPercent = 0;
    double ErrorSignalRms = 0;

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
