// SPDX-License-Identifier: GPL-3.0-or-later
// The device panel: search, connect, disconnect, the connection timer of the
// simple menu, and what the console does when the link dies under it.
#include "console/MainUnit.h"

#include "console/GlobalUnit.h"
#include "console/model/ConsoleLog.h"
#include "console/model/LockHistory.h"
#include "protocol/MainThreadCallList.h"

#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace {

const QString SearchingText = QStringLiteral("Searching...");

// A headline, then what to do in smaller print, within the status label.
QString ProblemLabelText(const QString& headline, const QStringList& lines)
{
    return QStringLiteral("<span style=\"font-size:12pt\">%1</span><br><span "
                          "style=\"font-size:8pt; font-weight:normal\">%2</span>")
        .arg(headline, lines.join(QStringLiteral("<br>")));
}

// What the device panel says of the first problem, a missing permission
// before a bridge held by another program; and the line for the log.
void DescribeProblems(const std::vector<TDeviceProblem>& problems, QString& label, QString& log)
{
    const auto denied = std::find_if(problems.begin(), problems.end(), [](const TDeviceProblem& p) {
        return p.Kind == _dp_no_access;
    });
    const TDeviceProblem& problem = denied != problems.end() ? *denied : problems.front();
    if (problem.Kind == _dp_no_access) {
        label = ProblemLabelText(
            QStringLiteral("No permission to open the USB bridge"),
            {QStringLiteral(
                 "Install /usr/lib/udev/rules.d/60-varnel.rules (the package does), run"),
             QStringLiteral("<tt>sudo udevadm control --reload-rules &amp;&amp; sudo udevadm "
                            "trigger</tt>"),
             QStringLiteral("then unplug the bridge and plug it in again.")});
        log = QStringLiteral("No permission to open the USB bridge %1: install the udev rule "
                             "/usr/lib/udev/rules.d/60-varnel.rules, run \"sudo udevadm control "
                             "--reload-rules && sudo udevadm trigger\" and plug the bridge in "
                             "again")
                  .arg(problem.Where);
    } else {
        label = ProblemLabelText(QStringLiteral("USB bridge in use"),
                                 {QStringLiteral("Another program holds the bridge (%1).")
                                      .arg(problem.Where.toHtmlEscaped()),
                                  QStringLiteral("Close that program, then connect again.")});
        log = QStringLiteral("USB bridge %1 is in use by another program").arg(problem.Where);
    }
}

} // namespace

bool TMainForm::ShowDeviceProblems()
{
    const std::vector<TDeviceProblem>& problems = Connection->Problems();
    if (problems.empty())
        return false;
    QString label, log;
    DescribeProblems(problems, label, log);
    StatusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    StatusLabel->setText(label);
    // The simple menu searches and connects every second: a reason goes to
    // the log when it is new, not at every attempt.
    if (label != FShownProblem)
        qCWarning(VarnelConsoleLog).noquote() << log;
    FShownProblem = label;
    return true;
}

// The search asks every bridge on the bus for its strings, which a bridge
// that does not answer can hold up for seconds: it runs on a thread of its
// own and its result comes back to the main thread as a queued call. A click
// while a search runs does not start a second one beside it; the running one
// is followed by one more, whose result is the one shown.
void TMainForm::SearchUrzadzenButtonClick()
{
    if (FDestroyed || !Connection)
        return;
    if (FSearchRunning) {
        FSearchAgain = true;
        return;
    }
    // A bridge found busy at the last connect looks fine to a search.
    FProblemShownBeforeSearch = !FShownProblem.isEmpty() && StatusLabel->text() == FShownProblem;
    // The simple menu's searches, every second, leave the label as it is
    // until their result is in.
    if (!FAutoConnectAfterSearch)
        StatusLabel->setText(SearchingText);
    FLabelAtSearchStart = StatusLabel->text();
    StartSearch();
}

void TMainForm::StartSearch()
{
    if (FSearchThread.joinable())
        FSearchThread.join();
    FSearchRunning = true;
    FSearchAgain = false;
    if (!FEnvironment.SearchOnOwnThread) {
        SearchFinished(Connection->DeviceSearch()());
        return;
    }
    FSearchThread = std::thread([this, search = Connection->DeviceSearch()] {
        const TDeviceSearchResult result = search();
        QMetaObject::invokeMethod(
            this, [this, result] { SearchFinished(result); }, Qt::QueuedConnection);
    });
}

void TMainForm::SearchFinished(const TDeviceSearchResult& result)
{
    if (FDestroyed || !Connection)
        return;
    if (FSearchAgain) {
        StartSearch();
        return;
    }
    FSearchRunning = false;
    QStringList devices;
    Connection->TakeSearchResult(result, devices);
    DeviceListListBox->clear();
    DeviceListListBox->addItems(devices);
    if (!devices.isEmpty()) {
        DeviceListListBox->setCurrentRow(0);
        ConnectButton->setEnabled(true);
    } else {
        ConnectButton->setEnabled(false);
    }
    // A connect made while the search ran has said what it had to say.
    if (StatusLabel->text() == FLabelAtSearchStart && !ShowDeviceProblems())
        StatusLabel->setText(FProblemShownBeforeSearch && !devices.isEmpty()
                                 ? FShownProblem
                                 : QStringLiteral("Search completed"));
    if (FAutoConnectAfterSearch) {
        FAutoConnectAfterSearch = false;
        FAutoConnectStep = 0;
        FAutoConnectStepTimer->start(FEnvironment.Timings.AutoConnectPause);
    }
}

void TMainForm::ConnectButtonClick()
{
    FState->ResetConnectionFacts();
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
        FShownProblem.clear();
        // What the link opened, which is what the record names.
        const TOpenedDevice& opened = Connection->OpenedDevice();
        qCInfo(VarnelConsoleLog).noquote()
            << "Connected to" << opened.Description
            << (opened.SerialNumber.isEmpty()
                    ? QString()
                    : QStringLiteral("(serial number %1)").arg(opened.SerialNumber));
        FLockHistory->Connected(opened.Description, opened.SerialNumber);
        FrameReader = std::make_unique<TReadVarnelFrameThread>(*Connection, *FState);
        SendReadRequests(*Connection, AfterConnectSequence);
        DisconnectButton->setEnabled(true);
        ResetDisplays();
        ScopeScaleComboBox->setEnabled(true);
    } else if (wasConnected && !Connection->Connected()) {
        // The link held before is closed and the chosen one did not open.
        qCInfo(VarnelConsoleLog).noquote()
            << QStringLiteral("Could not connect to %1; the link held before is closed")
                   .arg(selected.first()->text());
        FLockHistory->Disconnected();
        ResetDisplays();
        ShowLinkLost();
        ShowDeviceProblems();
    } else {
        qCInfo(VarnelConsoleLog).noquote() << "Could not connect to" << selected.first()->text();
        ConnectButton->setEnabled(true);
        StartButton->setEnabled(false);
        if (!ShowDeviceProblems())
            StatusLabel->setText(QStringLiteral("Connection error"));
    }
}

TLineErrors TMainForm::LineErrors() const
{
    return Connection ? Connection->LineErrors() : TLineErrors{};
}

void TMainForm::TakeLineErrors()
{
    if (!Connection || !Connection->Connected())
        return;
    const TLineErrors errors = LineErrors();
    FLockHistory->LineErrors(errors.Overrun, errors.Parity, errors.Framing, errors.Break);
}

void TMainForm::DisconnectButtonClick()
{
    DeviceListListBox->clear();
    if (Connection->Connected()) {
        StopReader();
        Connection->Disconnect();
        FLockHistory->Disconnected();
        qCInfo(VarnelConsoleLog) << "Disconnected";
    }
    // Only now: the reader's last messages have run and cannot repaint
    // what is reset here. A device that failed to close keeps Start enabled.
    ResetDisplays();
    StatusLabel->setText(QStringLiteral("Disconnected"));
    DisconnectButton->setEnabled(false);
}

// The tick starts a search; once its result is in, the connect and the two
// tuning enables follow after their pauses on FAutoConnectStepTimer, so the
// window stays responsive.
void TMainForm::ConnectionTimerTimer()
{
    if (!Connection || Connection->Connected() || FAutoConnectStepTimer->isActive() ||
        FSearchRunning)
        return;
    FAutoConnectAfterSearch = true;
    SearchUrzadzenButtonClick();
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
    qCWarning(VarnelConsoleLog).noquote()
        << "Link to" << Connection->DeviceID().fullName() << "lost; the connection is closed";
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
