// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/ConsoleSession.h"

#include "console/model/ControllerState.h"
#include "console/model/DataLog.h"
#include "console/model/LockSupervision.h"
#include "console/model/MetricsText.h"
#include "protocol/ServiceParameters.h"

TConsoleSession::TConsoleSession(TConsoleSessionSettings settings, QObject* parent)
    : QObject(parent), FSettings(std::move(settings))
{
    // The reader delivers to the state; the state keeps the facts store.
    FState = new TControllerState(FSettings.ChartRefreshMsec, this);
    LockHistory().SetJournalSink(FSettings.Journal);
    FDataLog = new TDataLog(FSettings.LogFlushMsec, this);
    // Supervision follows the lock from the start and sends nothing until
    // "keep locked" is switched on.
    FSupervision = new TLockSupervision(LockHistory(), this);
    FSupervision->SetJournalSink(FSettings.Journal);
    FDevice = std::make_unique<TDeviceSession>(*FState, LockHistory(), FSettings.Device);
    // The device session's own commands (after a connect, the automatic
    // connect's enables) take the same way out.
    FDevice->SetSender([this](TCommandId id, TPayload payload) {
        Issue(_or_connect, {{id, payload}});
    });
    Wire();
}

TConsoleSession::~TConsoleSession()
{
    Close();
}

TLockHistory& TConsoleSession::LockHistory() const
{
    return FState->LockHistory();
}

const TConsoleFacts& TConsoleSession::Facts() const
{
    return LockHistory().Facts();
}

void TConsoleSession::Wire()
{
    // The reader's notice that the link stopped answering closes it.
    connect(FState, &TControllerState::LinkLost, FDevice.get(), &TDeviceSession::HandleLinkLost);
    connect(FDevice.get(), &TDeviceSession::ConnectStarting, this,
            [this] { FState->ResetConnectionFacts(); });

    // One scope sample: the data log's line, the lock health's error
    // signal, the console's counter (the trace took it before the signal).
    connect(FState, &TControllerState::ScopeSample, this, [this](double value) {
        ++FScopeSamples;
        FDataLog->Write(value);
        FSupervision->ScopeSample(static_cast<uint32_t>(static_cast<int32_t>(value)));
    });
    connect(FDataLog, &TDataLog::Stopped, this, [this] { ++FDataLogFailures; });
    connect(FDataLog, &TDataLog::ClosedLogFailed, this, [this] { ++FDataLogFailures; });

    // Supervision follows what the controller says, the lock report's peak
    // right after the lock.
    connect(FState, &TControllerState::StatusChanged, this, [this](uint32_t code) {
        FSupervision->Status(code);
        if (code == 3)
            FSupervision->LockReported(FState->PeakId());
    });
    connect(FState, &TControllerState::StabilizationMirrorChanged, this,
            [this](uint32_t position) { FSupervision->StabilizationMirror(position); });
    // ... and the link.
    connect(FDevice.get(), &TDeviceSession::Opened, this, [this] {
        emit Opened();
        FSupervision->LinkUp(Facts().Device, Facts().DeviceSerialNumber);
        // The same controller says nothing of a lock that held while the
        // link was away: what it said last is shown again.
        FState->RepeatStatus();
    });
    connect(FDevice.get(), &TDeviceSession::LinkClosed, this, [this] {
        emit LinkClosed();
        FSupervision->LinkDown();
    });
    connect(FDevice.get(), &TDeviceSession::Disconnected, this, [this] {
        emit Disconnected();
        FSupervision->LinkDown();
    });

    // The supervisor's relock: the peak button's command, its own.
    connect(FSupervision, &TLockSupervision::SendTuningTarget, this, [this](int peakId) {
        Issue(_or_supervisor, {{TCommandId::TuningTarget, OneBytePayload(peakId)}});
    });
    connect(FSupervision, &TLockSupervision::AlarmChanged, this, [this](const QString& text) {
        emit AlarmChanged(text);
        // Over: the status beneath it shows again.
        if (text.isEmpty())
            FState->RepeatStatus();
    });
}

void TConsoleSession::Issue(TOrigin origin, std::initializer_list<TCommand> commands,
                            std::optional<TOperatorAction> action, int targetPeakId,
                            std::optional<TStartKind> started)
{
    // The supervisor asks only while a link is open; its relock is not the
    // operator's and is recorded by the supervisor itself.
    if (origin == _or_supervisor && !Connected())
        return;
    if (origin == _or_operator && action)
        FSupervision->OperatorAction(*action, targetPeakId);
    for (const TCommand& command : commands)
        FDevice->Transmit(command.Id, command.Payload);
    if (origin != _or_operator)
        return;
    if (started)
        LockHistory().StartSent(*started, targetPeakId);
    else if (action == _oa_lock)
        LockHistory().LockSent();
}

void TConsoleSession::AddCounters(TMetricsSnapshot& snapshot) const
{
    snapshot.ScopeSamples = FScopeSamples;
    snapshot.DataLogWriteFailures = FDataLogFailures;
    snapshot.LinkLosses = LockHistory().LinkLosses();
}

void TConsoleSession::Search()
{
    FDevice->Search();
}

bool TConsoleSession::Connect(const QString& device)
{
    return FDevice->Connect(device);
}

void TConsoleSession::Disconnect()
{
    FDevice->Disconnect();
}

void TConsoleSession::AutoConnectTick()
{
    FDevice->AutoConnectTick();
}

void TConsoleSession::Start(TStartMode mode, int targetPeakId)
{
    if (mode == _sm_automatic)
        Issue(_or_operator,
              {{TCommandId::TuningStart, FlagPayload()},
               {TCommandId::TuningEnable, FlagPayload()},
               {TCommandId::TuningTarget, OneBytePayload(targetPeakId)}},
              _oa_start, targetPeakId, _sk_automatic);
    else
        Issue(_or_operator,
              {{TCommandId::TuningStart, FlagPayload()},
               {TCommandId::TuningEnable, FlagPayload()},
               {TCommandId::TuningHalfAutomatic, FlagPayload()}},
              _oa_start, 0, _sk_half_automatic);
}

void TConsoleSession::Lock()
{
    Issue(_or_operator, {{TCommandId::TuningLock, EmptyPayload()}}, _oa_lock);
}

void TConsoleSession::SelectPeak(int peakId)
{
    Issue(_or_operator, {{TCommandId::TuningTarget, OneBytePayload(peakId)}}, _oa_peak_button,
          peakId, _sk_peak_button);
}

void TConsoleSession::SetParameter(const TServiceParameter& row, int32_t value, int32_t flag)
{
    if (!row.Write)
        return;
    Issue(_or_operator, {{*row.Write, ParameterPayload(row, value + flag)}}, _oa_set);
}

void TConsoleSession::SetExpectedPeaks(uint32_t mask)
{
    Issue(_or_operator,
          {{TCommandId::WriteExpectedPeaks, Word16Payload(static_cast<int32_t>(mask))}}, _oa_set);
}

void TConsoleSession::ReadExpectedPeaks()
{
    Issue(_or_operator, {{TCommandId::ReadExpectedPeaks, EmptyPayload()}});
}

void TConsoleSession::ReadParameters()
{
    for (TCommandId id : ReadParamsSequence)
        Issue(_or_operator, {{id, EmptyPayload()}});
}

void TConsoleSession::SetScopeScale(int scaleIndex)
{
    Issue(_or_operator, {{TCommandId::WriteScopeScale, OneBytePayload(scaleIndex + 1)}}, _oa_set);
}

void TConsoleSession::SetHarmonic(int harmonicIndex)
{
    Issue(_or_operator, {{TCommandId::WriteHarmonic, OneBytePayload(harmonicIndex)}}, _oa_set);
}

void TConsoleSession::SetKeepLocked(bool on)
{
    FSupervision->SetKeepLocked(on);
}

bool TConsoleSession::KeepLocked() const
{
    return FSupervision->KeepLocked();
}

void TConsoleSession::SetServiceOpen(bool open)
{
    FSupervision->SetPaused(open);
}

void TConsoleSession::StartLog(const QString& fileName, const QList<double>& backlog)
{
    FDataLog->Open(fileName, backlog);
}

void TConsoleSession::StopLog()
{
    FDataLog->Close();
}

bool TConsoleSession::IsLogging() const
{
    return FDataLog->IsLogging();
}

void TConsoleSession::Close()
{
    if (FClosed)
        return;
    FClosed = true;
    // The search ends, the reader stops, the messages it delivered in its
    // last pass run, and the link closes; then the log.
    FDevice->Close();
    FDataLog->Close();
}
