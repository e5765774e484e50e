// SPDX-License-Identifier: GPL-3.0-or-later
// The newest samples of one signal, up to a fixed number, for a chart to
// draw. Samples may arrive far faster than a chart can be redrawn; the
// buffer tells its view through coalesced refreshes, at most one per refresh
// interval, each asking the view to draw the whole snapshot at once.
//
// While samples stream the refresh rides on their arrival: the first sample
// at least one interval after the last refresh asks for one, which runs as
// soon as the current delivery (the reader's whole pass) is done, while the
// main thread is awake anyway. Samples that no later arrival picks up (the
// stream stopped or slowed) are drawn by a single-shot timer due two
// intervals after the last refresh; a stream that keeps coming more often
// than once an interval refreshes before it, so it never wakes the thread.
#pragma once

#include <QElapsedTimer>
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
    // and asks for a refresh as described above.
    void Append(double value);
    // Oldest first.
    const QList<double>& Values() const { return FValues; }
    double Low() const;
    double High() const;

signals:
    // Time to draw the snapshot.
    void Refreshed();

private:
    void Refresh();

    QList<double> FValues;
    const int FRefreshMsec;
    // Since the last refresh, or since the buffer was made.
    QElapsedTimer FSinceRefresh;
    QTimer FFallbackTimer;
    // Samples arrived since the last refresh.
    bool FUnshown = false;
    // A refresh is queued behind the current delivery.
    bool FRefreshQueued = false;
};
