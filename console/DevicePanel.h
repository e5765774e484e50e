// SPDX-License-Identifier: GPL-3.0-or-later
// The device panel: the device list, the status label, the Search, Connect
// and Disconnect buttons. It shows the device session and turns the
// operator's clicks, and the ticks of the simple menu's connection timer,
// into the session's operations.
#pragma once

#include <QObject>

class QLabel;
class QListWidget;
class QPushButton;
class TConsoleSession;
class TDeviceSession;

namespace Ui {
class TMainForm;
}

class TDevicePanel : public QObject
{
    Q_OBJECT

public:
    // The controls are the window's; the panel and the session live as long
    // as they do.
    TDevicePanel(Ui::TMainForm& form, TConsoleSession& session, QObject* parent = nullptr);

    // ---- the operator's actions and the connection timer's tick
    void SearchUrzadzenButtonClick();
    void ConnectButtonClick();
    void DisconnectButtonClick();
    void ConnectionTimerTimer();

private:
    TConsoleSession& FSession;
    // What it shows: the session's device search and link.
    const TDeviceSession& FDevice;
    QListWidget* FDeviceList;
    QLabel* FStatusLabel;
    QPushButton* FConnectButton;
    QPushButton* FDisconnectButton;

    void ShowStatus();
    void ShowDevices();
    void ShowLinkClosed();
};
