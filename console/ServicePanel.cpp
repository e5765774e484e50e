// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ServicePanel.h"

#include "ui_MainForm.h"

#include "console/ServiceSetButtonColor.h"
#include "console/StatusColors.h"
#include "console/TraceModel.h"
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/PeakTable.h"
#include "console/model/ServiceValues.h"

#include <QChart>
#include <QEvent>
#include <QLineSeries>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

constexpr uint32_t SetFeedbackMsec = 1000;

void SetCaptionColor(QPushButton* button, const QColor& color)
{
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, color);
    button->setPalette(palette);
}

const TServiceParameter& Row(std::string_view name)
{
    return *ServiceParameterByName(name);
}

using TUi = Ui::TMainForm;

// The panel's controls of each parameter row it shows, by the row's read
// request: the field that shows the value and the row's Set button. The
// expected peaks have the From/To choice and a Set button, the CFT raw value
// only its label; the scope scale and the harmonic are chosen elsewhere in
// the window.
struct TRowControls
{
    TCommandId Read;
    TRealSpinEdit* TUi::*Field;
    QPushButton* TUi::*SetButton;
};

// clang-format off
constexpr std::array<TRowControls, 15> RowControls = {{
    {TCommandId::ReadPhase,         &TUi::PhaseRealSpinEdit,      &TUi::SetPhaseButton},
    {TCommandId::ReadDelay,         &TUi::DelayRealSpinEdit,      &TUi::SetDelayButton},
    {TCommandId::ReadPathGain,      &TUi::PathGainRealSpinEdit,   &TUi::SetPathGainButton},
    {TCommandId::ReadCFT,           &TUi::CFTRealSpinEdit,        &TUi::SetCFTButton},
    {TCommandId::ReadP,             &TUi::PRealSpinEdit,          &TUi::SetPButton},
    {TCommandId::ReadI,             &TUi::IRealSpinEdit,          &TUi::SetIButton},
    {TCommandId::ReadD,             &TUi::DRealSpinEdit,          &TUi::SetDButton},
    {TCommandId::ReadPIDGain,       &TUi::PidGainRealSpinEdit,    &TUi::SetPIDGainButton},
    {TCommandId::ReadExpectedPeaks, nullptr,                      &TUi::SetExpectedPeaksButton},
    {TCommandId::ReadSetPoint,      &TUi::SetPointRealSpinEdit,   &TUi::SetPointButton},
    {TCommandId::ReadCFTTemp10,     &TUi::CFTTemp10RealSpinEdit,  &TUi::CTFTemp10Button},
    {TCommandId::ReadCFTTemp40,     &TUi::CFTTemp40RealSpinEdit,  &TUi::CFTTemp40Button},
    {TCommandId::ReadCFTOffset,     &TUi::CFTOffsetRealSpinEdit,  &TUi::CFTOffsetButton},
    {TCommandId::ReadModulation,    &TUi::ModulationRealSpinEdit, &TUi::ModulationButton},
    {TCommandId::ReadFOffset,       &TUi::FOffsetRealSpinEdit,    &TUi::FOffsetButton},
}};
// clang-format on

// Every row the controller lets the operator write has its Set button here,
// but the two the window chooses elsewhere; every entry is a row.
constexpr bool EveryWritableRowHasASetButton()
{
    for (const TServiceParameter& parameter : ServiceParameters) {
        const bool elsewhere = parameter.Read == TCommandId::ReadScopeScale ||
                               parameter.Read == TCommandId::ReadHarmonic;
        const bool wanted = parameter.Write.has_value() && !elsewhere;
        const auto entry =
            std::find_if(RowControls.begin(), RowControls.end(), [&](const TRowControls& controls) {
                return controls.Read == parameter.Read;
            });
        const bool present = entry != RowControls.end() && entry->SetButton != nullptr;
        if (present != wanted)
            return false;
    }
    for (const TRowControls& controls : RowControls)
        if (std::none_of(ServiceParameters.begin(), ServiceParameters.end(),
                         [&](const TServiceParameter& parameter) {
                             return parameter.Read == controls.Read;
                         }))
            return false;
    return true;
}
static_assert(EveryWritableRowHasASetButton());

} // namespace

TServicePanel::TServicePanel(Ui::TMainForm& ui, TConsoleSession& session, int chartRefreshMsec,
                             QObject* parent)
    : QObject(parent), FUi(ui), FState(session.State()), FSession(session)
{
    TControllerState& state = session.State();
    for (const TRowControls& controls : RowControls) {
        const TServiceParameter& parameter =
            *ServiceParameterByCommand(static_cast<uint8_t>(controls.Read));
        const std::size_t row = TServiceValues::RowOf(parameter);
        if (controls.Field != nullptr)
            FFields[row] = ui.*controls.Field;
        if (controls.SetButton == nullptr)
            continue;
        QPushButton* button = ui.*controls.SetButton;
        FSetButtons[row] = button;
        connect(button, &QPushButton::clicked, this,
                [this, &parameter] { SetButtonClick(parameter); });
    }
    connect(ui.ReadParamsButton, &QPushButton::clicked, this,
            &TServicePanel::ReadParamsButtonClick);
    connect(ui.HideButton, &QPushButton::clicked, this, &TServicePanel::HideButtonClick);
    // The operator's click (mouse or keyboard) only: the box following a
    // path gain report from the controller is not a command and sends nothing.
    connect(ui.StabilizationCheckCheckBox, &QCheckBox::clicked, this,
            &TServicePanel::StabilizationCheckCheckBoxClick);

    ui.ExpectedPeaksFromComboBox->clear();
    ui.ExpectedPeaksToComboBox->clear();
    for (const auto& peak : state.Peaks().PeakList()) {
        ui.ExpectedPeaksFromComboBox->addItem(peak->Name);
        ui.ExpectedPeaksToComboBox->addItem(peak->Name);
    }
    ui.ExpectedPeaksFromComboBox->setCurrentIndex(0);
    ui.ExpectedPeaksToComboBox->setCurrentIndex(0);

    connect(&state.ServiceValues(), &TServiceValues::ValueRead, this, &TServicePanel::ShowReading);
    connect(&state, &TControllerState::ExpectedPeaksChanged, this, [this] {
        FUi.ExpectedPeaksFromComboBox->setCurrentIndex(FState.Peaks().FirstAvaiablePeakIndex());
        FUi.ExpectedPeaksToComboBox->setCurrentIndex(FState.Peaks().LastAvaiablePeakIndex());
    });
    connect(&state, &TControllerState::FOffsetChanged, this,
            [this](int16_t offset) { FUi.FOffsetRealSpinEdit->setValue(offset); });
    SetupChart(chartRefreshMsec);
    connect(&state, &TControllerState::ServiceSample, this, [this](double value) {
        if (FUi.ChartCheckBox->isChecked())
            FTrace->Append(value);
    });
    // Open is the panel shown, whoever shows it; a minimised window leaves
    // it open.
    FOpen = !ui.ServicePanel->isHidden();
    ui.ServicePanel->installEventFilter(this);
}

bool TServicePanel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == FUi.ServicePanel &&
        (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)) {
        const bool open = !FUi.ServicePanel->isHidden();
        if (open != FOpen) {
            FOpen = open;
            emit OpenChanged(open);
        }
    }
    return QObject::eventFilter(watched, event);
}

void TServicePanel::ReadParamsButtonClick()
{
    FSession.ReadParameters();
}

void TServicePanel::HideButtonClick()
{
    FSession.ReadExpectedPeaks();
    FUi.ServicePanel->hide();
    emit Hidden();
}

int32_t TServicePanel::FlagOf(const TServiceParameter& parameter) const
{
    return parameter.Flag > 0 && FUi.StabilizationCheckCheckBox->isChecked() ? parameter.Flag : 0;
}

void TServicePanel::SetButtonClick(const TServiceParameter& parameter)
{
    const std::size_t row = TServiceValues::RowOf(parameter);
    if (parameter.Read == TCommandId::ReadExpectedPeaks) {
        SetExpectedPeaks(FSetButtons[row]);
        return;
    }
    TRealSpinEdit* field = FFields[row];
    if (!field || !parameter.Write)
        return;
    // The field's value limited to its range, scaled and truncated, limited
    // to what the payload carries with the flag; the field is rewritten with
    // the number that goes out, so that the operator sees what was sent and
    // nothing is cut to its low bits.
    const int32_t flag = FlagOf(parameter);
    const int32_t whole = SendableValue(parameter, field->ClampValue(field->Value()), flag);
    field->setValue(static_cast<double>(whole) / parameter.Scale);
    FSession.SetParameter(parameter, whole, flag);
    ShowSent(FSetButtons[row]);
}

void TServicePanel::SetExpectedPeaks(QPushButton* button)
{
    // Both ends of the range must be chosen; after the controller reported
    // no reachable peak neither is, and no valid mask exists.
    const int from = FUi.ExpectedPeaksFromComboBox->currentIndex();
    const int to = FUi.ExpectedPeaksToComboBox->currentIndex();
    const TPeakList& peaks = FState.Peaks().PeakList();
    if (from < 0 || to < 0 || std::max(from, to) >= static_cast<int>(peaks.size()))
        return;
    uint32_t mask = 0;
    for (int k = std::min(from, to); k <= std::max(from, to); ++k)
        mask += peaks[static_cast<size_t>(k)]->Flag;
    FSession.SetExpectedPeaks(mask);
    ShowSent(button);
}

void TServicePanel::ShowSent(QPushButton* button)
{
    SetCaptionColor(button, OkColor);
    // Each click restores the caption 1000 ms after itself; a later click
    // does not postpone an earlier one's restore.
    new TServiceSetButtonColor(
        SetFeedbackMsec,
        [button] { SetCaptionColor(button, button->palette().color(QPalette::WindowText)); },
        button);
}

void TServicePanel::StabilizationCheckCheckBoxClick()
{
    // The path gain's magnitude, taken on the real number before any
    // conversion to a whole one, then limited as a Set action limits it:
    // a reported path gain the field cannot hold is not echoed as it came.
    const TServiceParameter& pathGain = Row("PathGain");
    TRealSpinEdit* field = FFields[TServiceValues::RowOf(pathGain)];
    field->setValue(std::fabs(field->Value()));
    const int32_t flag = FlagOf(pathGain);
    const int32_t whole = SendableValue(pathGain, field->ClampValue(field->Value()), flag);
    field->setValue(whole);
    FSession.SetParameter(pathGain, whole, flag);
}

void TServicePanel::ShowReading(const TServiceParameter* parameter, TParameterReading reading,
                                uint32_t answer)
{
    if (parameter->Read == TCommandId::ReadCFTRaw) {
        // A measured value, shown as it came.
        FUi.CFTRawLabel->setText(QStringLiteral("CFT Raw: %1").arg(answer));
        return;
    }
    TRealSpinEdit* field = FFields[TServiceValues::RowOf(*parameter)];
    if (!field)
        return;
    field->setValue(reading.Value);
    // The box shows the controller's stabilisation flag as reported, so that
    // the operator's next path gain Set carries what the controller has.
    // Following a report sends nothing: only the operator's click on the box
    // or on Set writes the path gain.
    if (parameter->Flag > 0)
        FUi.StabilizationCheckCheckBox->setChecked(reading.Flag);
}

void TServicePanel::SetupChart(int chartRefreshMsec)
{
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setTitle(QString());
    chart->setMargins(QMargins(4, 4, 4, 4));
    FSeries = new QLineSeries(chart);
    FSeries->setObjectName(QStringLiteral("ServiceSeries"));
    chart->addSeries(FSeries);
    auto* x = new QValueAxis;
    auto* y = new QValueAxis;
    x->setRange(0, 1);
    y->setRange(-1, 1);
    x->setLabelFormat(QStringLiteral("%g"));
    y->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    FSeries->attachAxis(x);
    FSeries->attachAxis(y);
    // The view made a default chart of its own and lets go of it without
    // deleting it when given ours.
    std::unique_ptr<QChart> defaultChart(FUi.ServiceChart->chart());
    FUi.ServiceChart->setChart(chart);

    FTrace = new TTraceModel(FSeries, chartRefreshMsec, this);
    connect(FTrace, &TTraceModel::Refreshed, this, &TServicePanel::FitChartAxes);
}

void TServicePanel::FitChartAxes()
{
    // The axes follow the points; a flat trace gets a band around its value.
    const qsizetype count = FTrace->Values().size();
    double low = FTrace->Low();
    double high = FTrace->High();
    QChart* chart = FUi.ServiceChart->chart();
    const QList<QAbstractAxis*> xs = chart->axes(Qt::Horizontal);
    const QList<QAbstractAxis*> ys = chart->axes(Qt::Vertical);
    if (xs.isEmpty() || ys.isEmpty())
        return;
    xs.first()->setRange(0.0, std::max<double>(1.0, static_cast<double>(count - 1)));
    if (low == high) {
        low -= 1;
        high += 1;
    }
    ys.first()->setRange(low, high);
}
