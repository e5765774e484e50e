// SPDX-License-Identifier: GPL-3.0-or-later
// The main page's peak list with its reference peak, Start and Lock, and the
// lock report shown: the peak the controller locked on selected in the list
// and named in the peak label.
#pragma once

#include "protocol/SendFrameUnit.h"

#include <QObject>

#include <functional>

namespace Ui {
class TMainForm;
}
class TControllerState;
class TConsoleSession;

class TPeakPanel : public QObject
{
    Q_OBJECT

public:
    TPeakPanel(Ui::TMainForm& ui, TConsoleSession& session, QObject* parent = nullptr);

    // The controls' actions, as a click runs them.
    void PeakListBoxClick();
    void StartButtonClick();
    void LockButtonClick();

    // The list's rows as the peak table has them.
    void FillPeakListBox();

private:
    void SetupPeakListBox();
    // Shows the lock report the state made.
    void ShowLockReport();

    Ui::TMainForm& FUi;
    TControllerState& FState;
    TConsoleSession& FSession;
};
