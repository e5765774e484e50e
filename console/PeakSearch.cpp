// SPDX-License-Identifier: GPL-3.0-or-later
// Start and Lock of the main page, the lock report, and the timed peak check.
#include "console/MainUnit.h"

#include "console/model/LockHistory.h"

#include "console/model/PeakFacts.h"
#include "console/StatusColors.h"

#include <QLocale>
#include <QMessageBox>
#include <QTimer>

#include <chrono>

namespace {

// The millisecond tick counter, as the unsigned 32-bit count it wraps at.
double TickCount()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<double>(static_cast<uint32_t>(ms.count()));
}

constexpr int32_t LockHoldTicks = 50;

} // namespace

void TMainForm::StartButtonClick()
{
    const bool automatic = AutomaticRadioButton->isChecked();
    Send(TCommandId::TuningStart, FlagPayload());
    Send(TCommandId::TuningEnable, FlagPayload());
    if (automatic)
        Send(TCommandId::TuningTarget, OneBytePayload(SelectedPeakId()));
    else
        Send(TCommandId::TuningHalfAutomatic, FlagPayload());
    FLockHistory->StartSent(automatic ? _sk_automatic : _sk_half_automatic,
                            automatic ? SelectedPeakId() : 0);
    LockButton->setVisible(!automatic);
    PeakLabel->setText(QStringLiteral("--"));
}

void TMainForm::LockButtonClick()
{
    Send(TCommandId::TuningLock, EmptyPayload());
    FLockHistory->LockSent();
}

void TMainForm::LockReport(QString& text)
{
    bool isNumber = false;
    const int N = PeakIdLabel->text().toInt(&isNumber, 10);
    if (!isNumber)
        return;
    SearchLocked = true;
    // Only ids 1 to 14 name a peak; another id is reported as the number
    // it is, and no row, letter or value is made up for it.
    const bool known = IsPeakId(N);
    const QChar letter = known ? PeakLetter(N) : QChar();
    text = known ? QStringLiteral("locked at peak ") + letter
                 : QStringLiteral("locked at unknown peak ") + QString::number(N);
    FLockHistory->LockReported(N, known ? PeakList()[N - 1]->Value : 0);

    // The button that shows the locked peak goes down; when neither shows
    // it, both are up. Nothing is sent.
    SimpleFPeakPngSpeedButton->setChecked(N == SimpleMenuFirstPeakId);
    SimpleJPeakPngSpeedButton->setChecked(N != SimpleMenuFirstPeakId &&
                                          N == SimpleMenuSecondPeakId);
    if (N == PeakIdF)
        text += QStringLiteral(" -> ") + FormatPeakValue(GetFPeakValue());
    else if (N == PeakIdJ)
        text += QStringLiteral(" -> ") + FormatPeakValue(GetJPeakValue());

    for (int row = 0; known && row < PeakListBox->count(); ++row) {
        if (PeakListBox->item(row)->text().startsWith(letter)) {
            PeakListBox->setCurrentRow(row);
            PeakListBoxClick();
            break;
        }
    }
    SetPeakLabelByIndex(static_cast<uint32_t>(N));
}

void TMainForm::SearchPeakTimerTimer()
{
    const auto sendTarget = [this](int32_t peakId) {
        Send(TCommandId::TuningTarget, OneBytePayload(peakId));
    };
    switch (FSearchState) {
    case _ss_set_first_peak:
        FSearchTimer1To2 = 0;
        FSearchTimer2To3 = 0;
        SearchLocked = false;
        sendTarget(FSearchPeakIdTable[0]);
        FSearchCounter = 0;
        FSearchState = _ss_wait_for_lock_first_peak;
        break;
    case _ss_wait_for_lock_first_peak:
        if (SearchLocked) {
            if (FSearchCounter == LockHoldTicks)
                FSearchState = _ss_set_second_peak;
            ++FSearchCounter;
        }
        break;
    case _ss_set_second_peak:
        FSearchTimer1To2 = TickCount();
        SearchLocked = false;
        sendTarget(FSearchPeakIdTable[1]);
        FSearchCounter = 0;
        FSearchState = _ss_wait_for_lock_second_peak;
        break;
    case _ss_wait_for_lock_second_peak:
        if (SearchLocked) {
            if (FSearchCounter == 0)
                FSearchTimer1To2 = TickCount() - FSearchTimer1To2;
            if (FSearchCounter == LockHoldTicks)
                FSearchState = _ss_set_last_peak;
            ++FSearchCounter;
        }
        break;
    case _ss_set_last_peak:
        FSearchTimer2To3 = TickCount();
        SearchLocked = false;
        sendTarget(FSearchPeakIdTable[2]);
        FSearchCounter = 0;
        FSearchState = _ss_wait_for_lock_last_peak;
        break;
    case _ss_wait_for_lock_last_peak: {
        if (!SearchLocked)
            break;
        FSearchTimer2To3 = TickCount() - FSearchTimer2To3;
        const double ratio = FSearchTimer1To2 / FSearchTimer2To3;
        QLocale locale;
        locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
        FDBGStatus += QStringLiteral("||") + QString::number(FSearchAttempt) +
                      QStringLiteral("   ") + locale.toString(FSearchTimer1To2, 'f', 2) +
                      QStringLiteral("   ") + locale.toString(FSearchTimer2To3, 'f', 2) +
                      QStringLiteral("   ") + locale.toString(ratio, 'f', 2);
        if (ratio >= 0.7 * FSearchSuccessThreshold && ratio <= 1.1 * FSearchSuccessThreshold) {
            SearchPeakTimer->stop();
            FSearchState = _ss_success;
        } else {
            if (FSearchAttempt == 2) {
                SearchPeakTimer->stop();
                QMessageBox::information(this, windowTitle(), FDBGStatus);
                SetSimpleStatusPanelColor(ErrorColor);
                SimpleStatusPanel->setText(QStringLiteral("error"));
                FSearchState = _ss_error;
            } else {
                FSearchState = _ss_set_first_peak;
            }
            ++FSearchAttempt;
        }
        SearchLocked = false;
        break;
    }
    case _ss_success:
    case _ss_error:
        break;
    }
}
