// SPDX-License-Identifier: GPL-3.0-or-later
// The data behind a chart: the newest samples of one signal, up to a fixed
// number, and the one series that draws them. Samples may arrive far faster
// than a chart can be redrawn; the series follows through one coalesced
// refresh: the first sample after a refresh starts a single-shot timer, and
// when it runs out the series is given the whole snapshot in one replace.
// Whoever else wants every sample (the data log) takes it from SampleAdded,
// whatever the chart does.
#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

class QXYSeries;

class TTraceModel : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype Capacity = 1000;

    TTraceModel(QXYSeries* series, int refreshMsec, QObject* parent);

    // Keeps the sample as the newest, dropping the oldest beyond Capacity,
    // and schedules a refresh unless one is already due.
    void Append(double value);
    // Oldest first.
    const QList<double>& Values() const { return FValues; }
    double Low() const;
    double High() const;

signals:
    // Every sample as it is appended.
    void SampleAdded(double value);
    // After the series has been given the snapshot.
    void Refreshed();

private:
    void Refresh();

    QXYSeries* FSeries;
    QList<double> FValues;
    QTimer FRefreshTimer;
};
