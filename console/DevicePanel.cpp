// The device panel: search, connect, disconnect, the connection timer of the
// simple menu, and what the console does when the link dies under it.
#include "console/MainUnit.h"

#include "console/GlobalUnit.h"

#include <QStringList>
#include <QThread>
#include <QTimer>

namespace {

const QString SearchingText = QStringLiteral("Searching...");

} // namespace

void TMainForm::SearchUrzadzenButtonClick()
{
    if (StatusLabel->text() == SearchingText)
        return;
    StatusLabel->setText(SearchingText);
    QStringList devices;
    Connection->GetAvailableDevices(devices);
    DeviceListListBox->clear();
    DeviceListListBox->addItems(devices);
    if (!devices.isEmpty()) {
        DeviceListListBox->setCurrentRow(0);
        ConnectButton->setEnabled(true);
    } else {
        ConnectButton->setEnabled(false);
    }
    StatusLabel->setText(QStringLiteral("Search completed"));
}

void TMainForm::ConnectButtonClick()
{
    CRCErrorCounter = 0;
    const QList<QListWidgetItem*> selected = DeviceListListBox->selectedItems();
    if (selected.isEmpty()) {
        StatusLabel->setText(QStringLiteral("Select device"));
        return;
    }
    Connection->SetDeviceID(selected.first()->text());
    ConnectButton->setEnabled(false);
    if (Connection->Connect()) {
        StatusLabel->setText(QStringLiteral("Connected"));
        // The old reader must be gone before a new one reads the same device.
        StopReader();
        FrameReader = std::make_unique<TReadVarnelFrameThread>(*Connection, *this);
        SendReadRequests(*Connection, AfterConnectSequence);
        DisconnectButton->setEnabled(true);
        ResetDisplays();
        ScopeScaleComboBox->setEnabled(true);
    } else {
        ConnectButton->setEnabled(true);
        StartButton->setEnabled(false);
        StatusLabel->setText(QStringLiteral("Connection error"));
    }
}

void TMainForm::DisconnectButtonClick()
{
    DeviceListListBox->clear();
    ResetDisplays();
    if (Connection->Connected()) {
        StopReader();
        if (Connection->Disconnect())
            StartButton->setEnabled(false);
    }
    StatusLabel->setText(QStringLiteral("Disconnected"));
    DisconnectButton->setEnabled(false);
}

void TMainForm::ConnectionTimerTimer()
{
    if (!Connection || Connection->Connected())
        return;
    SearchUrzadzenButtonClick();
    QThread::msleep(100);
    if (DeviceListListBox->count() != 1)
        return;
    ConnectButtonClick();
    // Sent whether or not the connect worked; a closed link drops them.
    QThread::msleep(50);
    Send(TCommandId::TuningEnable, FlagPayload());
    QThread::msleep(50);
    Send(TCommandId::TuningEnable, FlagPayload());
}

void TMainForm::StopReader()
{
    FStoppingReader = true;
    StopFrameReader(FrameReader);
    FStoppingReader = false;
}

void TMainForm::HandleLinkLost()
{
    // The reader has failed every poll for a while. A link that is gone must
    // not look alive: close it, show it, and leave the simple menu's timer to
    // connect again once the controller is back.
    if (FDestroyed || FStoppingReader || !Connection || !Connection->Connected())
        return;
    StopReader();
    Connection->Disconnect();
    ResetDisplays();
    ShowLinkLost();
}

void TMainForm::ShowLinkLost()
{
    const QString text = QStringLiteral("Connection error");
    StatusLabel->setText(text);
    ConnectButton->setEnabled(!DeviceListListBox->selectedItems().isEmpty());
    DisconnectButton->setEnabled(false);

    // The simple menu: nothing of the last status or lock is left standing.
    BlinkTimer->stop();
    SimpleStatusPanel->setText(text);
    SetSimpleStatusPanelColor(palette().color(QPalette::Button));
    SimpleFPeakPngSpeedButton->setChecked(false);
    SimpleJPeakPngSpeedButton->setChecked(false);
    SimpleFPeakPngSpeedButton->setEnabled(false);
    SimpleJPeakPngSpeedButton->setEnabled(false);
}
