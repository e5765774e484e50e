// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::SetupPeakListBox()
{
}

void TMainForm::BuildPeakList()
{
}

void TMainForm::FillPeakListBox(int32_t)
{
}

void TMainForm::ExpectedPeaks(uint32_t)
{
}

void TMainForm::SetPeakLabelByIndex(uint32_t)
{
}

void TMainForm::ChangePeakOffset(int32_t)
{
}

double TMainForm::GetFPeakValue() const
{
    return 0;
}

double TMainForm::GetJPeakValue() const
{
    return 0;
}

int32_t TMainForm::SelectedPeakId() const
{
    return 0;
}

void TMainForm::PeakListBoxClick()
{
}

