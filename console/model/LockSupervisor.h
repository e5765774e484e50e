// SPDX-License-Identifier: GPL-3.0-or-later
// The lock supervisor: notices that the controller lost its lock, confirms
// the loss, and asks the controller to lock again on the peak that was
// chosen, a few times and with pauses between, before it gives up and raises
// the alarm.
//
// Off by default: until "keep locked" is switched on it only follows the lock
// (its state, the losses it confirms) and never asks for anything to be sent.
// It sends nothing itself either: it asks its owner, with SendTuningTarget,
// to send what the simple menu's peak button sends (the tuning target with
// the peak id), and the owner sends that command alone: the send is the
// supervisor's, not the operator's, and must not come back as an
// OperatorAction (that would abandon the relock it is part of).
//
// The peak it keeps is the one the operator chose: the target of the peak
// button or of an automatic Start, or, after a half-automatic Start or Lock
// (or when the console finds the laser locked with no choice made), the peak
// of the lock that follows. A lock on another peak is no lock on that one.
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
    _ls_locked,    // locked on the chosen peak; a loss not yet confirmed still counts as locked
    _ls_relocking, // a confirmed loss, relock attempts under way
    _ls_failed     // an alarm is up: the relock failed, a relock storm, or a controller not ready
};

// "unlocked", "acquiring", "locked", "relocking" or "failed".
QString LockStateName(TLockState state);

// Names the controller in a journal record: VARNEL_DEVICE (the description)
// and VARNEL_DEVICE_SERIAL (the serial number, when there is one) right after
// VARNEL_EVENT, in place of any the record had.
void PutControllerFields(TJournalRecord& record, const TControllerIdentity& controller);

// What the operator did that makes the console send something.
enum TOperatorAction
{
    _oa_peak_button, // a peak button of the simple menu, with its peak
    _oa_start,       // Start, in either mode (the automatic one with its target peak)
    _oa_lock,        // Lock, in half-automatic mode
    _oa_set,         // a Set of the main page or the service panel
    _oa_disconnect   // Disconnect
};

struct TLockSupervisorSettings
{
    // A loss is confirmed when no lock status came for this long after the
    // lock, while the controller is not busy with a tuning of its own ...
    qint64 LossConfirmMsec = 3000;
    // ... and while it is, once it has been busy for this long. A controller
    // that says it is not ready (or a status the console does not know) is
    // waited for as long, and then the alarm goes up: nothing is sent to it.
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
    // A storm raises its alarm and the relock of the loss that made it
    // waits a pause: StormPauseMsec at the first storm, twice the last pause
    // at each storm after it, at most StormPauseMaxMsec. The losses are then
    // counted afresh. A lock on the chosen peak that holds StormEndMsec ends
    // the storms and the alarm.
    qint64 StormPauseMsec = 600000;
    qint64 StormPauseMaxMsec = 3600000;
    qint64 StormEndMsec = 600000;
};

class TLockSupervisor : public QObject
{
    Q_OBJECT

public:
    static const QString RelockFailedText; // "lock lost - relock failed"
    static const QString RelockStormText;  // "lock lost - relock storm"
    static const QString NotReadyText;     // "lock lost - controller not ready"

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
    // Paused (the service panel is open: a loss is the service staff's):
    // nothing is confirmed or sent, a relock under way is abandoned; once
    // resumed, a lock on the chosen peak that stands is watched again.
    void SetPaused(bool paused);
    bool Paused() const { return FPaused; }
    // The link to a controller is up; the controller as its bridge names
    // itself. The same controller again keeps what is known of it (its lock,
    // the chosen peak, the losses, an alarm) until it reports otherwise;
    // another controller starts from nothing.
    void LinkUp(const QString& description, const QString& serialNumber = QString());
    // The link is down: nothing is sent while it is, a relock under way and
    // a loss not yet confirmed are abandoned; a lock that stood is kept for
    // the same controller's return, and an alarm stays up.
    void LinkDown();
    // The controller's status code, as it arrives.
    void Status(uint32_t code);
    // The peak id the lock report used; called right after Status(StatusCode::Locked).
    void LockReported(int peakId);
    // The operator's command as it is sent; the tuning target's peak id with
    // a peak button (0: none given).
    void OperatorAction(TOperatorAction action, int targetPeakId = 0);

    // ---- outputs
    TLockState LockState() const { return FState; }
    // The alarm text while an alarm is up, else empty.
    const QString& AlarmText() const { return FAlarmText; }
    // What the supervision has to say beside the keep-locked box ("paused
    // while the service panel is open", "controller not ready", a lock on
    // another peak, a storm's pause), or empty.
    const QString& Notice() const { return FNotice; }
    // The peak to keep, as chosen; 0 for none yet.
    int RememberedPeakId() const { return FChosenPeakId; }
    // Attempts made for the current loss.
    int Attempt() const { return FAttempt; }
    // The controller linked (or last linked).
    const TControllerIdentity& Controller() const { return FController; }
    // The controller's last status, as far as known (kept across a reconnect
    // to the same controller); none before the first.
    std::optional<uint32_t> KnownStatus() const;

    // Acts on what is due at the clock's time; the timer calls it.
    void CheckTime();
    // When CheckTime has something to do next, on the clock's time.
    std::optional<qint64> NextDeadline() const;

signals:
    void LockStateChanged(TLockState state);
    void KeepLockedChanged(bool on);
    void NoticeChanged(const QString& notice);
    // Send the tuning target with this peak id, as the peak button does.
    void SendTuningTarget(int peakId);
    // The alarm: RelockFailedText, RelockStormText or NotReadyText.
    void AlarmRaised(const QString& text);
    void AlarmCleared();
    // A lock reached after the operator's Start, Lock or peak button.
    void OperatorLocked();
    // A loss confirmed (whether or not keep locked is on).
    void LossConfirmed();
    // Locked again on the chosen peak; the time since the lock was lost.
    void Relocked(qint64 msecSinceLoss);
    // An attempt that ended without the lock on the chosen peak.
    void RelockAttemptFailed(int attempt);

private:
    enum TAlarm
    {
        _al_none,
        _al_failed,
        _al_storm,
        _al_not_ready
    };

    bool Busy() const;
    bool NotReady() const;
    // The controller reports a lock and it is on the chosen peak.
    bool LockedOnChosen() const;
    void ConfirmLoss(qint64 now);
    void SendAttempt(qint64 now);
    void AttemptFailed(qint64 now, const QString& why);
    void RaiseAlarm(TAlarm alarm, const char* event, const QString& why);
    void ClearAlarm();
    // Ends a relock under way; says whether there was one.
    bool StopRelock();
    void EndStorm();
    void UpdateState();
    void UpdateNotice();
    void ArmTimer();
    void Write(const char* event, const QString& message, TJournalRecord fields, int priority);
    QString PeakName(int peakId) const;

    TLockSupervisorSettings FSettings;
    TMonotonicClock FClock;
    std::shared_ptr<TJournalSink> FSink;
    QTimer* FTimer = nullptr;

    bool FKeepLocked = false;
    bool FPaused = false;
    bool FLinkUp = false;
    bool FHadLink = false;
    TControllerIdentity FController;
    uint32_t FStatus = 0;
    bool FStatusSeen = false;

    // The peak to keep; 0 while none is chosen (the next lock's report names it).
    int FChosenPeakId = 0;
    // The current lock (status 3) is reported on another peak than the chosen.
    bool FOffPeak = false;
    int FOffPeakId = 0;
    // A lock on the chosen peak is watched: the status was 3 on it, and no
    // loss was confirmed since.
    bool FArmed = false;
    // A lock status armed the watch; its report is still to name the peak.
    bool FNewLock = false;
    // The operator asked for a tuning that has not locked yet.
    bool FOperatorTuning = false;
    bool FOperatorTuningBusySeen = false;
    // While watched, when the lock on the chosen peak was lost, and when the
    // controller became busy or not ready.
    std::optional<qint64> FLostSince;
    std::optional<qint64> FBusySince;
    std::optional<qint64> FNotReadySince;
    bool FNotReadyWritten = false;
    // The loss a status 3 ended before its report named the peak.
    std::optional<qint64> FLossBeforeLock;

    // The relock of a confirmed loss.
    bool FRelocking = false;
    int FAttempt = 0;
    qint64 FLossAt = 0;
    std::optional<qint64> FAttemptDeadline;
    std::optional<qint64> FNextAttemptAt;
    // A lock status came while relocking or with the alarm up; its peak decides.
    bool FAwaitingPeak = false;

    // When the recent losses began, oldest first.
    std::deque<qint64> FLosses;
    // The storms since the last lock that held (0: none), the last pause,
    // and since when the lock on the chosen peak holds.
    int FStorms = 0;
    qint64 FStormPause = 0;
    std::optional<qint64> FLockHoldsSince;

    TAlarm FAlarm = _al_none;
    QString FAlarmText;
    QString FNotice;
    TLockState FState = _ls_unlocked;
};
