// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::FormKeyPress(QChar)
{
}

void TMainForm::ReadParamsButtonClick()
{
}

void TMainForm::HideButtonClick()
{
}

void TMainForm::SetPhaseButtonClick()
{
}

void TMainForm::SetDelayButtonClick()
{
}

void TMainForm::SetPathGainButtonClick()
{
}

void TMainForm::SetCFTButtonClick()
{
}

void TMainForm::SetPButtonClick()
{
}

void TMainForm::SetIButtonClick()
{
}

void TMainForm::SetDButtonClick()
{
}

void TMainForm::SetPIDGainButtonClick()
{
}

void TMainForm::SetExpectedPeaksButtonClick()
{
}

void TMainForm::SetPointButtonClick()
{
}

void TMainForm::CTFTemp10ButtonClick()
{
}

void TMainForm::CFTTemp40ButtonClick()
{
}

void TMainForm::CFTOffsetButtonClick()
{
}

void TMainForm::ModulationButtonClick()
{
}

void TMainForm::FOffsetButtonClick()
{
}

void TMainForm::StabilizationCheckCheckBoxClick()
{
}

void TMainForm::SetupServiceChart()
{
}

void TMainForm::RefreshServiceChart()
{
}

void TMainForm::SendSetValue(QPushButton*, TCommandId, TPayload)
{
}

void TMainForm::HandleServiceSample(uint32_t)
{
}

void TMainForm::HandlePhaseValue(uint32_t)
{
}

void TMainForm::HandleDelayValue(uint32_t)
{
}

void TMainForm::HandlePathGainValue(uint32_t)
{
}

void TMainForm::HandleCFTValue(uint32_t)
{
}

void TMainForm::HandlePValue(uint32_t)
{
}

void TMainForm::HandleIValue(uint32_t)
{
}

void TMainForm::HandleDValue(uint32_t)
{
}

void TMainForm::HandlePIDGainValue(uint32_t)
{
}

void TMainForm::HandleSetPointValue(uint32_t)
{
}

void TMainForm::HandleCFTTemp10Value(uint32_t)
{
}

void TMainForm::HandleCFTTemp40Value(uint32_t)
{
}

void TMainForm::HandleCFTOffsetValue(uint32_t)
{
}

void TMainForm::HandleCFTRawValue(uint32_t)
{
}

void TMainForm::HandleModulationValue(uint32_t)
{
}

