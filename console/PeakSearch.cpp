// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::StartButtonClick()
{
}

void TMainForm::LockButtonClick()
{
}

void TMainForm::LockReport(QString&)
{
}

void TMainForm::SearchPeakTimerTimer()
{
}

