// SPDX-License-Identifier: GPL-3.0-or-later
// The lock supervisor: notices that the controller lost its lock, confirms
// the loss, and asks the controller to lock again on the same peak, a few
// times and with pauses between, before it gives up and raises the alarm.
//
// Off by default: until "keep locked" is switched on it only follows the lock
// (its state, the losses it confirms) and never asks for anything to be sent.
// It sends nothing itself either: it asks its owner, with SendTuningTarget,
// to send what the simple menu's peak button sends (the tuning target with
// the peak id), and the owner sends that command alone: the send is the
// supervisor's, not the operator's, and must not come back as an
// OperatorAction (that would abandon the relock it is part of).
//
// Everything runs on the main thread. Its times come from the clock it is
// given; a single-shot timer wakes it at its next deadline, and tests move
// the clock by hand and call CheckTime instead.
#pragma once

#include "console/model/LockHistory.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

class QTimer;

enum TLockState
{
    _ls_unlocked,  // not locked, nothing under way
    _ls_acquiring, // the controller tunes toward a lock (the operator's or its own)
    _ls_locked,    // locked; a loss not yet confirmed still counts as locked
    _ls_relocking, // a confirmed loss, relock attempts under way
    _ls_failed     // the relock failed or a relock storm: the alarm is up
};

// "unlocked", "acquiring", "locked", "relocking" or "failed".
QString LockStateName(TLockState state);

// What the operator did that makes the console send something.
enum TOperatorAction
{
    _oa_peak_button, // a peak button of the simple menu
    _oa_start,       // Start, in either mode
    _oa_lock,        // Lock, in half-automatic mode
    _oa_set,         // a Set of the main page or the service panel
    _oa_disconnect   // Disconnect
};

struct TLockSupervisorSettings
{
    // A loss is confirmed when no lock status came for this long after the
    // lock, while the controller is not busy with a tuning of its own ...
    qint64 LossConfirmMsec = 3000;
    // ... and while it is, once it has been busy for this long.
    qint64 BusyWaitMsec = 60000;
    // How long an attempt waits for the lock to come back.
    qint64 LockWaitMsec = 60000;
    int MaxAttempts = 3;
    // The pause after the first, second, third failed attempt; the first
    // attempt goes out as soon as the loss is confirmed.
    std::array<qint64, 3> BackoffMsec = {5000, 15000, 45000};
    // More than StormLosses losses within StormWindowMsec is a relock storm.
    int StormLosses = 5;
    qint64 StormWindowMsec = 600000;
};

class TLockSupervisor : public QObject
{
    Q_OBJECT

public:
    static const QString RelockFailedText; // "lock lost - relock failed"
    static const QString RelockStormText;  // "lock lost - relock storm"

    explicit TLockSupervisor(QObject* parent = nullptr);
    ~TLockSupervisor() override;

    // A steady clock by default.
    void SetClock(TMonotonicClock clock);
    // No sink writes nothing.
    void SetJournalSink(std::shared_ptr<TJournalSink> sink);
    void SetSettings(const TLockSupervisorSettings& settings);
    const TLockSupervisorSettings& Settings() const { return FSettings; }

    // ---- inputs
    void SetKeepLocked(bool on);
    bool KeepLocked() const { return FKeepLocked; }
    // The link to a controller is up; device names the controller (its
    // bridge's serial number or description). Another controller than the
    // last one forgets its peak and its losses.
    void LinkUp(const QString& device);
    // The link is down, or the operator chose another controller than the
    // one linked: anything under way is abandoned and nothing is sent.
    void LinkDown();
    // The controller's status code, as it arrives.
    void Status(uint32_t code);
    // The peak id the lock report used; called right after Status(3).
    void LockReported(int peakId);
    void OperatorAction(TOperatorAction action);

    // ---- outputs
    TLockState LockState() const { return FState; }
    // The alarm text while the state is failed, else empty.
    const QString& AlarmText() const { return FAlarmText; }
    // The peak of the last confirmed lock; 0 for none.
    int RememberedPeakId() const { return FPeakId; }
    // Attempts made for the current loss.
    int Attempt() const { return FAttempt; }

    // Acts on what is due at the clock's time; the timer calls it.
    void CheckTime();
    // When CheckTime has something to do next, on the clock's time.
    std::optional<qint64> NextDeadline() const;

signals:
    void LockStateChanged(TLockState state);
    void KeepLockedChanged(bool on);
    // Send the tuning target with this peak id, as the peak button does.
    void SendTuningTarget(int peakId);
    // The alarm: RelockFailedText or RelockStormText.
    void AlarmRaised(const QString& text);
    void AlarmCleared();
    // A lock reached after the operator's Start, Lock or peak button.
    void OperatorLocked();
    // A loss confirmed (whether or not keep locked is on).
    void LossConfirmed();
    // Locked again on the same peak; the time since the lock was lost.
    void Relocked(qint64 msecSinceLoss);
    // An attempt that ended without the lock on the same peak.
    void RelockAttemptFailed(int attempt);

private:
    bool Busy() const;
    void ConfirmLoss(qint64 now);
    void SendAttempt(qint64 now);
    void AttemptFailed(qint64 now, const QString& why);
    void RaiseAlarm(const QString& text, const char* event, const QString& why);
    // Ends a relock under way and clears the alarm; says whether there was one.
    bool Abandon();
    void UpdateState();
    void ArmTimer();
    void Write(const char* event, const QString& message, TJournalRecord fields, int priority);
    QString PeakName(int peakId) const;

    TLockSupervisorSettings FSettings;
    TMonotonicClock FClock;
    std::shared_ptr<TJournalSink> FSink;
    QTimer* FTimer = nullptr;

    bool FKeepLocked = false;
    bool FLinkUp = false;
    QString FDevice;
    uint32_t FStatus = 0;
    bool FStatusSeen = false;

    // A lock is watched: the status was 3 and it is the lock of FPeakId.
    bool FArmed = false;
    int FPeakId = 0;
    // The operator asked for a tuning that has not locked yet.
    bool FOperatorTuning = false;
    bool FOperatorTuningBusySeen = false;
    // While watched, when the status left 3, and when it became busy.
    std::optional<qint64> FLostSince;
    std::optional<qint64> FBusySince;

    // The relock of a confirmed loss.
    bool FRelocking = false;
    int FAttempt = 0;
    qint64 FLossAt = 0;
    std::optional<qint64> FAttemptDeadline;
    std::optional<qint64> FNextAttemptAt;
    // A lock status came while relocking or failed; its peak decides.
    bool FAwaitingPeak = false;

    // When the recent losses began, oldest first.
    std::deque<qint64> FLosses;
    QString FAlarmText;
    TLockState FState = _ls_unlocked;
};
