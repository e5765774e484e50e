// The device panel: search, connect, disconnect, the connection timer of the
// simple menu, and what the console does when the link dies under it.
#include "console/MainUnit.h"

#include "console/GlobalUnit.h"
#include "console/LockHistory.h"
#include "protocol/MainThreadCallList.h"

#include <QStringList>
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
    const bool wasConnected = Connection->Connected();
    // The reader must be gone before the link it reads is closed for another
    // device, and before a new reader reads the same one.
    StopReader();
    if (Connection->Connect()) {
        StatusLabel->setText(QStringLiteral("Connected"));
        FLockHistory->Connected(selected.first()->text());
        FrameReader = std::make_unique<TReadVarnelFrameThread>(*Connection, *this);
        SendReadRequests(*Connection, AfterConnectSequence);
        DisconnectButton->setEnabled(true);
        ResetDisplays();
        ScopeScaleComboBox->setEnabled(true);
    } else if (wasConnected && !Connection->Connected()) {
        // The link held before is closed and the chosen one did not open.
        FLockHistory->Disconnected();
        ResetDisplays();
        ShowLinkLost();
    } else {
        ConnectButton->setEnabled(true);
        StartButton->setEnabled(false);
        StatusLabel->setText(QStringLiteral("Connection error"));
    }
}

void TMainForm::DisconnectButtonClick()
{
    DeviceListListBox->clear();
    if (Connection->Connected()) {
        StopReader();
        Connection->Disconnect();
        FLockHistory->Disconnected();
    }
    // Only now: the reader's last messages have run and cannot repaint
    // what is reset here. A device that failed to close keeps Start enabled.
    ResetDisplays();
    StatusLabel->setText(QStringLiteral("Disconnected"));
    DisconnectButton->setEnabled(false);
}

// The tick searches; the connect and the two tuning enables follow after
// their pauses on FAutoConnectStepTimer, so the window stays responsive.
void TMainForm::ConnectionTimerTimer()
{
    if (!Connection || Connection->Connected() || FAutoConnectStepTimer->isActive())
        return;
    SearchUrzadzenButtonClick();
    FAutoConnectStep = 0;
    FAutoConnectStepTimer->start(FEnvironment.Timings.AutoConnectPause);
}

void TMainForm::AutoConnectStepTimerTimer()
{
    if (FDestroyed || !Connection)
        return;
    const int step = FAutoConnectStep++;
    if (step == 0) {
        // The operator may have connected during the pause.
        if (DeviceListListBox->count() != 1 || Connection->Connected())
            return;
        ConnectButtonClick();
    } else {
        // Sent whether or not the connect worked; a closed link drops them.
        Send(TCommandId::TuningEnable, FlagPayload());
        if (step == 2)
            return;
    }
    FAutoConnectStepTimer->start(FEnvironment.Timings.TuningEnablePause);
}

void TMainForm::StopReader()
{
    FStoppingReader = true;
    StopFrameReader(FrameReader);
    // The messages the reader delivered in its last pass run now, before the
    // caller resets or replaces what they show.
    TMainThreadCallList::Instance().RunPending();
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
    FLockHistory->LinkLost();
    ResetDisplays();
    ShowLinkLost();
}

void TMainForm::ShowLinkLost()
{
    const QString text = QStringLiteral("Connection error");
    StatusLabel->setText(text);
    ConnectButton->setEnabled(!DeviceListListBox->selectedItems().isEmpty());
    DisconnectButton->setEnabled(false);

    // The simple menu: nothing of the last status or lock is left standing;
    // the peak buttons are as at start, and the next controller's status
    // takes them from there.
    BlinkTimer->stop();
    SimpleStatusPanel->setText(text);
    SetSimpleStatusPanelColor(palette().color(QPalette::Button));
    SimpleFPeakPngSpeedButton->setChecked(false);
    SimpleJPeakPngSpeedButton->setChecked(false);
    SimpleFPeakPngSpeedButton->setEnabled(true);
    SimpleJPeakPngSpeedButton->setEnabled(true);
}
