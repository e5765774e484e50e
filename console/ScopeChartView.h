// SPDX-License-Identifier: GPL-3.0-or-later
// The scope chart's view: rubber-band zoom with an undo to the ranges before
// the first zoom, and scrolling that asks before each axis moves.
//
// Left button: drag a rectangle inside the plot area to zoom into it; drag
// it from right to left, or double-click, to undo the zoom.
// Right button: drag to scroll. Arrow keys scroll by a tenth of the range.
#pragma once

#include <QChartView>
#include <QPoint>
#include <QString>

#include <functional>

class QRubberBand;
class QValueAxis;

class TScopeChartView : public QChartView
{
    Q_OBJECT

public:
    explicit TScopeChartView(QWidget* parent = nullptr);

    // Asked before an axis scrolls, with the axis' title text and the
    // proposed range; false keeps the axis where it is. Unset allows all.
    std::function<bool(const QString& axisTitle, double min, double max)> OnAllowScroll;

    // Zooms both axes to the given ranges as the operator's rubber band
    // does: the ranges before the first zoom are kept for the undo, then
    // Zoomed is emitted.
    void ZoomToRanges(double xMin, double xMax, double yMin, double yMax);
    // Both axes back to the ranges they had before the operator started
    // zooming; nothing happens when no zoom is in effect.
    void UndoZoom();
    bool IsZoomed() const { return FZoomed; }

    // Scrolls by the given distances in axis units; each axis that would move
    // asks OnAllowScroll first. Returns whether any axis moved.
    bool ScrollBy(double dx, double dy);

signals:
    // After every zoom by the operator.
    void Zoomed();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QValueAxis* Axis(Qt::Orientation orientation) const;
    QPoint ClampToPlotArea(QPoint point) const;
    bool ScrollAxis(QValueAxis* axis, double delta);

    QRubberBand* FRubberBand = nullptr;
    QPoint FBandOrigin;
    bool FBanding = false;
    bool FScrolling = false;
    QPoint FScrollLast;

    bool FZoomed = false;
    double FZoomStartXMin = 0;
    double FZoomStartXMax = 0;
    double FZoomStartYMin = 0;
    double FZoomStartYMax = 0;
};
