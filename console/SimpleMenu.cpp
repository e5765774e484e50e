// SPDX-License-Identifier: GPL-3.0-or-later
// The simple-menu page: two latching peak buttons, the status panel and its
// blinking, the page switches and the connection timer they control.
#include "console/MainUnit.h"

#include "console/model/LockHistory.h"

#include "console/StatusColors.h"
#include "console/model/PeakFacts.h"

#include <QIcon>
#include <QTimer>

namespace {

} // namespace

void TMainForm::PrepareSimpleMenu()
{
    const int32_t FirstAvaiablePeakIndex = FState->Peaks().FirstAvaiablePeakIndex();
    const int32_t LastAvaiablePeakIndex = FState->Peaks().LastAvaiablePeakIndex();
    if (LastAvaiablePeakIndex >= JPeakIndex) {
        SimpleMenuFirstPeakId = PeakIdF;
        SimpleMenuSecondPeakId = PeakIdJ;
    } else {
        SimpleMenuSecondPeakId = PeakIdF;
        if (FirstAvaiablePeakIndex <= PeakIndexOfId(PeakIdC))
            SimpleMenuFirstPeakId = PeakIdC;
        else if (FirstAvaiablePeakIndex == PeakIndexOfId(PeakIdD))
            SimpleMenuFirstPeakId = PeakIdD;
        else
            SimpleMenuFirstPeakId = PeakIdE;
    }
    const auto setGlyph = [this](QToolButton* button, int32_t peakId) {
        if (peakId >= 1 && peakId <= PngImageList.size()) {
            button->setIcon(QIcon(PngImageList[peakId - 1]));
            button->update();
        }
    };
    setGlyph(SimpleFPeakPngSpeedButton, SimpleMenuFirstPeakId);
    setGlyph(SimpleJPeakPngSpeedButton, SimpleMenuSecondPeakId);
}

// The two peak buttons are one group in which at most one is down and both
// may be up: a press puts an up button down and the other one up, and a
// press on a down button puts it up. Only a press that leaves the button
// down asks the controller for its peak.
void TMainForm::SimpleFPeakPngSpeedButtonClick(QObject* Sender)
{
    if (Sender == nullptr || !SimpleFPeakPngSpeedButton->isChecked())
        return;
    SimpleJPeakPngSpeedButton->setChecked(false);
    if (SimpleMenuFirstPeakId != -1) {
        Send(TCommandId::TuningTarget, OneBytePayload(SimpleMenuFirstPeakId));
        FLockHistory->StartSent(_sk_peak_button, SimpleMenuFirstPeakId);
    }
}

void TMainForm::SimpleJPeakPngSpeedButtonClick(QObject* Sender)
{
    if (Sender == nullptr || !SimpleJPeakPngSpeedButton->isChecked())
        return;
    SimpleFPeakPngSpeedButton->setChecked(false);
    if (SimpleMenuSecondPeakId != -1) {
        Send(TCommandId::TuningTarget, OneBytePayload(SimpleMenuSecondPeakId));
        FLockHistory->StartSent(_sk_peak_button, SimpleMenuSecondPeakId);
    }
}

void TMainForm::NextButtonClick()
{
    PageControl->setCurrentWidget(MainTabSheet);
}

void TMainForm::BackButtonClick()
{
    PageControl->setCurrentWidget(SimpleMenuTabSheet);
}

void TMainForm::SimpleMenuTabSheetShow()
{
    ConnectionTimer->start();
}

void TMainForm::SimpleMenuTabSheetHide()
{
    ConnectionTimer->stop();
}

void TMainForm::BlinkTimerTimer()
{
    SetSimpleStatusPanelColor(SimpleStatusPanelColor() == BusyBlinkColor
                                  ? palette().color(QPalette::Button)
                                  : BusyBlinkColor);
}
