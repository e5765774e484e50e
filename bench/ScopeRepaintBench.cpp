// SPDX-License-Identifier: GPL-3.0-or-later
// One refresh of the scope chart with 1000 samples, on whatever platform
// QT_QPA_PLATFORM names (offscreen unless set; xcb on an X server): the
// chart as the console builds it (TScopePanel on a TScopeChartView of
// 640 x 558), shown, given a new snapshot of the trace and its plot area
// repainted at once, the paint flushed to the window.
//
//   BM_TraceRefresh        the console's refresh: the trace item takes the
//                          snapshot, the plot area is repainted
//   BM_TracePaintOnly      the trace item's own painting into an image
//   BM_SeriesRefresh       for comparison, the same samples given to the
//                          chart's line series, which draws them itself
//
// The goal (docs/performance.md): one refresh under 1 ms; scripts/bench
// --plotter grades BM_TraceRefresh's CPU time.
#include "console/ScopeChartView.h"
#include "console/ScopePanel.h"
#include "console/TraceModel.h"
#include "console/model/ConsoleSession.h"

#include <QApplication>
#include <QChart>
#include <QComboBox>
#include <QImage>
#include <QLineSeries>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionGraphicsItem>
#include <QTest>

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

TConsoleSessionSettings RefreshEvery50Msec()
{
    TConsoleSessionSettings settings;
    settings.ChartRefreshMsec = 50;
    return settings;
}

class TScopeChart
{
public:
    TScopeChart()
    {
        FView.resize(640, 558);
        auto* save = new QPushButton(QStringLiteral("Save"), &FView);
        save->setGeometry(3, 527, 75, 25);
        auto* scale = new QComboBox(&FParent);
        auto* harmonic = new QComboBox(&FParent);
        FPanel = std::make_unique<TScopePanel>(
            TScopePanel::TControls{&FView, save, scale, harmonic}, FSession,
            TScopePanel::TWindow{[] { return QString(); }, [](const QString&, const QString&) {}},
            nullptr);
        FView.show();
        if (!QTest::qWaitForWindowExposed(&FView))
            qFatal("the scope chart was never shown");
        // The chart lays itself out in the event loop after the show.
        for (int k = 0; k < 50 && FView.chart()->plotArea().width() < 100; ++k)
            QTest::qWait(10);
        QTest::qWait(50);
    }

    TTraceItem& Item() const { return *FPanel->ScopeTrace().Item(); }
    QLineSeries& Series() const { return *FPanel->DataSeries(); }
    TScopeChartView& View() { return FView; }
    QRect PlotArea() const { return FView.chart()->plotArea().toAlignedRect(); }

private:
    QWidget FParent;
    TScopeChartView FView;
    TConsoleSession FSession{RefreshEvery50Msec()};
    std::unique_ptr<TScopePanel> FPanel;
};

TScopeChart* Chart = nullptr;

// 1000 samples of a noisy sine that moves on by one sample a refresh.
QList<double> Samples(int shift)
{
    QList<double> values;
    values.reserve(1000);
    for (int k = 0; k < 1000; ++k) {
        const int n = k + shift;
        values.append(15000 * std::sin(n * 2 * M_PI / 333) + ((n * 7919) % 401) - 200);
    }
    return values;
}

void BM_TraceRefresh(benchmark::State& state)
{
    TTraceItem& item = Chart->Item();
    const QRect plot = Chart->PlotArea();
    int shift = 0;
    for (auto _ : state) {
        item.SetValues(Samples(++shift));
        Chart->View().viewport()->repaint(plot);
    }
    state.counters["plot_width"] = plot.width();
    state.counters["points_painted"] = static_cast<double>(item.Polyline().size());
}

void BM_TracePaintOnly(benchmark::State& state)
{
    TTraceItem& item = Chart->Item();
    const QRect plot = Chart->PlotArea();
    QImage image(plot.right() + 2, plot.bottom() + 2, QImage::Format_RGB32);
    image.fill(Qt::white);
    QStyleOptionGraphicsItem option;
    int shift = 0;
    for (auto _ : state) {
        item.SetValues(Samples(++shift));
        QPainter painter(&image);
        item.paint(&painter, &option, nullptr);
    }
}

void BM_SeriesRefresh(benchmark::State& state)
{
    QLineSeries& series = Chart->Series();
    const QRect plot = Chart->PlotArea();
    Chart->Item().hide();
    int shift = 0;
    for (auto _ : state) {
        const QList<double> values = Samples(++shift);
        QList<QPointF> points;
        points.reserve(values.size());
        for (qsizetype k = 0; k < values.size(); ++k)
            points.append(QPointF(static_cast<double>(k), values[k]));
        series.replace(points);
        Chart->View().viewport()->repaint(plot);
    }
    series.clear();
    Chart->Item().show();
}

BENCHMARK(BM_TraceRefresh)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TracePaintOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SeriesRefresh)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::benchmark::Initialize(&argc, argv);
    if (::benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        TScopeChart chart;
        Chart = &chart;
        ::benchmark::RunSpecifiedBenchmarks();
        Chart = nullptr;
    }
    ::benchmark::Shutdown();
    return 0;
}
