// SPDX-License-Identifier: GPL-3.0-or-later
// The console's session with the controller: the device search, connect and
// disconnect, the simple menu's automatic connect, the loss of the link, and
// the reader of the open link. It holds the one connection manager and the
// reader, and tells what the device panel shows (the device list, the status
// text or a problem, whether a link is open) through its signals. Qt Core
// only: it runs and is tested without a window.
#pragma once

#include "link/ConnectionUnit.h"
#include "protocol/ReadFrameUnit.h"
#include "protocol/SendFrameUnit.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class TLockHistory;

// Milliseconds, and where the search runs.
struct TDeviceSessionTimings
{
    // After the automatic connect's search, the pause before the connect.
    int AutoConnectPause = 100;
    // After that connect, the pause before each of the two tuning enables.
    int TuningEnablePause = 50;
    // How often the open bridge's line errors are taken into the facts.
    int LineErrorsInterval = 1000;
    // The search asks every bridge on the bus for its strings, which a
    // bridge that does not answer can hold up for seconds: it runs on a
    // thread of its own and its result comes back as a queued call. False
    // runs it in place: only for tests whose fake line answers at once.
    bool SearchOnOwnThread = true;
};

class TDeviceSession : public QObject
{
    Q_OBJECT

public:
    // The reader delivers the controller's messages to `handlers`; the
    // session records connects and losses in `history`. Both outlive it.
    TDeviceSession(TVarnelMessageHandlers& handlers, TLockHistory& history,
                   TDeviceSessionTimings timings = {}, QObject* parent = nullptr);
    // Ends as Close does.
    ~TDeviceSession() override;

    // The way the session's own commands go out (the read requests after a
    // connect, the automatic connect's tuning enables): through the console
    // session's one path. Without one they go straight onto the link.
    using TSender = std::function<void(TCommandId, TPayload)>;
    void SetSender(TSender sender) { FSender = std::move(sender); }

    // ---- operations
    // Searches the bus. A search asked for while one runs does not start a
    // second beside it: the running one is followed by one more, whose
    // result is the one shown.
    void Search();
    // Opens the named device of the last search; an empty name asks the
    // operator to select one. True when the link is open.
    bool Connect(const QString& device);
    void Disconnect();
    // One tick of the simple menu's connection timer: unless a link is open
    // or a search or a step runs, a search, then after its result, when it
    // found exactly one device, the connect and the two tuning enables, each
    // after its pause.
    void AutoConnectTick();
    // The reader's notice that the link stopped answering: the link is
    // closed, and the next automatic connect may open it again.
    void HandleLinkLost();
    // Stops the search and the reader, runs what the reader delivered and
    // closes the link. Nothing runs after it.
    void Close();

    // ---- facts
    bool Searching() const { return FSearching; }
    bool Connected() const { return FConnection && FConnection->Connected(); }
    // The devices the last search found, in list order.
    const QStringList& Devices() const { return FDevices; }
    // The device panel's status: a text, or, when a bridge on the bus could
    // not be used, that problem (then the text is empty).
    const QString& StatusText() const { return FStatusText; }
    const std::optional<TBridgeProblem>& StatusProblem() const { return FStatusProblem; }
    // The open bridge's serial-line errors since it was opened; none while
    // not connected.
    TLineErrors LineErrors() const;
    TConnection& Connection() const { return *FConnection; }
    // The reader of the open link, or null.
    TReadVarnelFrameThread* Reader() const { return FReader.get(); }

signals:
    // The status text or problem changed.
    void StatusChanged();
    void SearchingChanged(bool searching);
    // A search's result is in Devices.
    void DevicesChanged(const QStringList& devices);
    // A connect begins (also one without a selection).
    void ConnectStarting();
    // A link is open and the reader runs; also after a Connect on the
    // controller already open, which keeps its link (and the history keeps
    // its connection).
    void Opened();
    // A connect failed and no link was open before it.
    void ConnectFailed();
    // The link that was open is closed without the operator asking: it was
    // lost, or a connect to another device closed it and failed.
    void LinkClosed();
    // The operator's Disconnect ended (whether or not a link was open); the
    // device list is empty.
    void Disconnected();

private:
    // The console session's one path puts its commands onto the link here.
    friend class TConsoleSession;
    // Puts a command onto the open link; dropped when none is open.
    void Transmit(TCommandId id, TPayload payload);

    TVarnelMessageHandlers& FHandlers;
    TLockHistory& FHistory;
    TDeviceSessionTimings FTimings;
    std::unique_ptr<TConnection> FConnection;
    std::unique_ptr<TReadVarnelFrameThread> FReader;
    TSender FSender;
    bool FClosed = false;
    // True while a reader is being stopped: a link-loss notice that runs
    // during that wait is left to the operation that stops the reader.
    bool FStoppingReader = false;

    QStringList FDevices;
    QString FStatusText;
    std::optional<TBridgeProblem> FStatusProblem;
    // Counts status changes: a search shows its result only when nothing
    // else was shown since it started.
    uint64_t FStatusChanges = 0;
    uint64_t FStatusChangesAtSearchStart = 0;
    // The problem last shown, until a connect works.
    std::optional<TBridgeProblem> FShownProblem;
    bool FProblemShownBeforeSearch = false;

    std::thread FSearchThread;
    bool FSearching = false;
    bool FSearchAgain = false;
    // The automatic connect asked for this search: connect after it.
    bool FAutoConnectAfterSearch = false;
    QTimer FAutoConnectStepTimer;
    int FAutoConnectStep = 0;
    QTimer FLineErrorsTimer;

    void SetStatus(const QString& text);
    void SetProblem(const TBridgeProblem& problem);
    // Shows why bridges on the bus cannot be used, if any do; false when
    // none. Each new reason is logged once.
    bool ShowProblems();
    void StartSearch();
    void SearchFinished(const TDeviceSearchResult& result);
    void SetSearching(bool searching);
    void AutoConnectStep();
    // Stops the reader and runs the messages it delivered before it ended.
    void StopReader();
    void SetReader(std::unique_ptr<TReadVarnelFrameThread> reader);
    void TakeLineErrors();
    void Send(TCommandId id, TPayload payload = {});
};
