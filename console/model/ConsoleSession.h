// SPDX-License-Identifier: GPL-3.0-or-later
// The console's session: everything the console is and does without a
// window. It owns the device session (search, connect, the link and its
// reader), the controller's state with its facts store (TLockHistory), the
// lock supervision and the data log, and wires them to each other. What an
// operator can do is one of its methods; every command to the controller,
// the operator's and the supervisor's relocks alike, leaves through one
// private path that records it and tells the supervision who sent it. A
// window, a status bus or a metrics endpoint is a face of it: it shows the
// facts and signals and calls the methods.
#pragma once

#include "console/model/DeviceSession.h"
#include "console/model/LockHistory.h"
#include "console/model/LockSupervisor.h"
#include "protocol/SendFrameUnit.h"

#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>

class TControllerState;
class TDataLog;
class TLockSupervision;
struct TServiceParameter;
struct TMetricsSnapshot;

struct TConsoleSessionSettings
{
    TDeviceSessionTimings Device;
    // The scope trace's coalesced refresh, in milliseconds (0: as it comes).
    int ChartRefreshMsec = 0;
    // The data log's fallback flush, in milliseconds.
    int LogFlushMsec = 1000;
    // Where the facts store and the supervision write their records; none
    // writes nowhere.
    std::shared_ptr<TJournalSink> Journal;
};

// The tuning mode of Start.
enum TStartMode
{
    _sm_automatic,     // tunes to the target peak and locks on it
    _sm_half_automatic // tunes; the operator locks with Lock
};

class TConsoleSession : public QObject
{
    Q_OBJECT

public:
    explicit TConsoleSession(TConsoleSessionSettings settings = {}, QObject* parent = nullptr);
    // Ends as Close does.
    ~TConsoleSession() override;

    // ---- its parts, to show and to follow (their signals)
    TControllerState& State() const { return *FState; }
    // The facts store: connection, status, lock, readings, supervision.
    TLockHistory& LockHistory() const;
    const TConsoleFacts& Facts() const;
    TLockSupervision& Supervision() const { return *FSupervision; }
    TDeviceSession& Device() const { return *FDevice; }
    TDataLog& DataLog() const { return *FDataLog; }
    // The link's units: the one connection manager and the reader of the
    // open link (null while none runs).
    TConnection& Connection() const { return FDevice->Connection(); }
    TReadVarnelFrameThread* FrameReader() const { return FDevice->Reader(); }
    bool Connected() const { return FDevice->Connected(); }
    // The console's own counters since the session began: scope samples
    // taken, data-log failures (a stop on a failed write or create, a close
    // that failed).
    uint64_t ScopeSamples() const { return FScopeSamples; }
    uint64_t DataLogFailures() const { return FDataLogFailures; }
    // Puts the counters above and the link losses into a metrics snapshot.
    void AddCounters(TMetricsSnapshot& snapshot) const;

    // ---- what the operator does
    void Search();
    bool Connect(const QString& device);
    void Disconnect();
    // One tick of the simple menu's connection timer (the automatic connect).
    void AutoConnectTick();
    // Start in a mode; the automatic one tunes to `targetPeakId`.
    void Start(TStartMode mode, int targetPeakId = 0);
    void Lock();
    // A peak button: tune to this peak.
    void SelectPeak(int peakId);
    // A Set of a parameter row: `value` is the whole number as the row
    // scales it, `flag` the row's flag bit or 0.
    void SetParameter(const TServiceParameter& row, int32_t value, int32_t flag = 0);
    void SetExpectedPeaks(uint32_t mask);
    void ReadExpectedPeaks();
    // The service panel's Read: every parameter row marked for it.
    void ReadParameters();
    // The scope scale (1 to 5) and the harmonic (0 to 2) as the scope
    // panel's lists number them from 0.
    void SetScopeScale(int scaleIndex);
    void SetHarmonic(int harmonicIndex);
    void SetKeepLocked(bool on);
    bool KeepLocked() const;
    // Service staff at work (the service panel open): supervision pauses.
    void SetServiceOpen(bool open);
    // The data log: the samples given first (the trace on screen, oldest
    // first), then every scope sample as it comes.
    void StartLog(const QString& fileName, const QList<double>& backlog = {});
    void StopLog();
    bool IsLogging() const;

    // Stops the search and the reader, closes the link and the data log.
    void Close();

signals:
    // The link opened (also a Connect on the controller already open), closed
    // without the operator asking, or the operator's Disconnect ended: for
    // the views, before supervision takes the link up or down.
    void Opened();
    void LinkClosed();
    void Disconnected();
    // The supervision's alarm came ("lock lost - ...") or went (empty).
    void AlarmChanged(const QString& text);

private:
    // Who a command is from.
    enum TOrigin
    {
        _or_operator,
        _or_supervisor,
        _or_connect // the connect's read requests and the automatic connect's enables
    };
    struct TCommand
    {
        TCommandId Id;
        TPayload Payload;
    };
    // The one way out: tells the supervision what the operator did (before
    // the commands, so that a reply finds it told), sends the commands in
    // order and records a tuning the operator started (or a Lock) in the
    // facts store.
    void Issue(TOrigin origin, std::initializer_list<TCommand> commands,
               std::optional<TOperatorAction> action = std::nullopt, int targetPeakId = 0,
               std::optional<TStartKind> started = std::nullopt);
    void Wire();

    TConsoleSessionSettings FSettings;
    TControllerState* FState = nullptr;
    TLockSupervision* FSupervision = nullptr;
    TDataLog* FDataLog = nullptr;
    std::unique_ptr<TDeviceSession> FDevice;
    uint64_t FScopeSamples = 0;
    uint64_t FDataLogFailures = 0;
    bool FClosed = false;
};
