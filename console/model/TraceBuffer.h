// SPDX-License-Identifier: GPL-3.0-or-later
// The newest samples of one signal, up to a fixed number, for a chart to
// draw. Samples may arrive far faster than a chart can be redrawn; the
// buffer tells its view through one coalesced refresh: the first sample
// after a refresh starts a single-shot timer, and when it runs out
// Refreshed asks the view to draw the whole snapshot at once.
#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

class TTraceBuffer : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype Capacity = 1000;

    explicit TTraceBuffer(int refreshMsec, QObject* parent = nullptr);

    // Keeps the sample as the newest, dropping the oldest beyond Capacity,
    // and schedules a refresh unless one is already due.
    void Append(double value);
    // Oldest first.
    const QList<double>& Values() const { return FValues; }
    double Low() const;
    double High() const;

signals:
    // Time to draw the snapshot.
    void Refreshed();

private:
    QList<double> FValues;
    QTimer FRefreshTimer;
};
