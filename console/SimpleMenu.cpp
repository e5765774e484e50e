// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::PrepareSimpleMenu()
{
}

void TMainForm::SimpleFPeakPngSpeedButtonClick(QObject*)
{
}

void TMainForm::SimpleJPeakPngSpeedButtonClick(QObject*)
{
}

void TMainForm::NextButtonClick()
{
}

void TMainForm::BackButtonClick()
{
}

void TMainForm::SimpleMenuTabSheetShow()
{
}

void TMainForm::SimpleMenuTabSheetHide()
{
}

void TMainForm::BlinkTimerTimer()
{
}

