// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/ControllerState.h"

#include "console/model/LockHistory.h"
#include "console/model/PeakFacts.h"
#include "console/model/PeakTable.h"
#include "console/model/ServiceValues.h"
#include "console/model/TraceBuffer.h"
#include "protocol/Messages.h"

#include <QLocale>

#include <array>

namespace {

// The text of each status code; a code past the table shows as "status N".
const std::array<const char*, 15> StatusTexts = {
    "not ready",      "tuning - start", "tuning - lock try", "tuning - locked", "unlocked",
    "tuning - stop",  "learning",       "tuning - prepare",  "learning",        "",
    "tuning - error", "tuning - wait",  "tuning - phase",    "tuning - wait",   "wait for user"};

QString TwoDigits(uint32_t value)
{
    return value < 10 ? QStringLiteral("0") + QString::number(value) : QString::number(value);
}

} // namespace

TControllerState::TControllerState(int chartRefreshMsec, QObject* parent)
    : QObject(parent), FPeaks(new TPeakTable(this)), FLockHistory(new TLockHistory(this)),
      FScopeTrace(new TTraceBuffer(chartRefreshMsec, this)),
      FServiceValues(new TServiceValues(this))
{
    // The peak id belongs to the controller that reported it: another
    // controller's lock must not be reported on it.
    connect(FLockHistory, &TLockHistory::ControllerChanged, this, [this] {
        FPeakId = -1;
        FStatusKnown = false;
    });
}

TControllerState::~TControllerState() = default;

void TControllerState::ResetConnectionFacts()
{
    FServiceValues->Clear();
    CRCErrorCounter = 0;
}

QString TControllerState::StatusTextOf(uint32_t code)
{
    return code < StatusTexts.size() ? QString::fromLatin1(StatusTexts[code])
                                     : QStringLiteral("status ") + QString::number(code);
}

QString TControllerState::CFTText(uint32_t tenths)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    return locale.toString(tenths / 10.0, 'f', 1);
}

QString TControllerState::WorkingTimeText(uint32_t minutes)
{
    return TwoDigits(minutes / 60) + QStringLiteral(":") + TwoDigits(minutes % 60);
}

void TControllerState::HandleScopeSample(uint32_t value)
{
    const double sample = ScopeZero - static_cast<double>(value);
    FScopeTrace->Append(sample);
    emit ScopeSample(sample);
}

void TControllerState::RepeatStatus()
{
    if (FStatusKnown)
        emit StatusRepeated(FStatusCode);
}

void TControllerState::HandleDeviceStatus(uint32_t code, uint32_t)
{
    FStatusCode = code;
    FStatusKnown = true;
    FStatusText = StatusTextOf(code);
    FReportText = FStatusText;
    FLockHistory->Status(code, FStatusText);
    if (code == StatusCode::Locked)
        MakeLockReport();
    emit StatusChanged(code);
}

void TControllerState::MakeLockReport()
{
    if (FPeakId < 0)
        return;
    const int32_t N = FPeakId;
    SearchLocked = true;
    // Only ids 1 to 14 name a peak; another id is reported as the number
    // it is, and no row, letter or value is made up for it.
    const bool known = IsPeakId(N);
    FReportText = known ? QStringLiteral("locked at peak ") + PeakLetter(N)
                        : QStringLiteral("locked at unknown peak ") + QString::number(N);
    FLockHistory->LockReported(N,
                               known ? FPeaks->PeakList()[static_cast<size_t>(N - 1)]->Value : 0);
    if (N == PeakIdF)
        FReportText +=
            QStringLiteral(" -> ") + TPeakTable::FormatPeakValue(FPeaks->GetFPeakValue());
    else if (N == PeakIdJ)
        FReportText +=
            QStringLiteral(" -> ") + TPeakTable::FormatPeakValue(FPeaks->GetJPeakValue());
}

void TControllerState::HandleTuningMirrorPosition(uint32_t b2)
{
    FTuningMirror = b2;
    emit TuningMirrorChanged(b2);
    FLockHistory->TuningMirror(b2);
}

void TControllerState::HandleStabilizationMirrorPosition(uint32_t b2)
{
    FStabilizationMirror = b2;
    emit StabilizationMirrorChanged(b2);
    FLockHistory->StabilizationMirror(b2);
}

void TControllerState::HandleDeviceEvent(uint32_t kind, uint32_t peakId)
{
    emit DeviceEvent(kind, peakId);
}

void TControllerState::HandleCFTTemperature(uint32_t value)
{
    FCFT = value;
    emit CFTChanged(value);
    FLockHistory->CFT(value / 10.0);
}

void TControllerState::HandlePeakId(uint32_t b2)
{
    FPeakId = static_cast<int32_t>(b2);
    emit PeakIdChanged(FPeakId);
}

void TControllerState::HandleExpectedPeaksValue(uint32_t value)
{
    FExpectedPeaks = value;
    FPeaks->ExpectedPeaks(value);
    emit ExpectedPeaksChanged(value);
}

void TControllerState::HandleScopeScaleValue(uint32_t value)
{
    FScopeScale = value;
    emit ScopeScaleChanged(value);
}

void TControllerState::HandleHarmonicValue(uint32_t value)
{
    FHarmonic = value;
    emit HarmonicChanged(value);
}

void TControllerState::HandleFOffsetValue(uint32_t value)
{
    FFOffset = static_cast<int16_t>(static_cast<uint16_t>(value));
    emit FOffsetChanged(FFOffset);
    FPeaks->ChangePeakOffset(FFOffset);
}

void TControllerState::HandleLifetimeHigh(uint32_t value)
{
    LifetimePart1 = value * 65536u;
}

void TControllerState::HandleLifetimeLow(uint32_t value)
{
    // An unsigned count of minutes: the high half may use all its 16 bits.
    FWorkingTime = LifetimePart1 + value;
    emit WorkingTimeChanged(FWorkingTime);
    FLockHistory->WorkingTime(FWorkingTime);
}

void TControllerState::HandleCRCError()
{
    ++CRCErrorCounter;
    emit CRCErrorsChanged(CRCErrorCounter);
    FLockHistory->CRCErrors(CRCErrorCounter);
}

void TControllerState::HandleLinkLost()
{
    emit LinkLost();
}

void TControllerState::HandleServiceSample(uint32_t value)
{
    emit ServiceSample(static_cast<int16_t>(static_cast<uint16_t>(value)));
}

// ---- the parameters read back, each answer to its row of the table
#define VARNEL_READ_BACK(Handler, Row)                                                             \
    void TControllerState::Handler(uint32_t value)                                                 \
    {                                                                                              \
        static const TServiceParameter& parameter = *ServiceParameterByName(Row);                  \
        FServiceValues->Take(parameter, value);                                                    \
    }
VARNEL_READ_BACK(HandlePhaseValue, "Phase")
VARNEL_READ_BACK(HandleDelayValue, "Delay")
VARNEL_READ_BACK(HandlePathGainValue, "PathGain")
VARNEL_READ_BACK(HandleCFTValue, "CFT")
VARNEL_READ_BACK(HandlePValue, "P")
VARNEL_READ_BACK(HandleIValue, "I")
VARNEL_READ_BACK(HandleDValue, "D")
VARNEL_READ_BACK(HandlePIDGainValue, "PIDGain")
VARNEL_READ_BACK(HandleSetPointValue, "SetPoint")
VARNEL_READ_BACK(HandleCFTTemp10Value, "CFTTemp10")
VARNEL_READ_BACK(HandleCFTTemp40Value, "CFTTemp40")
VARNEL_READ_BACK(HandleCFTOffsetValue, "CFTOffset")
VARNEL_READ_BACK(HandleCFTRawValue, "CFTRaw")
VARNEL_READ_BACK(HandleModulationValue, "Modulation")
#undef VARNEL_READ_BACK
