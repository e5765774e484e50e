// SPDX-License-Identifier: GPL-3.0-or-later
// The scope chart and the two tuning options beside it: the rolling trace of
// the controller state's last 1000 scope samples, its zoom and scroll limits,
// saving the samples to a file (through a FileWriter), and the scope scale
// and harmonic, shown as the controller reports them and sent as the
// operator picks them. The controls are the window's; the panel takes them.
#pragma once

#include "protocol/SendFrameUnit.h"

#include <QObject>
#include <QString>

#include <functional>

class QComboBox;
class QLineSeries;
class QPushButton;
class TControllerState;
class TConsoleSession;
class TScopeChartView;
class TTraceModel;

class TScopePanel : public QObject
{
    Q_OBJECT

public:
    struct TControls
    {
        TScopeChartView* Chart;
        QPushButton* SaveChartButton;
        QComboBox* ScopeScaleComboBox;
        QComboBox* HarmonicComboBox;
    };
    // What the panel asks of the window: to ask the operator for a file
    // name, and to tell the operator (title, text).
    struct TWindow
    {
        std::function<QString()> AskSaveFileName;
        std::function<void(const QString&, const QString&)> ReportToOperator;
    };

    TScopePanel(const TControls& controls, TConsoleSession& session, TWindow window,
                QObject* parent);

    // The chart's line series: it holds the axes and the trace's pen; the
    // trace model paints the samples.
    QLineSeries* DataSeries() const { return FDataSeries; }
    const TTraceModel& ScopeTrace() const { return *FScopeTrace; }

    // ---- the operator's actions
    void ScopeScaleComboBoxChange();
    void HarmonicComboBoxChange();
    void ChartAllowScroll(const QString& axisTitle, double AMin, double AMax, bool& AllowScroll);
    void ChartZoom();
    void SaveChartButtonClick();

private:
    TControls FControls;
    TControllerState& FState;
    TConsoleSession& FSession;
    TWindow FWindow;
    QLineSeries* FDataSeries = nullptr;
    TTraceModel* FScopeTrace = nullptr;
};
