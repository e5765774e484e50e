// SPDX-License-Identifier: GPL-3.0-or-later
// Handlers of the controller's status, lock, peak and live-display messages.
// They run on the main thread, one at a time, in the order the frames came.
#include "console/MainUnit.h"

#include "console/model/LockHistory.h"
#include "console/StatusColors.h"
#include "console/SystemSounds.h"

#include <QLocale>
#include <QTimer>

#include <array>

namespace {

// The text of each status code; a code past the table shows as "status N".
const std::array<const char*, 15> StatusTexts = {
    "not ready",      "tuning - start", "tuning - lock try", "tuning - locked", "unlocked",
    "tuning - stop",  "learning",       "tuning - prepare",  "learning",        "",
    "tuning - error", "tuning - wait",  "tuning - phase",    "tuning - wait",   "wait for user"};

QString StatusText(uint32_t code)
{
    return code < StatusTexts.size() ? QString::fromLatin1(StatusTexts[code])
                                     : QStringLiteral("status ") + QString::number(code);
}

QString TwoDigits(uint32_t value)
{
    return value < 10 ? QStringLiteral("0") + QString::number(value) : QString::number(value);
}

} // namespace

void TMainForm::HandleDeviceStatus(uint32_t code, uint32_t)
{
    QString text = StatusText(code);
    FLockHistory->Status(code, text);
    StatusLabel->setText(text);
    if (code == 3)
        LockReport(text);
    SimpleStatusPanel->setText(text);

    const QColor buttonFace = palette().color(QPalette::Button);
    switch (code) {
    case 0:
        BlinkTimer->stop();
        SimpleFPeakPngSpeedButton->setEnabled(false);
        SimpleJPeakPngSpeedButton->setEnabled(false);
        SetSimpleStatusPanelColor(buttonFace);
        break;
    case 3:
        BlinkTimer->stop();
        SetSimpleStatusPanelColor(OkColor);
        break;
    case 10:
        BlinkTimer->stop();
        SetSimpleStatusPanelColor(ErrorColor);
        break;
    case 14:
        BlinkTimer->stop();
        SimpleFPeakPngSpeedButton->setEnabled(true);
        SimpleJPeakPngSpeedButton->setEnabled(true);
        SimpleFPeakPngSpeedButton->setChecked(false);
        SimpleJPeakPngSpeedButton->setChecked(false);
        SetSimpleStatusPanelColor(WaitForUserColor);
        break;
    default:
        SimpleStatusPanel->setText(QStringLiteral("wait for device"));
        // A running timer keeps its rhythm.
        if (!BlinkTimer->isActive())
            BlinkTimer->start();
        break;
    }
}

void TMainForm::HandleTuningMirrorPosition(uint32_t b2)
{
    TuningMirrorALProgressBar->setPosition(static_cast<int>(b2));
    FLockHistory->TuningMirror(b2);
}

void TMainForm::HandleStabilizationMirrorPosition(uint32_t b2)
{
    StabilizationMirrorALProgressBar->setPosition(static_cast<int>(b2));
    FLockHistory->StabilizationMirror(b2);
}

void TMainForm::HandleDeviceEvent(uint32_t kind, uint32_t peakId)
{
    switch (kind) {
    case 1:
        SetPeakLabelByIndex(peakId);
        FSounds->Play(_snd_default_alert);
        break;
    case 2:
        FSounds->Play(_snd_default_alert);
        break;
    case 3:
        FSounds->Play(_snd_critical_stop);
        break;
    default:
        break;
    }
}

void TMainForm::HandleCFTTemperature(uint32_t value)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    CFTValueLabel->setText(locale.toString(value / 10.0, 'f', 1));
    FLockHistory->CFT(value / 10.0);
}

void TMainForm::HandlePeakId(uint32_t b2)
{
    PeakIdLabel->setText(QString::number(b2));
}

void TMainForm::HandleExpectedPeaksValue(uint32_t value)
{
    ExpectedPeaks(value);
}

void TMainForm::HandleFOffsetValue(uint32_t value)
{
    const auto offset = static_cast<int16_t>(static_cast<uint16_t>(value));
    FOffsetRealSpinEdit->setValue(offset);
    ChangePeakOffset(offset);
}

void TMainForm::HandleLifetimeHigh(uint32_t value)
{
    LifetimePart1 = value * 65536u;
}

void TMainForm::HandleLifetimeLow(uint32_t value)
{
    // An unsigned count of minutes: the high half may use all its 16 bits.
    const uint32_t total = LifetimePart1 + value;
    LifetimeLabel->setText(TwoDigits(total / 60) + QStringLiteral(":") + TwoDigits(total % 60));
    FLockHistory->WorkingTime(total);
}

void TMainForm::HandleCRCError()
{
    ++CRCErrorCounter;
    CRCErrorsLabel->setText(QString::number(CRCErrorCounter));
    FLockHistory->CRCErrors(CRCErrorCounter);
}
