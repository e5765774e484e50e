// SPDX-License-Identifier: GPL-3.0-or-later
// Lock supervision as the console runs it: the supervisor and the lock
// health fed from the same inputs, the operator's commands told apart from
// the supervisor's own, and what both report handed to the lock history
// (and through it to the status bus and the metrics) as it changes and once
// a second for the figures that move with time.
#pragma once

#include "console/model/LockHealth.h"
#include "console/model/LockHistory.h"
#include "console/model/LockSupervisor.h"
#include "protocol/SendFrameUnit.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QTimer;

class TLockSupervision : public QObject
{
    Q_OBJECT

public:
    static constexpr int RefreshIntervalMsec = 1000;

    // The history must outlive it.
    explicit TLockSupervision(TLockHistory& history, QObject* parent = nullptr);
    ~TLockSupervision() override;

    void SetClock(TMonotonicClock clock);
    void SetJournalSink(std::shared_ptr<TJournalSink> sink);

    TLockSupervisor& Supervisor() { return FSupervisor; }
    const TLockSupervisor& Supervisor() const { return FSupervisor; }
    const TLockHealth& Health() const { return FHealth; }

    // ---- inputs, on the main thread
    void SetKeepLocked(bool on);
    bool KeepLocked() const { return FSupervisor.KeepLocked(); }
    // While the service panel is open: the service staff's work may drop
    // the lock, and nothing is relocked (see TLockSupervisor::SetPaused).
    void SetPaused(bool paused);
    // The controller linked, as its bridge names itself.
    void LinkUp(const QString& description, const QString& serialNumber = QString());
    void LinkDown();
    void Status(uint32_t code);
    void LockReported(int peakId);
    void StabilizationMirror(uint32_t position);
    void ScopeSample(uint32_t value);
    // What the operator did, as its commands go out (never one the
    // supervisor asked for); a peak button and an automatic Start name the
    // peak chosen.
    void OperatorAction(TOperatorAction action, int targetPeakId = 0);

    // The facts as the history, the bus and the metrics show them.
    TLockSupervisionFacts Facts() const;
    // The compact line under the simple menu's status panel.
    QString Summary() const { return FHealth.Summary(); }
    // What supervision says beside the keep-locked box, or empty.
    const QString& Notice() const { return FSupervisor.Notice(); }

    // Hands the facts to the history now.
    void Refresh();
    // What is due by the clock, for a made-up clock that was moved (the
    // supervisor's and the health's own timers wake them on a real one).
    void CheckTime();

signals:
    // Send the tuning target with this peak id, as the peak button does.
    void SendTuningTarget(int peakId);
    // The alarm text ("lock lost - relock failed" / "... relock storm"), or
    // empty when it is cleared.
    void AlarmChanged(const QString& text);
    // The headroom warning came or went.
    void HeadroomWarningChanged(bool on);
    // Anything the simple menu shows of supervision changed.
    void Changed();

private:
    TLockHistory& FHistory;
    // The controller the records of lock health name; shared with the sink
    // that puts it into them.
    std::shared_ptr<TControllerIdentity> FController = std::make_shared<TControllerIdentity>();
    TLockSupervisor FSupervisor;
    TLockHealth FHealth;
    QTimer* FRefreshTimer = nullptr;
};
