// SPDX-License-Identifier: GPL-3.0-or-later
// The service panel behind the access code: Read, one Set action per row of
// the parameter table (each button sends what its field holds, and the field
// then shows what was sent), the stabilisation check, the fields following
// what the controller reports back, and the service chart.
#pragma once

#include "protocol/SendFrameUnit.h"
#include "protocol/ServiceParameters.h"

#include <QObject>

#include <array>
#include <functional>

namespace Ui {
class TMainForm;
}
class QLineSeries;
class QPushButton;
class TControllerState;
class TConsoleSession;
class TRealSpinEdit;
class TTraceModel;

class TServicePanel : public QObject
{
    Q_OBJECT

public:
    TServicePanel(Ui::TMainForm& ui, TConsoleSession& session, int chartRefreshMsec,
                  QObject* parent = nullptr);

    // The buttons' actions, as a click runs them.
    void ReadParamsButtonClick();
    void HideButtonClick();
    void StabilizationCheckCheckBoxClick();
    void SetButtonClick(const TServiceParameter& parameter);

    // The service chart's series.
    QLineSeries* Series() const { return FSeries; }
    // The panel is open (shown after the access code, until Hide).
    bool IsOpen() const { return FOpen; }

signals:
    // Hide closed the panel; the window gives its room back.
    void Hidden();
    // The panel was opened or closed: service staff are at work while it
    // is open.
    void OpenChanged(bool open);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetupChart(int chartRefreshMsec);
    void FitChartAxes();
    void ShowReading(const TServiceParameter* parameter, TParameterReading reading,
                     uint32_t answer);
    void SetExpectedPeaks(QPushButton* button);
    void ShowSent(QPushButton* button);
    // The path gain's flag while the stabilisation check is ticked.
    int32_t FlagOf(const TServiceParameter& parameter) const;

    Ui::TMainForm& FUi;
    TControllerState& FState;
    TConsoleSession& FSession;
    // Each row's field and Set button, where the panel has them.
    std::array<TRealSpinEdit*, ServiceParameters.size()> FFields{};
    std::array<QPushButton*, ServiceParameters.size()> FSetButtons{};
    QLineSeries* FSeries = nullptr;
    TTraceModel* FTrace = nullptr;
    bool FOpen = false;
};
