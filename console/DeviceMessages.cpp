// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::HandleDeviceStatus(uint32_t, uint32_t)
{
}

void TMainForm::HandleTuningMirrorPosition(uint32_t)
{
}

void TMainForm::HandleStabilizationMirrorPosition(uint32_t)
{
}

void TMainForm::HandleDeviceEvent(uint32_t, uint32_t)
{
}

void TMainForm::HandleCFTTemperature(uint32_t)
{
}

void TMainForm::HandlePeakId(uint32_t)
{
}

void TMainForm::HandleExpectedPeaksValue(uint32_t)
{
}

void TMainForm::HandleFOffsetValue(uint32_t)
{
}

void TMainForm::HandleLifetimeHigh(uint32_t)
{
}

void TMainForm::HandleLifetimeLow(uint32_t)
{
}

void TMainForm::HandleCRCError()
{
}

