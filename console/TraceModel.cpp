// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/TraceModel.h"

#include <QPointF>
#include <QXYSeries>

#include <algorithm>

TTraceModel::TTraceModel(QXYSeries* series, int refreshMsec, QObject* parent)
    : QObject(parent), FSeries(series)
{
    FValues.reserve(Capacity + 1);
    FRefreshTimer.setSingleShot(true);
    FRefreshTimer.setInterval(refreshMsec);
    connect(&FRefreshTimer, &QTimer::timeout, this, &TTraceModel::Refresh);
}

void TTraceModel::Append(double value)
{
    if (FValues.size() >= Capacity)
        FValues.removeFirst();
    FValues.append(value);
    emit SampleAdded(value);
    if (!FRefreshTimer.isActive())
        FRefreshTimer.start();
}

double TTraceModel::Low() const
{
    return FValues.isEmpty() ? 0 : *std::min_element(FValues.begin(), FValues.end());
}

double TTraceModel::High() const
{
    return FValues.isEmpty() ? 0 : *std::max_element(FValues.begin(), FValues.end());
}

void TTraceModel::Refresh()
{
    // The points carry X = 0 .. count - 1, the newest at the right.
    QList<QPointF> points;
    points.reserve(FValues.size());
    for (qsizetype k = 0; k < FValues.size(); ++k)
        points.append(QPointF(static_cast<double>(k), FValues[k]));
    FSeries->replace(points);
    emit Refreshed();
}
