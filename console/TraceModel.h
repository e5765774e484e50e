// SPDX-License-Identifier: GPL-3.0-or-later
// A chart's trace: draws the samples of a trace buffer (the model's newest
// samples of one signal) with one series, the whole snapshot in one replace
// at each of the buffer's coalesced refreshes.
#pragma once

#include "console/model/TraceBuffer.h"

#include <QList>
#include <QObject>

class QXYSeries;

class TTraceModel : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype Capacity = TTraceBuffer::Capacity;

    // Draws the given buffer.
    TTraceModel(QXYSeries* series, TTraceBuffer* buffer, QObject* parent);
    // Draws a buffer of its own.
    TTraceModel(QXYSeries* series, int refreshMsec, QObject* parent);

    void Append(double value) { FBuffer->Append(value); }
    // Oldest first.
    const QList<double>& Values() const { return FBuffer->Values(); }
    double Low() const { return FBuffer->Low(); }
    double High() const { return FBuffer->High(); }

signals:
    // After the series has been given the snapshot.
    void Refreshed();

private:
    void Refresh();

    QXYSeries* FSeries;
    TTraceBuffer* FBuffer;
};
