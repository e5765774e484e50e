// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ScopeChartView.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QRubberBand>
#include <QValueAxis>

#include <algorithm>

namespace {

// A rubber band smaller than this is a click, not a zoom.
constexpr int MinimumBandSize = 3;

} // namespace

TScopeChartView::TScopeChartView(QWidget* parent) : QChartView(parent)
{
    // The view draws its own rubber band; QChartView's stays off.
    FRubberBand = new QRubberBand(QRubberBand::Rectangle, viewport());
    FRubberBand->hide();
    setFocusPolicy(Qt::StrongFocus);
    setContextMenuPolicy(Qt::PreventContextMenu);
}

QValueAxis* TScopeChartView::Axis(Qt::Orientation orientation) const
{
    if (!chart())
        return nullptr;
    const QList<QAbstractAxis*> axes = chart()->axes(orientation);
    for (QAbstractAxis* axis : axes) {
        if (auto* valueAxis = qobject_cast<QValueAxis*>(axis))
            return valueAxis;
    }
    return nullptr;
}

QPoint TScopeChartView::ClampToPlotArea(QPoint point) const
{
    const QRectF plot = chart()->plotArea();
    return QPoint(static_cast<int>(std::clamp<qreal>(point.x(), plot.left(), plot.right())),
                  static_cast<int>(std::clamp<qreal>(point.y(), plot.top(), plot.bottom())));
}

void TScopeChartView::ZoomToRanges(double xMin, double xMax, double yMin, double yMax)
{
    QValueAxis* x = Axis(Qt::Horizontal);
    QValueAxis* y = Axis(Qt::Vertical);
    if (!x || !y)
        return;
    if (!FZoomed) {
        FZoomStartXMin = x->min();
        FZoomStartXMax = x->max();
        FZoomStartYMin = y->min();
        FZoomStartYMax = y->max();
        FZoomed = true;
    }
    x->setRange(xMin, xMax);
    y->setRange(yMin, yMax);
    emit Zoomed();
}

void TScopeChartView::UndoZoom()
{
    QValueAxis* x = Axis(Qt::Horizontal);
    QValueAxis* y = Axis(Qt::Vertical);
    if (!FZoomed || !x || !y)
        return;
    FZoomed = false;
    x->setRange(FZoomStartXMin, FZoomStartXMax);
    y->setRange(FZoomStartYMin, FZoomStartYMax);
}

bool TScopeChartView::ScrollAxis(QValueAxis* axis, double delta)
{
    if (!axis || delta == 0)
        return false;
    const double min = axis->min() + delta;
    const double max = axis->max() + delta;
    if (OnAllowScroll && !OnAllowScroll(axis->titleText(), min, max))
        return false;
    axis->setRange(min, max);
    return true;
}

bool TScopeChartView::ScrollBy(double dx, double dy)
{
    const bool movedX = ScrollAxis(Axis(Qt::Horizontal), dx);
    const bool movedY = ScrollAxis(Axis(Qt::Vertical), dy);
    return movedX || movedY;
}

void TScopeChartView::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (chart() && event->button() == Qt::LeftButton && chart()->plotArea().contains(pos)) {
        FBanding = true;
        FBandOrigin = pos;
        FRubberBand->setGeometry(QRect(pos, QSize()));
        FRubberBand->show();
        event->accept();
        return;
    }
    if (chart() && event->button() == Qt::RightButton) {
        FScrolling = true;
        FScrollLast = pos;
        event->accept();
        return;
    }
    // Should QChartView's own rubber band ever be switched on: its press
    // handler in this Qt uses the item under the cursor without checking that
    // there is one, and crashes on an empty spot. Such a press goes to the
    // plain graphics view instead.
    if (rubberBand() != QChartView::NoRubberBand && itemAt(pos) == nullptr) {
        QGraphicsView::mousePressEvent(event);
        return;
    }
    QChartView::mousePressEvent(event);
}

void TScopeChartView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (FBanding) {
        FRubberBand->setGeometry(QRect(FBandOrigin, ClampToPlotArea(pos)).normalized());
        event->accept();
        return;
    }
    if (FScrolling) {
        const QPoint step = pos - FScrollLast;
        FScrollLast = pos;
        const QRectF plot = chart()->plotArea();
        QValueAxis* x = Axis(Qt::Horizontal);
        QValueAxis* y = Axis(Qt::Vertical);
        if (x && y && plot.width() > 0 && plot.height() > 0) {
            // The trace follows the mouse: dragging right shows earlier X,
            // dragging down shows higher Y.
            ScrollBy(-step.x() * (x->max() - x->min()) / plot.width(),
                     step.y() * (y->max() - y->min()) / plot.height());
        }
        event->accept();
        return;
    }
    QChartView::mouseMoveEvent(event);
}

void TScopeChartView::mouseReleaseEvent(QMouseEvent* event)
{
    if (FBanding && event->button() == Qt::LeftButton) {
        FBanding = false;
        FRubberBand->hide();
        event->accept();
        const QPoint end = ClampToPlotArea(event->position().toPoint());
        if (FBandOrigin.x() - end.x() >= MinimumBandSize) {
            UndoZoom();
            return;
        }
        const QRect band = QRect(FBandOrigin, end).normalized();
        QValueAxis* x = Axis(Qt::Horizontal);
        QValueAxis* y = Axis(Qt::Vertical);
        const QRectF plot = chart()->plotArea();
        if (band.width() < MinimumBandSize || band.height() < MinimumBandSize || !x || !y ||
            plot.width() <= 0 || plot.height() <= 0)
            return;
        // Fractions of the plot area; an edge of the band on an edge of the
        // plot keeps that end of the range exactly.
        const double left = std::clamp((band.left() - plot.left()) / plot.width(), 0.0, 1.0);
        const double right = std::clamp((band.right() - plot.left()) / plot.width(), 0.0, 1.0);
        const double top = std::clamp((band.top() - plot.top()) / plot.height(), 0.0, 1.0);
        const double bottom = std::clamp((band.bottom() - plot.top()) / plot.height(), 0.0, 1.0);
        const double xSpan = x->max() - x->min();
        const double ySpan = y->max() - y->min();
        const double xMin = left <= 0 ? x->min() : x->min() + xSpan * left;
        const double xMax = right >= 1 ? x->max() : x->min() + xSpan * right;
        const double yMax = top <= 0 ? y->max() : y->max() - ySpan * top;
        const double yMin = bottom >= 1 ? y->min() : y->max() - ySpan * bottom;
        ZoomToRanges(xMin, xMax, yMin, yMax);
        return;
    }
    if (FScrolling && event->button() == Qt::RightButton) {
        FScrolling = false;
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void TScopeChartView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (chart() && event->button() == Qt::LeftButton &&
        chart()->plotArea().contains(event->position())) {
        UndoZoom();
        event->accept();
        return;
    }
    QChartView::mouseDoubleClickEvent(event);
}

void TScopeChartView::keyPressEvent(QKeyEvent* event)
{
    QValueAxis* x = Axis(Qt::Horizontal);
    QValueAxis* y = Axis(Qt::Vertical);
    if (x && y) {
        const double xStep = (x->max() - x->min()) / 10;
        const double yStep = (y->max() - y->min()) / 10;
        switch (event->key()) {
        case Qt::Key_Left:
            ScrollBy(-xStep, 0);
            event->accept();
            return;
        case Qt::Key_Right:
            ScrollBy(xStep, 0);
            event->accept();
            return;
        case Qt::Key_Up:
            ScrollBy(0, yStep);
            event->accept();
            return;
        case Qt::Key_Down:
            ScrollBy(0, -yStep);
            event->accept();
            return;
        default:
            break;
        }
    }
    QChartView::keyPressEvent(event);
}
