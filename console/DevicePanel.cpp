// Placeholder: the bodies of this concern are written separately.
#include "console/MainUnit.h"

void TMainForm::SearchUrzadzenButtonClick()
{
}

void TMainForm::ConnectButtonClick()
{
}

void TMainForm::DisconnectButtonClick()
{
}

void TMainForm::ConnectionTimerTimer()
{
}

void TMainForm::HandleLinkLost()
{
}

