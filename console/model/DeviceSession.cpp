// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeviceSession.h"

#include "ConsoleLog.h"
#include "LockHistory.h"

#include "protocol/MainThreadCallList.h"

#include <algorithm>
#include <vector>

namespace {

const QString SearchingText = QStringLiteral("Searching...");
const QString ConnectionErrorText = QStringLiteral("Connection error");

// The problem the panel explains: a missing permission before a bridge held
// by another program.
TBridgeProblem FirstProblem(const std::vector<TBridgeProblem>& problems)
{
    const auto denied = std::find_if(problems.begin(), problems.end(),
                                     [](const auto& p) { return p.Kind == _bp_no_access; });
    return denied != problems.end() ? *denied : problems.front();
}

// Whether two problems read the same to the operator: a missing permission
// reads the same wherever the bridge is plugged in.
bool SameReason(const TBridgeProblem& a, const TBridgeProblem& b)
{
    return a.Kind == b.Kind && (a.Kind == _bp_no_access || a.Where == b.Where);
}

QString ProblemLogLine(const TBridgeProblem& problem)
{
    const QString where = QString::fromStdString(problem.Where);
    if (problem.Kind == _bp_no_access)
        return QStringLiteral("No permission to open the USB bridge %1: install the udev rule "
                              "/usr/lib/udev/rules.d/60-varnel.rules, run \"sudo udevadm control "
                              "--reload-rules && sudo udevadm trigger\" and plug the bridge in "
                              "again")
            .arg(where);
    return QStringLiteral("USB bridge %1 is in use by another program").arg(where);
}

} // namespace

TDeviceSession::TDeviceSession(TVarnelMessageHandlers& handlers, TLockHistory& history,
                               TDeviceSessionTimings timings, QObject* parent)
    : QObject(parent), FHandlers(handlers), FHistory(history), FTimings(timings),
      FConnection(std::make_unique<TConnection>())
{
    FAutoConnectStepTimer.setSingleShot(true);
    FAutoConnectStepTimer.setTimerType(Qt::PreciseTimer);
    connect(&FAutoConnectStepTimer, &QTimer::timeout, this, &TDeviceSession::AutoConnectStep);
    // The bridge counts its line errors on its own thread; the facts take
    // them in at every tick.
    FLineErrorsTimer.setInterval(FTimings.LineErrorsInterval);
    connect(&FLineErrorsTimer, &QTimer::timeout, this, &TDeviceSession::TakeLineErrors);
    FLineErrorsTimer.start();
}

TDeviceSession::~TDeviceSession()
{
    Close();
}

void TDeviceSession::Close()
{
    if (FClosed)
        return;
    FClosed = true;
    FAutoConnectStepTimer.stop();
    FLineErrorsTimer.stop();
    // A search still asking the bus ends within its bridges' time-outs; its
    // result, posted to this session, is dropped with it.
    if (FSearchThread.joinable())
        FSearchThread.join();
    StopReader();
    FConnection->Disconnect();
    FHistory.Disconnected();
}

void TDeviceSession::SetStatus(const QString& text)
{
    FStatusText = text;
    FStatusProblem.reset();
    ++FStatusChanges;
    emit StatusChanged();
}

void TDeviceSession::SetProblem(const TBridgeProblem& problem)
{
    FStatusText.clear();
    FStatusProblem = problem;
    ++FStatusChanges;
    emit StatusChanged();
}

bool TDeviceSession::ShowProblems()
{
    const std::vector<TBridgeProblem>& problems = FConnection->Problems();
    if (problems.empty())
        return false;
    const TBridgeProblem problem = FirstProblem(problems);
    // The automatic connect searches and connects every second: a reason
    // goes to the log when it is new, not at every attempt.
    if (!FShownProblem || !SameReason(*FShownProblem, problem))
        qCWarning(VarnelConsoleLog).noquote() << ProblemLogLine(problem);
    FShownProblem = problem;
    SetProblem(problem);
    return true;
}

void TDeviceSession::SetSearching(bool searching)
{
    if (FSearching == searching)
        return;
    FSearching = searching;
    emit SearchingChanged(searching);
}

void TDeviceSession::Search()
{
    if (FClosed)
        return;
    if (FSearching) {
        FSearchAgain = true;
        return;
    }
    // A bridge found busy at the last connect looks fine to a search.
    FProblemShownBeforeSearch =
        FShownProblem && FStatusProblem && SameReason(*FShownProblem, *FStatusProblem);
    // The automatic connect's searches, every second, leave the status as
    // it is until their result is in.
    if (!FAutoConnectAfterSearch)
        SetStatus(SearchingText);
    FStatusChangesAtSearchStart = FStatusChanges;
    StartSearch();
}

void TDeviceSession::StartSearch()
{
    if (FSearchThread.joinable())
        FSearchThread.join();
    SetSearching(true);
    FSearchAgain = false;
    if (!FTimings.SearchOnOwnThread) {
        SearchFinished(FConnection->DeviceSearch()());
        return;
    }
    FSearchThread = std::thread([this, search = FConnection->DeviceSearch()] {
        const TDeviceSearchResult result = search();
        QMetaObject::invokeMethod(
            this, [this, result] { SearchFinished(result); }, Qt::QueuedConnection);
    });
}

void TDeviceSession::SearchFinished(const TDeviceSearchResult& result)
{
    if (FClosed)
        return;
    if (FSearchAgain) {
        StartSearch();
        return;
    }
    QStringList devices;
    FConnection->TakeSearchResult(result, devices);
    FDevices = devices;
    SetSearching(false);
    emit DevicesChanged(FDevices);
    // A connect made while the search ran has said what it had to say.
    if (FStatusChanges == FStatusChangesAtSearchStart && !ShowProblems()) {
        if (FProblemShownBeforeSearch && !FDevices.isEmpty() && FShownProblem)
            SetProblem(*FShownProblem);
        else
            SetStatus(QStringLiteral("Search completed"));
    }
    if (FAutoConnectAfterSearch) {
        FAutoConnectAfterSearch = false;
        FAutoConnectStep = 0;
        FAutoConnectStepTimer.start(FTimings.AutoConnectPause);
    }
}

bool TDeviceSession::Connect(const QString& device)
{
    if (FClosed)
        return false;
    emit ConnectStarting();
    if (device.isEmpty()) {
        SetStatus(QStringLiteral("Select device"));
        return false;
    }
    FConnection->SetDeviceID(device);
    const bool wasConnected = FConnection->Connected();
    // The reader must be gone before the link it reads is closed for another
    // device, and before a new reader reads the same one.
    StopReader();
    if (FConnection->Connect()) {
        SetStatus(QStringLiteral("Connected"));
        FShownProblem.reset();
        // What the link opened, which is what the record names.
        const TOpenedDevice& opened = FConnection->OpenedDevice();
        const QString serial = opened.SerialNumber.isEmpty()
                                   ? QString()
                                   : QStringLiteral("(serial number %1)").arg(opened.SerialNumber);
        if (FConnection->KeptOpenLink()) {
            // Connect on the controller already open: the link never went
            // away, and neither did anything known of the controller.
            qCInfo(VarnelConsoleLog).noquote()
                << "Still connected to" << opened.Description << serial;
        } else {
            qCInfo(VarnelConsoleLog).noquote() << "Connected to" << opened.Description << serial;
            FHistory.Connected(opened.Description, opened.SerialNumber);
        }
        SetReader(std::make_unique<TReadVarnelFrameThread>(*FConnection, FHandlers));
        for (TCommandId id : AfterConnectSequence)
            Send(id, EmptyPayload());
        emit Opened();
        return true;
    }
    if (wasConnected && !FConnection->Connected()) {
        // The link held before is closed and the chosen one did not open.
        qCInfo(VarnelConsoleLog).noquote()
            << QStringLiteral("Could not connect to %1; the link held before is closed")
                   .arg(device);
        FHistory.Disconnected();
        SetStatus(ConnectionErrorText);
        emit LinkClosed();
        ShowProblems();
        return false;
    }
    qCInfo(VarnelConsoleLog).noquote() << "Could not connect to" << device;
    emit ConnectFailed();
    if (!ShowProblems())
        SetStatus(ConnectionErrorText);
    return false;
}

void TDeviceSession::Disconnect()
{
    if (FClosed)
        return;
    FDevices.clear();
    if (FConnection->Connected()) {
        StopReader();
        FConnection->Disconnect();
        FHistory.Disconnected();
        qCInfo(VarnelConsoleLog) << "Disconnected";
    }
    // Only now: the reader's last messages have run and cannot repaint what
    // the views reset on this signal.
    emit Disconnected();
    SetStatus(QStringLiteral("Disconnected"));
}

void TDeviceSession::AutoConnectTick()
{
    if (FClosed || Connected() || FAutoConnectStepTimer.isActive() || FSearching)
        return;
    FAutoConnectAfterSearch = true;
    Search();
}

void TDeviceSession::AutoConnectStep()
{
    if (FClosed)
        return;
    const int step = FAutoConnectStep++;
    if (step == 0) {
        // The operator may have connected or disconnected during the pause.
        if (FDevices.size() != 1 || Connected())
            return;
        Connect(FDevices.front());
    } else {
        // Sent whether or not the connect worked; a closed link drops them.
        Send(TCommandId::TuningEnable, FlagPayload());
        if (step == 2)
            return;
    }
    FAutoConnectStepTimer.start(FTimings.TuningEnablePause);
}

void TDeviceSession::HandleLinkLost()
{
    // The reader has failed every poll for a while. A link that is gone must
    // not look alive: close it, show it, and leave the automatic connect to
    // open it again once the controller is back.
    if (FClosed || FStoppingReader || !Connected())
        return;
    StopReader();
    FConnection->Disconnect();
    qCWarning(VarnelConsoleLog).noquote()
        << "Link to" << FConnection->DeviceID().fullName() << "lost; the connection is closed";
    FHistory.LinkLost();
    SetStatus(ConnectionErrorText);
    emit LinkClosed();
}

void TDeviceSession::Send(TCommandId id, TPayload payload)
{
    if (FSender)
        FSender(id, payload);
    else
        Transmit(id, payload);
}

void TDeviceSession::Transmit(TCommandId id, TPayload payload)
{
    SendCommand(*FConnection, id, payload);
}

TLineErrors TDeviceSession::LineErrors() const
{
    return FConnection->LineErrors();
}

void TDeviceSession::TakeLineErrors()
{
    if (!Connected())
        return;
    const TLineErrors errors = LineErrors();
    FHistory.LineErrors(errors.Overrun, errors.Parity, errors.Framing, errors.Break);
}

void TDeviceSession::SetReader(std::unique_ptr<TReadVarnelFrameThread> reader)
{
    FReader = std::move(reader);
}

void TDeviceSession::StopReader()
{
    FStoppingReader = true;
    StopFrameReader(FReader);
    // The messages the reader delivered in its last pass run now, before the
    // caller resets or replaces what they show.
    TMainThreadCallList::Instance().RunPending();
    FStoppingReader = false;
}
