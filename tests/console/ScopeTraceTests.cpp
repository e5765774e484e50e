// SPDX-License-Identifier: GPL-3.0-or-later
// The scope trace as the operator sees it: the painted trace against the
// chart's own drawing of the same samples as a line series, pixel by pixel;
// the points it paints once the samples outnumber the pixel columns; and what
// a refresh repaints.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/ScopeChartView.h"
#include "console/ScopePanel.h"
#include "console/SimpleMenuPanel.h"
#include "console/TraceModel.h"

#include <QChart>
#include <QElapsedTimer>
#include <QImage>
#include <QLineSeries>
#include <QPaintEvent>
#include <QRegion>
#include <QSignalSpy>
#include <QTest>
#include <QValueAxis>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <vector>

namespace {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

QValueAxis* Axis(QChartView* view, Qt::Orientation orientation)
{
    return qobject_cast<QValueAxis*>(view->chart()->axes(orientation).value(0));
}

// A trace with what an operator meets: a sine beyond the visible range at
// both ends, steps, a flat stretch, and single samples far off their
// neighbours, which share a pixel column with other samples at the full
// range.
QList<double> KnownTrace()
{
    QList<double> values;
    for (int k = 0; k < 1000; ++k) {
        double value = std::round(18000 * std::sin(k * 2 * M_PI / 250) - 1500);
        if (k >= 600 && k < 700)
            value = (k / 10) % 2 ? 9000 : -3000;
        if (k >= 700 && k < 760)
            value = 1234;
        values.append(value);
    }
    for (const int spike : {131, 397, 733, 881})
        values[spike] = values[spike] > 0 ? -15000 : 15000;
    return values;
}

// The pixels of a rectangle that the trace's colour lights.
class TTracePixels
{
public:
    TTracePixels(const QImage& image, const QRect& area, QRgb trace)
        : FArea(area), FLit(static_cast<size_t>(area.width()) * area.height())
    {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x)
                FLit[Index(x, y)] = (image.pixel(x, y) & 0xFFFFFF) == (trace & 0xFFFFFF);
        }
    }

    bool Lit(int x, int y) const { return FArea.contains(x, y) && FLit[Index(x, y)]; }
    // Lit here or in one of the eight pixels around.
    bool Near(int x, int y) const
    {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                if (Lit(x + dx, y + dy))
                    return true;
            }
        }
        return false;
    }
    int Count() const { return static_cast<int>(std::count(FLit.begin(), FLit.end(), true)); }

private:
    size_t Index(int x, int y) const
    {
        return static_cast<size_t>(y - FArea.top()) * FArea.width() + (x - FArea.left());
    }

    QRect FArea;
    std::vector<bool> FLit;
};

} // namespace

class ScopeTraceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bridge = std::make_shared<TFakeLine>();
        form = std::make_unique<TMainForm>(FakeLineEnvironment(bridge));
    }

    void TearDown() override { form.reset(); }

    // The window on its main page, with the chart laid out.
    void Show()
    {
        form->show();
        form->SimpleMenu().NextButtonClick();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        ASSERT_TRUE(WaitFor([&] { return view()->chart()->plotArea().width() > 100; }));
    }

    void Feed(const QList<double>& values)
    {
        for (double value : values)
            form->State().HandleScopeSample(static_cast<uint32_t>(17640 - value));
        ASSERT_TRUE(WaitFor([&] { return item()->Values() == values; }));
    }

    TScopeChartView* view() const { return form->Chart; }
    TTraceItem* item() const { return form->ScopePanel().ScopeTrace().Item(); }

    // The chart as the screen shows it.
    QImage Render() const { return view()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    std::shared_ptr<TFakeLine> bridge;
    std::unique_ptr<TMainForm> form;
};

TEST_F(ScopeTraceTest, PaintedTraceLightsThePixelsTheChartsOwnLineWould)
{
    Show();
    const QList<double> values = KnownTrace();
    Feed(values);
    QLineSeries* series = form->DataSeries;
    // The series is never given the samples: nothing of it is stroked.
    EXPECT_EQ(series->count(), 0);
    EXPECT_TRUE(item()->Pen().isCosmetic());
    EXPECT_EQ(item()->Pen().width(), 1);
    EXPECT_EQ(item()->Pen().color(), series->pen().color());
    const QRgb trace = series->pen().color().rgb();

    struct TCase
    {
        const char* name;
        double xMin, xMax, yMin, yMax;
        // The share of the trace's pixels that may differ: with more
        // samples than pixel columns the chart's line leaves out a sample
        // that falls into the pixel of the one before; the painted trace
        // draws every column's first, lowest, highest and last sample.
        int allowedPerMille;
    };
    const TCase cases[] = {
        {"full range", 1, 1000, -17280, 17280, 100},
        {"zoomed in", 100, 200, -5000, 5000, 5},
        {"steps and flat stretch", 590, 780, -4000, 10000, 5},
        {"all but the newest", 0, 900, -17280, 17280, 100},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.xMin != 1 || c.xMax != 1000)
            view()->ZoomToRanges(c.xMin, c.xMax, c.yMin, c.yMax);
        ASSERT_EQ(Axis(view(), Qt::Horizontal)->min(), c.xMin);
        ASSERT_EQ(Axis(view(), Qt::Vertical)->max(), c.yMax);
        const QRect plot = view()->chart()->plotArea().toAlignedRect();

        const QImage drawn = Render();
        // The same samples drawn by the chart itself as its line series.
        item()->hide();
        QList<QPointF> points;
        for (qsizetype k = 0; k < values.size(); ++k)
            points.append(QPointF(static_cast<double>(k), values[k]));
        series->replace(points);
        const QImage reference = Render();
        series->clear();
        item()->show();
        ASSERT_EQ(drawn.size(), reference.size());

        // Everything but the trace is the same.
        const QRect around = plot.adjusted(-2, -2, 2, 2);
        int otherwise = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                if (!around.contains(x, y) && drawn.pixel(x, y) != reference.pixel(x, y))
                    ++otherwise;
            }
        }
        EXPECT_EQ(otherwise, 0);

        // In the plot area no pixel of either trace is more than a pixel
        // away from the other's, and few differ at all: the chart's line
        // and the painted one split a step between two columns differently.
        const TTracePixels mine(drawn, around, trace);
        const TTracePixels theirs(reference, around, trace);
        const int lit = theirs.Count();
        int differing = 0;
        int farOff = 0;
        for (int y = around.top(); y <= around.bottom(); ++y) {
            for (int x = around.left(); x <= around.right(); ++x) {
                differing += mine.Lit(x, y) != theirs.Lit(x, y);
                farOff +=
                    (mine.Lit(x, y) && !theirs.Near(x, y)) + (theirs.Lit(x, y) && !mine.Near(x, y));
            }
        }
        ASSERT_GT(lit, plot.width());
        EXPECT_EQ(farOff, 0);
        EXPECT_LE(differing, lit * c.allowedPerMille / 1000)
            << differing << " of " << lit << " trace pixels differ";
        view()->UndoZoom();
    }
}

TEST_F(ScopeTraceTest, ManySamplesKeepEachColumnsLowestAndHighestInTheirOrder)
{
    // A plot area 100 pixels wide showing 10000 samples, and at a device
    // pixel ratio of 2, 200 columns.
    TTraceItem traceItem;
    traceItem.SetPlotArea(QRectF(50, 20, 100, 300));
    traceItem.SetRanges(0, 9999, -1000, 1000);
    QList<double> values;
    for (int k = 0; k < 10000; ++k)
        values.append(800 * std::sin(k / 300.0) + (k % 7) * 10);
    values[5003] = 990;  // a spike up
    values[5004] = -990; // and down right after, in the same column
    traceItem.SetValues(values);

    for (const qreal ratio : {1.0, 2.0}) {
        SCOPED_TRACE(ratio);
        const int columns = static_cast<int>(100 * ratio);
        const QPolygonF polyline = traceItem.Polyline(ratio);
        ASSERT_LE(polyline.size(), 4 * columns + 4);
        // Each column's extremes, in pixels, from every sample.
        std::map<int, std::pair<double, double>> expected;
        for (int k = 0; k < values.size(); ++k) {
            const double x = k * 100.0 / 9999;
            const double y = (1000 - values[k]) * 300 / 2000;
            const int column = static_cast<int>(std::floor(x * ratio));
            auto [at, fresh] = expected.try_emplace(column, y, y);
            if (!fresh)
                at->second = {std::min(at->second.first, y), std::max(at->second.second, y)};
        }
        std::map<int, std::pair<double, double>> painted;
        for (qsizetype k = 0; k < polyline.size(); ++k) {
            const QPointF p = polyline[k];
            if (k > 0) {
                ASSERT_GE(p.x(), polyline[k - 1].x()) << "point " << k;
            }
            const int column = static_cast<int>(std::floor(p.x() * ratio + 1e-9));
            auto [at, fresh] = painted.try_emplace(column, p.y(), p.y());
            if (!fresh)
                at->second = {std::min(at->second.first, p.y()),
                              std::max(at->second.second, p.y())};
        }
        ASSERT_EQ(painted.size(), expected.size());
        for (const auto& [column, extremes] : expected) {
            ASSERT_TRUE(painted.count(column)) << "column " << column;
            EXPECT_NEAR(painted[column].first, extremes.first, 1e-9) << "column " << column;
            EXPECT_NEAR(painted[column].second, extremes.second, 1e-9) << "column " << column;
        }
        // The spike's column goes up before it goes down.
        const auto up = std::find_if(polyline.begin(), polyline.end(),
                                     [](QPointF p) { return std::abs(p.y() - 1.5) < 1e-9; });
        const auto down = std::find_if(polyline.begin(), polyline.end(),
                                       [](QPointF p) { return std::abs(p.y() - 298.5) < 1e-9; });
        ASSERT_NE(up, polyline.end());
        EXPECT_EQ(down, up + 1);
    }

    // A handful of samples zoomed into: every visible sample, and one beyond
    // each end, at its place.
    traceItem.SetRanges(10.5, 12.5, -1000, 1000);
    const QPolygonF few = traceItem.Polyline();
    ASSERT_EQ(few.size(), 4);
    EXPECT_DOUBLE_EQ(few.first().x(), (10 - 10.5) * 50);
    EXPECT_DOUBLE_EQ(few.last().x(), (13 - 10.5) * 50);
    EXPECT_DOUBLE_EQ(few[1].y(), (1000 - values[11]) * 300 / 2000);

    // Nothing to paint without samples, a plot area or a range.
    traceItem.SetValues({});
    EXPECT_TRUE(traceItem.Polyline().isEmpty());
    traceItem.SetValues(values);
    traceItem.SetRanges(5, 5, -1000, 1000);
    EXPECT_TRUE(traceItem.Polyline().isEmpty());
    traceItem.SetRanges(20000, 30000, -1000, 1000);
    EXPECT_TRUE(traceItem.Polyline().isEmpty());
}

TEST_F(ScopeTraceTest, ARefreshRepaintsOnlyWhereTheTraceWasAndGoesInThePlotArea)
{
    Show();
    // A trace in a narrow band: 4900 .. 5100, a few pixels high.
    QList<double> band;
    for (int k = 0; k < 1000; ++k)
        band.append(5000 + (k % 3 - 1) * 100);
    Feed(band);
    // Whatever is still pending from showing the window goes first.
    QTest::qWait(200);

    struct TPaints : QObject
    {
        QRegion Region;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint)
                Region += static_cast<QPaintEvent*>(event)->region();
            return false;
        }
    } paints;
    view()->viewport()->installEventFilter(&paints);
    auto refresh = [&](double value) {
        paints.Region = QRegion();
        QSignalSpy refreshed(&form->ScopePanel().ScopeTrace(), &TTraceModel::Refreshed);
        form->State().HandleScopeSample(static_cast<uint32_t>(17640 - value));
        EXPECT_TRUE(refreshed.wait());
        EXPECT_TRUE(WaitFor([&] { return !paints.Region.isEmpty(); }));
        QTest::qWait(100);
        return paints.Region.boundingRect();
    };
    const QRectF plotArea = view()->chart()->plotArea();
    const QRect plot = plotArea.toAlignedRect();
    auto row = [&](double value) {
        return static_cast<int>(plotArea.top() + (17280 - value) * plotArea.height() / 34560);
    };
    auto text = [](const QRect& r) {
        return QStringLiteral("%1,%2 %3x%4")
            .arg(r.x())
            .arg(r.y())
            .arg(r.width())
            .arg(r.height())
            .toStdString();
    };

    // Another sample in the band: the band, not the rest of the plot area.
    QRect repainted = refresh(5000);
    EXPECT_TRUE(plot.adjusted(-2, -2, 2, 2).contains(repainted))
        << text(repainted) << " beyond the plot area " << text(plot);
    EXPECT_LE(repainted.top(), row(5100) - 1) << text(repainted);
    EXPECT_GE(repainted.top(), row(5100) - 4) << text(repainted);
    EXPECT_GE(repainted.bottom(), row(4900) + 1) << text(repainted);
    EXPECT_LE(repainted.bottom(), row(4900) + 4) << text(repainted);

    // A sample far off: down to it; and back up once it is the only one.
    repainted = refresh(-15000);
    EXPECT_TRUE(plot.adjusted(-2, -2, 2, 2).contains(repainted)) << text(repainted);
    EXPECT_GE(repainted.bottom(), row(-15000) + 1) << text(repainted);
    EXPECT_LE(repainted.top(), row(5100) - 1) << text(repainted);
    view()->viewport()->removeEventFilter(&paints);
}
