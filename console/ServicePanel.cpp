// SPDX-License-Identifier: GPL-3.0-or-later
// The service panel: the access code that opens it, Read, the fifteen Set
// actions with their colour feedback, the stabilisation check, the answers
// that fill the parameter fields, and the service chart.
#include "console/MainUnit.h"

#include "console/GlobalUnit.h"
#include "console/ServicePasswordUnit.h"
#include "console/ServiceSetButtonColor.h"
#include "console/StatusColors.h"
#include "console/TraceModel.h"

#include <QChart>
#include <QLineSeries>
#include <QTimer>
#include <QValueAxis>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace {

constexpr uint32_t SetFeedbackMsec = 1000;
// Path gain values above this carry the stabilisation check.
constexpr int32_t StabilizationFlag = 2000;

// The whole numbers a payload carries: one byte or 16 bits, read as signed
// where the field takes a minus.
struct TPayloadRange
{
    int32_t Low;
    int32_t High;
};

TPayloadRange ByteRange(const TRealSpinEdit* edit)
{
    return edit->Minus() ? TPayloadRange{-128, 127} : TPayloadRange{0, 255};
}

TPayloadRange WordRange(const TRealSpinEdit* edit)
{
    return edit->Minus() ? TPayloadRange{-32768, 32767} : TPayloadRange{0, 65535};
}

// The number a Set action sends for a field: its value limited to the
// field's range, multiplied and truncated, limited to what the payload
// carries once the offset is added, and the offset added. The field is
// rewritten with the number that goes out (without the offset), so that the
// operator sees what was sent and nothing is cut to its low bits.
int32_t SendableValue(TRealSpinEdit* edit, TPayloadRange payload, int32_t multiplier = 1,
                      int32_t offset = 0)
{
    const int32_t whole = std::clamp(PrepareValue(edit->ClampValue(edit->Value()), multiplier),
                                     payload.Low - offset, payload.High - offset);
    edit->setValue(static_cast<double>(whole) / multiplier);
    return whole + offset;
}

// The one-byte and the 16-bit payload of a field's Set action.
TPayload BytePayloadOf(TRealSpinEdit* edit, int32_t multiplier = 1)
{
    return OneBytePayload(SendableValue(edit, ByteRange(edit), multiplier));
}

TPayload WordPayloadOf(TRealSpinEdit* edit, int32_t offset = 0)
{
    return Word16Payload(SendableValue(edit, WordRange(edit), 1, offset));
}

void SetCaptionColor(QPushButton* button, const QColor& color)
{
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, color);
    button->setPalette(palette);
}

} // namespace

void TMainForm::SetOuterWidth(int outerWidth)
{
    // The window is fixed-size; its frame, when it has one, takes the
    // difference between the outer and the client width. The window
    // system's figure is asked each time: the widget's copy of it can miss a
    // frame the window manager put around the window after it was shown.
    // Where the screen is narrower, the window takes what it holds and the
    // rest is reached by scrolling (FitToScreen).
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const int frameExtra = frame.left() + frame.right();
    SetDesignSize(QSize(outerWidth - frameExtra, FDesignSize.height()));
}

void TMainForm::FormKeyPress(QChar key)
{
    if (!FServicePassword || !FServicePassword->IsPasswordOK(key))
        return;
    SetOuterWidth(PageControl->width() + ServicePanel->width() + 18);
    // Docked to the right edge, over the full client height.
    ServicePanel->setGeometry(FDesignSize.width() - ServicePanel->width(), 0, ServicePanel->width(),
                              FDesignSize.height());
    ServicePanel->show();
    ServicePanel->raise();
}

void TMainForm::ReadParamsButtonClick()
{
    if (Connection)
        SendReadRequests(*Connection, ReadParamsSequence);
}

void TMainForm::HideButtonClick()
{
    Send(TCommandId::ReadExpectedPeaks, EmptyPayload());
    ServicePanel->hide();
    SetOuterWidth(PageControl->width() + 12);
}

void TMainForm::SendSetValue(QPushButton* button, TCommandId id, TPayload payload)
{
    Send(id, payload);
    SetCaptionColor(button, OkColor);
    // Each click restores the caption 1000 ms after itself; a later click
    // does not postpone an earlier one's restore.
    new TServiceSetButtonColor(
        SetFeedbackMsec,
        [button] { SetCaptionColor(button, button->palette().color(QPalette::WindowText)); },
        button);
}

void TMainForm::SetPhaseButtonClick()
{
    SendSetValue(SetPhaseButton, TCommandId::WritePhase, WordPayloadOf(PhaseRealSpinEdit));
}

void TMainForm::SetDelayButtonClick()
{
    SendSetValue(SetDelayButton, TCommandId::WriteDelay, BytePayloadOf(DelayRealSpinEdit));
}

void TMainForm::SetPathGainButtonClick()
{
    const int32_t offset = StabilizationCheckCheckBox->isChecked() ? StabilizationFlag : 0;
    SendSetValue(SetPathGainButton, TCommandId::WritePathGain,
                 WordPayloadOf(PathGainRealSpinEdit, offset));
}

void TMainForm::SetCFTButtonClick()
{
    SendSetValue(SetCFTButton, TCommandId::WriteCFT, BytePayloadOf(CFTRealSpinEdit, 10));
}

void TMainForm::SetPButtonClick()
{
    SendSetValue(SetPButton, TCommandId::WriteP, BytePayloadOf(PRealSpinEdit));
}

void TMainForm::SetIButtonClick()
{
    SendSetValue(SetIButton, TCommandId::WriteI, BytePayloadOf(IRealSpinEdit));
}

void TMainForm::SetDButtonClick()
{
    SendSetValue(SetDButton, TCommandId::WriteD, BytePayloadOf(DRealSpinEdit));
}

void TMainForm::SetPIDGainButtonClick()
{
    SendSetValue(SetPIDGainButton, TCommandId::WritePIDGain, BytePayloadOf(PidGainRealSpinEdit));
}

void TMainForm::SetExpectedPeaksButtonClick()
{
    // Both ends of the range must be chosen; after the controller reported
    // no reachable peak neither is, and no valid mask exists.
    const int from = ExpectedPeaksFromComboBox->currentIndex();
    const int to = ExpectedPeaksToComboBox->currentIndex();
    const TPeakList& peaks = State().Peaks().PeakList();
    if (from < 0 || to < 0 || std::max(from, to) >= static_cast<int>(peaks.size()))
        return;
    uint32_t mask = 0;
    for (int k = std::min(from, to); k <= std::max(from, to); ++k)
        mask += peaks[static_cast<size_t>(k)]->Flag;
    SendSetValue(SetExpectedPeaksButton, TCommandId::WriteExpectedPeaks,
                 Word16Payload(static_cast<int32_t>(mask)));
}

void TMainForm::SetPointButtonClick()
{
    SendSetValue(SetPointButton, TCommandId::WriteSetPoint, BytePayloadOf(SetPointRealSpinEdit));
}

void TMainForm::CTFTemp10ButtonClick()
{
    SendSetValue(CTFTemp10Button, TCommandId::WriteCFTTemp10, WordPayloadOf(CFTTemp10RealSpinEdit));
}

void TMainForm::CFTTemp40ButtonClick()
{
    SendSetValue(CFTTemp40Button, TCommandId::WriteCFTTemp40, WordPayloadOf(CFTTemp40RealSpinEdit));
}

void TMainForm::CFTOffsetButtonClick()
{
    SendSetValue(CFTOffsetButton, TCommandId::WriteCFTOffset, WordPayloadOf(CFTOffsetRealSpinEdit));
}

void TMainForm::ModulationButtonClick()
{
    SendSetValue(ModulationButton, TCommandId::WriteModulation,
                 WordPayloadOf(ModulationRealSpinEdit));
}

void TMainForm::FOffsetButtonClick()
{
    SendSetValue(FOffsetButton, TCommandId::WriteFOffset, WordPayloadOf(FOffsetRealSpinEdit));
}

void TMainForm::StabilizationCheckCheckBoxClick()
{
    // The path gain's magnitude, taken on the real number before any
    // conversion to a whole one, then limited as a Set action limits it:
    // a reported path gain the field cannot hold is not echoed as it came.
    PathGainRealSpinEdit->setValue(std::fabs(PathGainRealSpinEdit->Value()));
    const int32_t offset = StabilizationCheckCheckBox->isChecked() ? StabilizationFlag : 0;
    Send(TCommandId::WritePathGain, WordPayloadOf(PathGainRealSpinEdit, offset));
}

void TMainForm::SetupServiceChart()
{
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setTitle(QString());
    chart->setMargins(QMargins(4, 4, 4, 4));
    ServiceSeries = new QLineSeries(chart);
    ServiceSeries->setObjectName(QStringLiteral("ServiceSeries"));
    chart->addSeries(ServiceSeries);
    auto* x = new QValueAxis;
    auto* y = new QValueAxis;
    x->setRange(0, 1);
    y->setRange(-1, 1);
    x->setLabelFormat(QStringLiteral("%g"));
    y->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    ServiceSeries->attachAxis(x);
    ServiceSeries->attachAxis(y);
    // The view made a default chart of its own and lets go of it without
    // deleting it when given ours.
    std::unique_ptr<QChart> defaultChart(ServiceChart->chart());
    ServiceChart->setChart(chart);

    FServiceTrace = new TTraceModel(ServiceSeries, FEnvironment.Timings.ChartRefresh, this);
    connect(FServiceTrace, &TTraceModel::Refreshed, this, &TMainForm::FitServiceChartAxes);
}

void TMainForm::FitServiceChartAxes()
{
    // The axes follow the points; a flat trace gets a band around its value.
    const qsizetype count = FServiceTrace->Values().size();
    double low = FServiceTrace->Low();
    double high = FServiceTrace->High();
    QChart* chart = ServiceChart->chart();
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

void TMainForm::HandleServiceSample(uint32_t value)
{
    if (!ChartCheckBox->isChecked())
        return;
    FServiceTrace->Append(static_cast<int16_t>(static_cast<uint16_t>(value)));
}

void TMainForm::HandlePhaseValue(uint32_t value)
{
    PhaseRealSpinEdit->setValue(value);
}

void TMainForm::HandleDelayValue(uint32_t value)
{
    DelayRealSpinEdit->setValue(value);
}

void TMainForm::HandlePathGainValue(uint32_t value)
{
    // The box shows the controller's stabilisation flag as reported, ticked
    // above 2000 and unticked otherwise, so that the operator's next path gain
    // Set carries what the controller has. Following a report sends nothing:
    // only the operator's click on the box or on Set writes the path gain.
    const bool stabilized = value > static_cast<uint32_t>(StabilizationFlag);
    PathGainRealSpinEdit->setValue(stabilized ? value - StabilizationFlag : value);
    StabilizationCheckCheckBox->setChecked(stabilized);
}

void TMainForm::HandleCFTValue(uint32_t value)
{
    CFTRealSpinEdit->setValue(value / 10.0);
}

void TMainForm::HandlePValue(uint32_t value)
{
    PRealSpinEdit->setValue(value);
}

void TMainForm::HandleIValue(uint32_t value)
{
    IRealSpinEdit->setValue(value);
}

void TMainForm::HandleDValue(uint32_t value)
{
    DRealSpinEdit->setValue(value);
}

void TMainForm::HandlePIDGainValue(uint32_t value)
{
    PidGainRealSpinEdit->setValue(value);
}

void TMainForm::HandleSetPointValue(uint32_t value)
{
    // The low byte is a signed 8-bit number; the high byte is not used.
    SetPointRealSpinEdit->setValue(static_cast<int8_t>(static_cast<uint8_t>(value & 0xFFu)));
}

void TMainForm::HandleCFTTemp10Value(uint32_t value)
{
    CFTTemp10RealSpinEdit->setValue(value);
}

void TMainForm::HandleCFTTemp40Value(uint32_t value)
{
    CFTTemp40RealSpinEdit->setValue(value);
}

void TMainForm::HandleCFTOffsetValue(uint32_t value)
{
    CFTOffsetRealSpinEdit->setValue(value);
}

void TMainForm::HandleCFTRawValue(uint32_t value)
{
    CFTRawLabel->setText(QStringLiteral("CFT Raw: %1").arg(value));
}

void TMainForm::HandleModulationValue(uint32_t value)
{
    ModulationRealSpinEdit->setValue(value);
}
