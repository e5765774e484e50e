// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/TraceModel.h"

#include <QPointF>
#include <QXYSeries>

TTraceModel::TTraceModel(QXYSeries* series, TTraceBuffer* buffer, QObject* parent)
    : QObject(parent), FSeries(series), FBuffer(buffer)
{
    connect(FBuffer, &TTraceBuffer::Refreshed, this, &TTraceModel::Refresh);
}

TTraceModel::TTraceModel(QXYSeries* series, int refreshMsec, QObject* parent)
    : TTraceModel(series, new TTraceBuffer(refreshMsec), parent)
{
    FBuffer->setParent(this);
}

void TTraceModel::Refresh()
{
    // The points carry X = 0 .. count - 1, the newest at the right.
    const QList<double>& values = FBuffer->Values();
    QList<QPointF> points;
    points.reserve(values.size());
    for (qsizetype k = 0; k < values.size(); ++k)
        points.append(QPointF(static_cast<double>(k), values[k]));
    FSeries->replace(points);
    emit Refreshed();
}
