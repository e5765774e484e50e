// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/TraceModel.h"

#include <QAbstractAxis>
#include <QChart>
#include <QPaintDevice>
#include <QPainter>
#include <QPointF>
#include <QValueAxis>
#include <QXYSeries>

#include <algorithm>
#include <cmath>

// ---- TTraceItem

TTraceItem::TTraceItem(QGraphicsItem* parent) : QGraphicsObject(parent)
{
    FPen.setCosmetic(true);
    FPen.setWidth(1);
    // Only painted: the chart view's own zoom and scroll take the mouse.
    setAcceptedMouseButtons(Qt::NoButton);
}

void TTraceItem::Invalidate()
{
    FPolylineRatio = 0;
    FShown = boundingRect();
    update();
}

QRectF TTraceItem::Covering(const QPolygonF& polyline) const
{
    if (polyline.isEmpty())
        return {};
    // The pen's pixel on either side of the points.
    return polyline.boundingRect().adjusted(-1, -1, 1, 1).intersected(boundingRect());
}

void TTraceItem::SetValues(const QList<double>& values)
{
    FValues = values;
    FPolylineRatio = 0;
    // Only where the trace was and where it goes: the rest of the plot area
    // stays as it is.
    const QRectF next = Covering(Polyline(FRatio));
    const QRectF region = FShown.united(next);
    FShown = next;
    if (!region.isEmpty())
        update(region);
}

void TTraceItem::SetPlotArea(const QRectF& area)
{
    if (area == QRectF(pos(), FPlotSize))
        return;
    prepareGeometryChange();
    // Painted from the plot area's corner, as the chart's own series are,
    // so that both meet the same pixels.
    setPos(area.topLeft());
    FPlotSize = area.size();
    Invalidate();
}

void TTraceItem::SetRanges(double xMin, double xMax, double yMin, double yMax)
{
    FXMin = xMin;
    FXMax = xMax;
    FYMin = yMin;
    FYMax = yMax;
    Invalidate();
}

void TTraceItem::SetPen(const QPen& pen)
{
    FPen = pen;
    // One device pixel whatever the view's scale.
    FPen.setCosmetic(true);
    update();
}

QRectF TTraceItem::boundingRect() const
{
    const QRectF area(pos(), FPlotSize);
    return QRectF(area.toAlignedRect()).translated(-pos());
}

QPolygonF TTraceItem::Polyline(qreal devicePixelRatio) const
{
    if (FPolylineRatio != devicePixelRatio) {
        FPolyline = BuildPolyline(devicePixelRatio);
        FPolylineRatio = devicePixelRatio;
    }
    return FPolyline;
}

QPolygonF TTraceItem::BuildPolyline(qreal devicePixelRatio) const
{
    const qsizetype count = FValues.size();
    const double xSpan = FXMax - FXMin;
    const double ySpan = FYMax - FYMin;
    if (count == 0 || FPlotSize.isEmpty() || !(xSpan > 0) || !(ySpan > 0))
        return {};
    // No sample within reach of the plot area.
    if (FXMin > static_cast<double>(count - 1) || FXMax < 0)
        return {};

    // The samples inside the bottom axis' range, and one beyond each end so
    // that the line runs on to the edge of the plot area.
    const qsizetype first =
        std::clamp<qsizetype>(static_cast<qsizetype>(std::ceil(FXMin)) - 1, 0, count - 1);
    const qsizetype last =
        std::clamp<qsizetype>(static_cast<qsizetype>(std::floor(FXMax)) + 1, 0, count - 1);
    if (first > last)
        return {};

    const double xScale = FPlotSize.width() / xSpan;
    const double yScale = FPlotSize.height() / ySpan;
    auto point = [&](qsizetype k) {
        return QPointF((static_cast<double>(k) - FXMin) * xScale, (FYMax - FValues[k]) * yScale);
    };

    QPolygonF polyline;
    const qsizetype visible = last - first + 1;
    const double columns = std::ceil(FPlotSize.width() * devicePixelRatio);
    if (static_cast<double>(visible) <= columns) {
        polyline.reserve(visible);
        for (qsizetype k = first; k <= last; ++k)
            polyline.append(point(k));
        return polyline;
    }

    // More samples than pixel columns: each column's first, lowest, highest
    // and last sample, in the order they came. The lowest and the highest
    // light the column's whole span; the first and the last join it to the
    // columns beside it as the whole line would.
    polyline.reserve(4 * static_cast<qsizetype>(columns) + 8);
    const double columnScale = xScale * devicePixelRatio;
    auto column = [&](qsizetype k) {
        return static_cast<qsizetype>(std::floor((static_cast<double>(k) - FXMin) * columnScale));
    };
    qsizetype start = first;
    qsizetype low = first;
    qsizetype high = first;
    auto flush = [&](qsizetype end) {
        qsizetype kept[] = {start, low, high, end};
        std::sort(std::begin(kept), std::end(kept));
        const qsizetype* const unique = std::unique(std::begin(kept), std::end(kept));
        for (const qsizetype* k = kept; k != unique; ++k)
            polyline.append(point(*k));
    };
    qsizetype current = column(first);
    for (qsizetype k = first + 1; k <= last; ++k) {
        const qsizetype c = column(k);
        if (c != current) {
            flush(k - 1);
            current = c;
            start = low = high = k;
            continue;
        }
        if (FValues[k] < FValues[low])
            low = k;
        if (FValues[k] > FValues[high])
            high = k;
    }
    flush(last);
    return polyline;
}

void TTraceItem::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*)
{
    if (FValues.isEmpty())
        return;
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1;
    if (ratio != FRatio) {
        FRatio = ratio;
        FShown = boundingRect();
    }
    const QPolygonF polyline = Polyline(ratio);
    if (polyline.isEmpty())
        return;
    painter->save();
    painter->setClipRect(boundingRect(), Qt::IntersectClip);
    painter->setPen(FPen);
    painter->setBrush(Qt::NoBrush);
    painter->drawPolyline(polyline);
    painter->restore();
}

// ---- TTraceModel

TTraceModel::TTraceModel(QXYSeries* series, TTraceBuffer* buffer, QObject* parent, TDrawing drawing)
    : QObject(parent), FSeries(series), FBuffer(buffer), FDrawing(drawing)
{
    if (FDrawing == TDrawing::ByItem)
        FollowChart();
    connect(FBuffer, &TTraceBuffer::Refreshed, this, &TTraceModel::Refresh);
}

TTraceModel::TTraceModel(QXYSeries* series, int refreshMsec, QObject* parent)
    : TTraceModel(series, new TTraceBuffer(refreshMsec), parent)
{
    FBuffer->setParent(this);
}

void TTraceModel::FollowChart()
{
    QChart* chart = FSeries->chart();
    Q_ASSERT(chart);
    FItem = new TTraceItem(chart);
    // Above the plot area's wall, the grid and the axes' lines, where the
    // chart's own series are drawn.
    FItem->setZValue(4);
    // Nothing to stroke for the series; its pen is the trace's.
    FSeries->clear();
    FItem->SetPen(FSeries->pen());
    connect(FSeries, &QXYSeries::penChanged, this, [this](const QPen& pen) {
        if (FItem)
            FItem->SetPen(pen);
    });

    QValueAxis* x = nullptr;
    QValueAxis* y = nullptr;
    for (QAbstractAxis* axis : FSeries->attachedAxes()) {
        auto* valueAxis = qobject_cast<QValueAxis*>(axis);
        if (valueAxis && axis->orientation() == Qt::Horizontal)
            x = valueAxis;
        else if (valueAxis && axis->orientation() == Qt::Vertical)
            y = valueAxis;
    }
    Q_ASSERT(x && y);
    auto ranges = [this, x, y] {
        if (FItem)
            FItem->SetRanges(x->min(), x->max(), y->min(), y->max());
    };
    connect(x, &QValueAxis::rangeChanged, this, ranges);
    connect(y, &QValueAxis::rangeChanged, this, ranges);
    ranges();
    connect(chart, &QChart::plotAreaChanged, this, [this](const QRectF& area) {
        if (FItem)
            FItem->SetPlotArea(area);
    });
    FItem->SetPlotArea(chart->plotArea());
    FItem->SetValues(FBuffer->Values());
}

void TTraceModel::Refresh()
{
    const QList<double>& values = FBuffer->Values();
    if (FDrawing == TDrawing::ByItem) {
        // Nothing to draw on once the chart is gone.
        if (!FItem)
            return;
        FItem->SetValues(values);
        emit Refreshed();
        return;
    }
    // The points carry X = 0 .. count - 1, the newest at the right.
    QList<QPointF> points;
    points.reserve(values.size());
    for (qsizetype k = 0; k < values.size(); ++k)
        points.append(QPointF(static_cast<double>(k), values[k]));
    FSeries->replace(points);
    emit Refreshed();
}
