// SPDX-License-Identifier: GPL-3.0-or-later
// Start and Lock of the main page, and the lock report the state made, shown.
#include "console/MainUnit.h"

#include "console/model/LockHistory.h"

#include "console/StatusColors.h"
#include "console/model/PeakFacts.h"

void TMainForm::StartButtonClick()
{
    const bool automatic = AutomaticRadioButton->isChecked();
    Send(TCommandId::TuningStart, FlagPayload());
    Send(TCommandId::TuningEnable, FlagPayload());
    if (automatic)
        Send(TCommandId::TuningTarget, OneBytePayload(FState->Peaks().SelectedPeakId()));
    else
        Send(TCommandId::TuningHalfAutomatic, FlagPayload());
    FLockHistory->StartSent(automatic ? _sk_automatic : _sk_half_automatic,
                            automatic ? FState->Peaks().SelectedPeakId() : 0);
    LockButton->setVisible(!automatic);
    PeakLabel->setText(QStringLiteral("--"));
}

void TMainForm::LockButtonClick()
{
    Send(TCommandId::TuningLock, EmptyPayload());
    FLockHistory->LockSent();
}

void TMainForm::ShowLockReport()
{
    const int N = FState->PeakId();
    if (N < 0)
        return;
    // The button that shows the locked peak goes down; when neither shows
    // it, both are up. Nothing is sent.
    SimpleFPeakPngSpeedButton->setChecked(N == SimpleMenuFirstPeakId);
    SimpleJPeakPngSpeedButton->setChecked(N != SimpleMenuFirstPeakId &&
                                          N == SimpleMenuSecondPeakId);
    const bool known = IsPeakId(N);
    const QChar letter = known ? PeakLetter(N) : QChar();
    for (int row = 0; known && row < PeakListBox->count(); ++row) {
        if (PeakListBox->item(row)->text().startsWith(letter)) {
            PeakListBox->setCurrentRow(row);
            PeakListBoxClick();
            break;
        }
    }
    PeakLabel->setText(FState->Peaks().PeakName(static_cast<uint32_t>(N)));
}
