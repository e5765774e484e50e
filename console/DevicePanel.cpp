// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/DevicePanel.h"

#include "ui_MainForm.h"

#include "console/model/ConsoleSession.h"
#include "console/model/DeviceSession.h"

#include <QStringList>

namespace {

// A headline, then what to do in smaller print, within the status label.
QString ProblemLabelText(const QString& headline, const QStringList& lines)
{
    return QStringLiteral("<span style=\"font-size:12pt\">%1</span><br><span "
                          "style=\"font-size:8pt; font-weight:normal\">%2</span>")
        .arg(headline, lines.join(QStringLiteral("<br>")));
}

QString ProblemText(const TBridgeProblem& problem)
{
    if (problem.Kind == _bp_no_access)
        return ProblemLabelText(
            QStringLiteral("No permission to open the USB bridge"),
            {QStringLiteral(
                 "Install /usr/lib/udev/rules.d/60-varnel.rules (the package does), run"),
             QStringLiteral("<tt>sudo udevadm control --reload-rules &amp;&amp; sudo udevadm "
                            "trigger</tt>"),
             QStringLiteral("then unplug the bridge and plug it in again.")});
    return ProblemLabelText(QStringLiteral("USB bridge in use"),
                            {QStringLiteral("Another program holds the bridge (%1).")
                                 .arg(QString::fromStdString(problem.Where).toHtmlEscaped()),
                             QStringLiteral("Close that program, then connect again.")});
}

} // namespace

TDevicePanel::TDevicePanel(Ui::TMainForm& form, TConsoleSession& consoleSession, QObject* parent)
    : QObject(parent), FSession(consoleSession), FDevice(consoleSession.Device()),
      FDeviceList(form.DeviceListListBox), FStatusLabel(form.StatusLabel),
      FConnectButton(form.ConnectButton), FDisconnectButton(form.DisconnectButton)
{
    FConnectButton->setEnabled(false);
    FDisconnectButton->setEnabled(false);
    connect(form.SearchUrzadzenButton, &QPushButton::clicked, this,
            &TDevicePanel::SearchUrzadzenButtonClick);
    connect(FConnectButton, &QPushButton::clicked, this, &TDevicePanel::ConnectButtonClick);
    connect(FDisconnectButton, &QPushButton::clicked, this, &TDevicePanel::DisconnectButtonClick);

    const TDeviceSession& session = FDevice;

    connect(&session, &TDeviceSession::StatusChanged, this, &TDevicePanel::ShowStatus);
    connect(&session, &TDeviceSession::DevicesChanged, this, &TDevicePanel::ShowDevices);
    connect(&session, &TDeviceSession::Opened, this, [this] {
        FConnectButton->setEnabled(false);
        FDisconnectButton->setEnabled(true);
    });
    connect(&session, &TDeviceSession::ConnectFailed, this,
            [this] { FConnectButton->setEnabled(true); });
    connect(&session, &TDeviceSession::LinkClosed, this, &TDevicePanel::ShowLinkClosed);
    // Disconnect empties the list and leaves Connect as it was.
    connect(&session, &TDeviceSession::Disconnected, this, [this] {
        FDeviceList->clear();
        FDisconnectButton->setEnabled(false);
    });
}

void TDevicePanel::SearchUrzadzenButtonClick()
{
    FSession.Search();
}

void TDevicePanel::ConnectButtonClick()
{
    const QList<QListWidgetItem*> selected = FDeviceList->selectedItems();
    if (selected.isEmpty()) {
        FSession.Connect(QString());
        return;
    }
    FConnectButton->setEnabled(false);
    FSession.Connect(selected.first()->text());
}

void TDevicePanel::DisconnectButtonClick()
{
    FSession.Disconnect();
}

void TDevicePanel::ConnectionTimerTimer()
{
    FSession.AutoConnectTick();
}

void TDevicePanel::ShowStatus()
{
    if (const auto& problem = FDevice.StatusProblem()) {
        FStatusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
        FStatusLabel->setText(ProblemText(*problem));
        return;
    }
    FStatusLabel->setText(FDevice.StatusText());
}

void TDevicePanel::ShowDevices()
{
    const QStringList& devices = FDevice.Devices();
    FDeviceList->clear();
    FDeviceList->addItems(devices);
    if (!devices.isEmpty())
        FDeviceList->setCurrentRow(0);
    FConnectButton->setEnabled(!devices.isEmpty());
}

void TDevicePanel::ShowLinkClosed()
{
    FConnectButton->setEnabled(!FDeviceList->selectedItems().isEmpty());
    FDisconnectButton->setEnabled(false);
}
