// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::SetupScopeChart()
{
}

void TMainForm::AddScopeSample(uint32_t)
{
}

void TMainForm::RefreshScopeChart()
{
}

void TMainForm::HandleScopeSample(uint32_t)
{
}

void TMainForm::HandleScopeScaleValue(uint32_t)
{
}

void TMainForm::HandleHarmonicValue(uint32_t)
{
}

void TMainForm::ScopeScaleComboBoxChange()
{
}

void TMainForm::HarmonicComboBoxChange()
{
}

void TMainForm::ChartAllowScroll(const QString&, double, double, bool&)
{
}

void TMainForm::ChartZoom()
{
}

void TMainForm::SaveChartButtonClick()
{
}

