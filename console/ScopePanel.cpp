// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ScopePanel.h"

#include "console/ScopeChartView.h"
#include "console/TraceModel.h"
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/FileWriter.h"
#include "console/model/TraceBuffer.h"

#include <QChart>
#include <QComboBox>
#include <QDir>
#include <QLineSeries>
#include <QLinearGradient>
#include <QLocale>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QValueAxis>

#include <cmath>
#include <utility>

namespace {

QValueAxis* ChartAxis(QChart* chart, Qt::Orientation orientation)
{
    const QList<QAbstractAxis*> axes = chart->axes(orientation);
    return axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
}

QValueAxis* MakeScopeAxis(const QString& title, double min, double max)
{
    auto* axis = new QValueAxis;
    axis->setTitleText(title);
    axis->setTitleVisible(false);
    axis->setLinePenColor(QColor(0x40, 0x40, 0x40));
    axis->setGridLineColor(QColor(0xA9, 0xA9, 0xA9));
    axis->setLabelsFont(QFont(QStringLiteral("Verdana"), 8));
    // Ticks on round numbers, about five per range, whatever the zoom.
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0);
    axis->setLabelFormat(QStringLiteral("%g"));
    auto placeTicks = [axis](qreal low, qreal high) {
        const double rough = (high - low) / 5;
        if (rough <= 0)
            return;
        const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
        const double fraction = rough / magnitude;
        const double nice = fraction < 1.5 ? 1 : fraction < 3.5 ? 2 : fraction < 7.5 ? 5 : 10;
        axis->setTickInterval(nice * magnitude);
    };
    QObject::connect(axis, &QValueAxis::rangeChanged, axis, placeTicks);
    axis->setRange(min, max);
    placeTicks(min, max);
    return axis;
}

} // namespace

TScopePanel::TScopePanel(const TControls& controls, TConsoleSession& session, TWindow window,
                         QObject* parent)
    : QObject(parent), FControls(controls), FState(session.State()), FSession(session),
      FWindow(std::move(window))
{
    TScopeChartView* Chart = FControls.Chart;
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setTitle(QString());
    chart->setBackgroundBrush(Qt::white);
    chart->setMargins(QMargins(4, 4, 4, 4));
    // The back wall: light grey at the bottom, white at the top.
    QLinearGradient wall(QPointF(0, 1), QPointF(0, 0));
    wall.setCoordinateMode(QGradient::ObjectBoundingMode);
    wall.setColorAt(0, QColor(0xEA, 0xEA, 0xEA));
    wall.setColorAt(1, Qt::white);
    chart->setPlotAreaBackgroundBrush(wall);
    chart->setPlotAreaBackgroundVisible(true);

    auto* DataSeries = new QLineSeries(chart);
    FDataSeries = DataSeries;
    DataSeries->setObjectName(QStringLiteral("DataSeries"));
    chart->addSeries(DataSeries);
    // A one-pixel trace in the series' colour: a wider pen is stroked
    // segment by segment at every refresh and costs several times as much
    // to draw.
    QPen trace = DataSeries->pen();
    trace.setWidth(1);
    trace.setCosmetic(true);
    DataSeries->setPen(trace);
    QValueAxis* bottom = MakeScopeAxis(QStringLiteral("bottom"), 1, 1000);
    QValueAxis* left = MakeScopeAxis(QStringLiteral("left"), -17280, 17280);
    chart->addAxis(bottom, Qt::AlignBottom);
    chart->addAxis(left, Qt::AlignLeft);
    DataSeries->attachAxis(bottom);
    DataSeries->attachAxis(left);
    // The view made a default chart of its own and lets go of it without
    // deleting it when given ours.
    std::unique_ptr<QChart> defaultChart(Chart->chart());
    Chart->setChart(chart);
    Chart->setRenderHint(QPainter::Antialiasing, false);
    FControls.SaveChartButton->raise();

    Chart->OnAllowScroll = [this](const QString& axisTitle, double min, double max) {
        bool allow = true;
        ChartAllowScroll(axisTitle, min, max, allow);
        return allow;
    };
    connect(Chart, &TScopeChartView::Zoomed, this, &TScopePanel::ChartZoom);

    // Samples arrive 768 times a second: the trace model coalesces them and
    // paints the trace itself, as one polyline in the plot area. The series
    // stays empty: given the points, the chart would rebuild the line's
    // outline with a path stroker at every refresh, about a millisecond of
    // the main thread, whatever its pen.
    FScopeTrace =
        new TTraceModel(DataSeries, &FState.ScopeTrace(), this, TTraceModel::TDrawing::ByItem);

    connect(&FState, &TControllerState::ScopeScaleChanged, this, [this](uint32_t value) {
        // Reports 1 .. 6 select "1x" .. "32x"; anything else leaves no item.
        const int index = value >= 1 && value <= 6 ? static_cast<int>(value) - 1 : -1;
        FControls.ScopeScaleComboBox->setCurrentIndex(index);
    });
    connect(&FState, &TControllerState::HarmonicChanged, this, [this](uint32_t value) {
        const int index = value <= 2 ? static_cast<int>(value) : -1;
        FControls.HarmonicComboBox->setCurrentIndex(index);
    });

    // Only the operator's choice raises these; selecting from code does not.
    connect(FControls.ScopeScaleComboBox, &QComboBox::activated, this,
            &TScopePanel::ScopeScaleComboBoxChange);
    connect(FControls.HarmonicComboBox, &QComboBox::activated, this,
            &TScopePanel::HarmonicComboBoxChange);
    connect(FControls.SaveChartButton, &QPushButton::clicked, this,
            &TScopePanel::SaveChartButtonClick);
}

void TScopePanel::ScopeScaleComboBoxChange()
{
    const int index = FControls.ScopeScaleComboBox->currentIndex();
    if (index != -1)
        FSession.SetScopeScale(index);
}

void TScopePanel::HarmonicComboBoxChange()
{
    const int index = FControls.HarmonicComboBox->currentIndex();
    if (index != -1)
        FSession.SetHarmonic(index);
}

void TScopePanel::ChartAllowScroll(const QString& axisTitle, double AMin, double AMax,
                                   bool& AllowScroll)
{
    AllowScroll = true;
    if (axisTitle == QLatin1String("bottom") && (AMin < 0 || AMax > 1000))
        AllowScroll = false;
    // Vertically only a range zoomed into -96 .. 96 may move.
    if (axisTitle == QLatin1String("left") && (AMin < -96 || AMax > 96))
        AllowScroll = false;
}

void TScopePanel::ChartZoom()
{
    TScopeChartView* Chart = FControls.Chart;
    QChart* chart = Chart->chart();
    QValueAxis* bottom = ChartAxis(chart, Qt::Horizontal);
    QValueAxis* left = ChartAxis(chart, Qt::Vertical);
    if (bottom->min() < 0 || bottom->max() > 1000)
        Chart->UndoZoom();
    if (left->min() < -17280 || left->max() > 17280)
        Chart->UndoZoom();
}

void TScopePanel::SaveChartButtonClick()
{
    // The samples as they are now; those arriving while the dialog is open
    // are not saved.
    const QList<double> copy = FScopeTrace->Values();
    const QString fileName = FWindow.AskSaveFileName();
    if (fileName.isEmpty())
        return;

    // Plain ASCII digits and "-" whatever the locale writes its numbers
    // with; only a decimal separator, which whole samples never have,
    // would be the locale's.
    const QString separator = QLocale().decimalPoint();
    QByteArray text;
    text.reserve(copy.size() * 8);
    for (double value : copy) {
        text.append(
            QString::number(value, 'g', 15).replace(QLatin1Char('.'), separator).toLocal8Bit());
        text.append("\r\n");
    }

    // Written on a thread of its own: a pipe, a device or a mount that does
    // not answer never holds up the window. A failure is reported when it
    // comes back.
    auto* writer = new TFileWriter(fileName, this);
    connect(writer, &TFileWriter::Failed, this, [this, fileName](const QString& error) {
        FWindow.ReportToOperator(QStringLiteral("Save"),
                                 QStringLiteral("The chart could not be saved to \"%1\": %2")
                                     .arg(QDir::toNativeSeparators(fileName), error));
    });
    connect(writer, &TFileWriter::Finished, writer, &QObject::deleteLater);
    writer->Write(text);
    writer->Close();
}
