// SPDX-License-Identifier: GPL-3.0-or-later
// A chart's trace: draws the samples of a trace buffer (the model's newest
// samples of one signal) at each of the buffer's coalesced refreshes, either
// by giving a series the whole snapshot in one replace, or by painting the
// snapshot itself with a trace item in the series' plot area.
#pragma once

#include "console/model/TraceBuffer.h"

#include <QGraphicsObject>
#include <QList>
#include <QObject>
#include <QPen>
#include <QPointer>
#include <QPolygonF>
#include <QRectF>
#include <QSizeF>

class QChart;
class QXYSeries;

// The samples of a trace as one polyline with a cosmetic pen, clipped to the
// chart's plot area; sample k at X = k, oldest first. Once the visible
// samples outnumber the plot area's pixel columns, each column is drawn from
// its first, lowest, highest and last sample, in the order they came: the
// pixels the whole line would light, a single sample's spike included,
// however many samples share the column. New samples repaint only where the
// trace was and where it goes, within the plot area.
class TTraceItem : public QGraphicsObject
{
public:
    explicit TTraceItem(QGraphicsItem* parent = nullptr);

    void SetValues(const QList<double>& values);
    const QList<double>& Values() const { return FValues; }
    // The plot area in the parent's coordinates, and the axes' ranges it
    // shows.
    void SetPlotArea(const QRectF& area);
    void SetRanges(double xMin, double xMax, double yMin, double yMax);
    void SetPen(const QPen& pen);
    QPen Pen() const { return FPen; }

    // The points painted for the current values, plot area and ranges, for
    // a device with the given pixels per unit; in the item's coordinates,
    // which start at the plot area's top left corner.
    QPolygonF Polyline(qreal devicePixelRatio = 1) const;

    // The pixels the plot area touches: a sample on an edge of the plot
    // area lights the pixel the edge lies in, as the chart's own series do.
    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

private:
    QPolygonF BuildPolyline(qreal devicePixelRatio) const;
    // The pixels a polyline lights, within the plot area.
    QRectF Covering(const QPolygonF& polyline) const;
    // Everything is drawn anew: the plot area, the ranges or the pen changed.
    void Invalidate();

    QList<double> FValues;
    QSizeF FPlotSize;
    double FXMin = 0;
    double FXMax = 1;
    double FYMin = 0;
    double FYMax = 1;
    QPen FPen;

    // The last polyline painted, kept until something it depends on changes.
    mutable QPolygonF FPolyline;
    mutable qreal FPolylineRatio = 0;
    // The device's pixels per unit at the last paint.
    qreal FRatio = 1;
    // Where the trace is on the screen, or is about to be.
    QRectF FShown;
};

class TTraceModel : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype Capacity = TTraceBuffer::Capacity;

    enum class TDrawing
    {
        // The series is given the points and draws them.
        BySeries,
        // A trace item in the series' chart paints the points; the series
        // stays empty and lends the item its axes, its pen and its colour.
        ByItem,
    };

    // Draws the given buffer.
    TTraceModel(QXYSeries* series, TTraceBuffer* buffer, QObject* parent,
                TDrawing drawing = TDrawing::BySeries);
    // Draws a buffer of its own.
    TTraceModel(QXYSeries* series, int refreshMsec, QObject* parent);

    void Append(double value) { FBuffer->Append(value); }
    // Oldest first.
    const QList<double>& Values() const { return FBuffer->Values(); }
    double Low() const { return FBuffer->Low(); }
    double High() const { return FBuffer->High(); }

    // The item that paints the trace; null when the series draws it.
    TTraceItem* Item() const { return FItem.data(); }

signals:
    // After the series or the item has been given the snapshot.
    void Refreshed();

private:
    void Refresh();
    void FollowChart();

    QXYSeries* FSeries;
    TTraceBuffer* FBuffer;
    TDrawing FDrawing;
    // Goes with the chart.
    QPointer<TTraceItem> FItem;
};
