// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

bool TMainForm::OpenLogFile(bool)
{
    return false;
}

void TMainForm::CloseLogFile()
{
}

bool TMainForm::WriteLogLine(const QString&)
{
    return false;
}

void TMainForm::WriteToLog(double)
{
}

void TMainForm::SaveDataChartToFileCheckBoxClick()
{
}

