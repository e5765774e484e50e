// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/LockSupervisor.h"

#include "console/model/PeakFacts.h"
#include "protocol/Messages.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

constexpr int WarningPriority = 4;
constexpr int NoticePriority = 5;
constexpr int InfoPriority = 6;

QString Seconds(qint64 msec)
{
    return QString::number(static_cast<double>(msec) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

QString Minutes(qint64 msec)
{
    return QString::number((msec + 59999) / 60000) + QStringLiteral(" min");
}

} // namespace

void PutControllerFields(TJournalRecord& record, const TControllerIdentity& controller)
{
    std::erase_if(record, [](const auto& field) {
        return field.first == "VARNEL_DEVICE" || field.first == "VARNEL_DEVICE_SERIAL";
    });
    auto at = std::find_if(record.begin(), record.end(),
                           [](const auto& field) { return field.first == "VARNEL_EVENT"; });
    at = at == record.end() ? record.end() : at + 1;
    if (!controller.SerialNumber.isEmpty())
        at = record.insert(at, {"VARNEL_DEVICE_SERIAL", controller.SerialNumber.toUtf8()});
    if (!controller.Description.isEmpty())
        record.insert(at, {"VARNEL_DEVICE", controller.Description.toUtf8()});
}

const QString TLockSupervisor::RelockFailedText = QStringLiteral("lock lost - relock failed");
const QString TLockSupervisor::RelockStormText = QStringLiteral("lock lost - relock storm");
const QString TLockSupervisor::NotReadyText = QStringLiteral("lock lost - controller not ready");

QString LockStateName(TLockState state)
{
    switch (state) {
    case _ls_unlocked:
        return QStringLiteral("unlocked");
    case _ls_acquiring:
        return QStringLiteral("acquiring");
    case _ls_locked:
        return QStringLiteral("locked");
    case _ls_relocking:
        return QStringLiteral("relocking");
    case _ls_failed:
        return QStringLiteral("failed");
    }
    return QString();
}

TLockSupervisor::TLockSupervisor(QObject* parent)
    : QObject(parent), FClock([] { return QDeadlineTimer::current().deadline(); }),
      FTimer(new QTimer(this))
{
    FTimer->setSingleShot(true);
    connect(FTimer, &QTimer::timeout, this, &TLockSupervisor::CheckTime);
}

TLockSupervisor::~TLockSupervisor() = default;

void TLockSupervisor::SetClock(TMonotonicClock clock)
{
    FClock = std::move(clock);
    ArmTimer();
}

void TLockSupervisor::SetJournalSink(std::shared_ptr<TJournalSink> sink)
{
    FSink = std::move(sink);
}

void TLockSupervisor::SetSettings(const TLockSupervisorSettings& settings)
{
    FSettings = settings;
    ArmTimer();
}

bool TLockSupervisor::Busy() const
{
    return IsBusyStatus(FStatus);
}

bool TLockSupervisor::NotReady() const
{
    return FStatusSeen && !IsReadyStatus(FStatus);
}

bool TLockSupervisor::LockedOnChosen() const
{
    return FStatus == StatusCode::Locked && !FOffPeak;
}

std::optional<uint32_t> TLockSupervisor::KnownStatus() const
{
    return FStatusSeen ? std::optional<uint32_t>(FStatus) : std::nullopt;
}

void TLockSupervisor::SetKeepLocked(bool on)
{
    if (on == FKeepLocked)
        return;
    FKeepLocked = on;
    if (on) {
        // The losses before it was switched on are no storm of its making.
        FLosses.clear();
    } else {
        const bool relocking = StopRelock();
        const bool alarm = FAlarm != _al_none;
        EndStorm();
        ClearAlarm();
        if (relocking || alarm)
            Write("relock-abandoned", QStringLiteral("relock abandoned: keep locked switched off"),
                  {}, InfoPriority);
    }
    Write("keep-locked", on ? QStringLiteral("keep locked on") : QStringLiteral("keep locked off"),
          {{"VARNEL_KEEP_LOCKED", on ? "1" : "0"}}, InfoPriority);
    emit KeepLockedChanged(on);
    UpdateState();
    UpdateNotice();
    ArmTimer();
}

void TLockSupervisor::SetPaused(bool paused)
{
    if (paused == FPaused)
        return;
    FPaused = paused;
    if (paused) {
        if (StopRelock())
            Write("relock-abandoned",
                  QStringLiteral("relock abandoned: the service panel was opened"), {},
                  InfoPriority);
        Write("paused", QStringLiteral("lock supervision paused while the service panel is open"),
              {}, InfoPriority);
    } else {
        // A loss while the panel was open was the service staff's: only a
        // lock on the chosen peak that stands now is watched again.
        if (FArmed && (FLostSince || !LockedOnChosen() || !FLinkUp)) {
            FArmed = false;
            FLostSince.reset();
            FLossBeforeLock.reset();
        }
        Write("resumed", QStringLiteral("lock supervision resumed: the service panel was closed"),
              {}, InfoPriority);
    }
    UpdateState();
    UpdateNotice();
    ArmTimer();
}

void TLockSupervisor::LinkUp(const QString& description, const QString& serialNumber)
{
    const TControllerIdentity controller{description, serialNumber};
    const bool same = FHadLink && FController.SameController(controller);
    if (FLinkUp) {
        if (same) {
            // A Connect on the link already open: nothing changed.
            FController = controller;
            return;
        }
        LinkDown();
    }
    if (!same) {
        // Another controller: its lock, its peak and its losses are its own,
        // and an alarm about the last one says nothing of it.
        StopRelock();
        EndStorm();
        ClearAlarm();
        FChosenPeakId = 0;
        FArmed = false;
        FNewLock = false;
        FOffPeak = false;
        FOffPeakId = 0;
        FLosses.clear();
        FStatus = 0;
        FStatusSeen = false;
    }
    FHadLink = true;
    FLinkUp = true;
    FController = controller;
    UpdateState();
    UpdateNotice();
    ArmTimer();
}

void TLockSupervisor::LinkDown()
{
    if (FRelocking)
        Write("relock-abandoned", QStringLiteral("relock abandoned: the link is down"), {},
              NoticePriority);
    StopRelock();
    // A loss that had begun goes with the link: what the controller does
    // meanwhile is not seen. A lock that stood is the controller's last word.
    if (FLostSince || FOffPeak) {
        FArmed = false;
        FLostSince.reset();
        FLockHoldsSince.reset();
    }
    FLossBeforeLock.reset();
    FLinkUp = false;
    FOperatorTuning = false;
    FBusySince.reset();
    FNotReadySince.reset();
    FNotReadyWritten = false;
    UpdateState();
    UpdateNotice();
    ArmTimer();
}

void TLockSupervisor::Status(uint32_t code)
{
    if (!FLinkUp)
        return;
    const qint64 now = FClock();
    FStatus = code;
    FStatusSeen = true;
    if (!IsReadyStatus(code)) {
        if (!FNotReadySince)
            FNotReadySince = now;
    } else {
        FNotReadySince.reset();
        FNotReadyWritten = false;
    }
    if (code == StatusCode::Locked) {
        FBusySince.reset();
        FOffPeak = false;
        if (FRelocking || (!FArmed && FAlarm != _al_none)) {
            // Which peak it locked on decides; the lock report says.
            FAwaitingPeak = true;
        } else {
            if (!FArmed) {
                // A new lock: its report names the peak.
                FArmed = true;
                FNewLock = true;
            } else if (FLostSince) {
                // Back, on the chosen peak unless its report says otherwise.
                FLossBeforeLock = FLostSince;
                FLostSince.reset();
            }
            if (FOperatorTuning) {
                FOperatorTuning = false;
                emit OperatorLocked();
            }
        }
    } else {
        FAwaitingPeak = false;
        FOffPeak = false;
        FLossBeforeLock.reset();
        if (IsBusyStatus(code)) {
            if (!FBusySince)
                FBusySince = now;
        } else {
            FBusySince.reset();
        }
        if (FArmed && !FLostSince)
            FLostSince = now;
        if (FOperatorTuning) {
            if (IsBusyStatus(code))
                FOperatorTuningBusySeen = true;
            else if (FOperatorTuningBusySeen || code == StatusCode::TuningError)
                FOperatorTuning = false;
        }
        // The controller gave up the search it was asked for.
        if (FRelocking && FAttemptDeadline && code == StatusCode::TuningError)
            AttemptFailed(now, QStringLiteral("tuning error"));
    }
    CheckTime();
}

void TLockSupervisor::LockReported(int peakId)
{
    if (!FLinkUp || FStatus != StatusCode::Locked)
        return;
    const qint64 now = FClock();
    const bool onChosen = IsPeakId(peakId) && peakId == FChosenPeakId;
    FOffPeak = false;
    if (FAwaitingPeak) {
        FAwaitingPeak = false;
        if (FRelocking) {
            if (onChosen) {
                const qint64 took = now - FLossAt;
                Write("relocked",
                      QStringLiteral("relocked at peak ") + PeakName(FChosenPeakId) +
                          QStringLiteral(" after ") + Seconds(took),
                      {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
                       {"VARNEL_ATTEMPT", QByteArray::number(FAttempt)},
                       {"VARNEL_RELOCK_MSEC", QByteArray::number(took)}},
                      InfoPriority);
                FRelocking = false;
                FAttempt = 0;
                FAttemptDeadline.reset();
                FNextAttemptAt.reset();
                FArmed = true;
                FLockHoldsSince = now;
                emit Relocked(took);
            } else {
                FOffPeak = true;
                FOffPeakId = peakId;
                if (FAttemptDeadline)
                    AttemptFailed(now, QStringLiteral("locked at peak ") + PeakName(peakId) +
                                           QStringLiteral(" instead of ") +
                                           PeakName(FChosenPeakId));
            }
            // A lock on another peak between attempts is retargeted by the next.
        } else if (onChosen) {
            // Back on its peak after all.
            FArmed = true;
            FLostSince.reset();
            FLockHoldsSince = now;
            // A storm's alarm ends only with a lock that holds.
            if (FAlarm != _al_storm)
                ClearAlarm();
        } else {
            FOffPeak = true;
            FOffPeakId = peakId;
        }
    } else if (FArmed && FNewLock) {
        FNewLock = false;
        // Nobody chose a peak (a half-automatic lock, or a lock found): this
        // lock's peak is the one to keep.
        if (FChosenPeakId == 0 && IsPeakId(peakId))
            FChosenPeakId = peakId;
        if (FChosenPeakId == 0 || peakId == FChosenPeakId) {
            FLockHoldsSince = now;
        } else {
            // A lock, but not on the peak that was chosen: not the lock to keep.
            FArmed = false;
            FOffPeak = true;
            FOffPeakId = peakId;
        }
    } else if (FArmed) {
        if (FChosenPeakId == 0 && IsPeakId(peakId)) {
            FChosenPeakId = peakId;
        } else if (peakId != FChosenPeakId) {
            // The lock watched on the chosen peak went to another one: that
            // is a loss of it, confirmed and relocked as any other.
            FOffPeak = true;
            FOffPeakId = peakId;
            if (!FLostSince)
                FLostSince = FLossBeforeLock.value_or(now);
        }
        FLossBeforeLock.reset();
    } else if (!onChosen && FChosenPeakId != 0) {
        FOffPeak = true;
        FOffPeakId = peakId;
    }
    CheckTime();
}

void TLockSupervisor::OperatorAction(TOperatorAction action, int targetPeakId)
{
    const bool relocking = StopRelock();
    const bool lossPending = FLostSince.has_value();
    if (relocking)
        Write("relock-abandoned", QStringLiteral("relock abandoned for the operator's command"), {},
              InfoPriority);
    FLostSince.reset();
    FLossBeforeLock.reset();
    switch (action) {
    case _oa_peak_button:
    case _oa_start:
    case _oa_lock:
        // A new tuning: the alarm and the storm are over, and the peak is
        // the one now asked for (or, without a target, the one it locks on).
        if (FStorms > 0)
            FLosses.clear();
        EndStorm();
        ClearAlarm();
        FArmed = false;
        FNewLock = false;
        FOffPeak = false;
        FChosenPeakId = (action == _oa_peak_button || action == _oa_start) && IsPeakId(targetPeakId)
                            ? targetPeakId
                            : 0;
        FOperatorTuning = FLinkUp;
        FOperatorTuningBusySeen = false;
        break;
    case _oa_set:
        // A Set leaves a lock it finds; a lock already going is left to the
        // operator, who is here.
        if (lossPending || relocking)
            FArmed = false;
        break;
    case _oa_disconnect:
        FArmed = false;
        FOperatorTuning = false;
        break;
    }
    UpdateState();
    UpdateNotice();
    ArmTimer();
}

void TLockSupervisor::CheckTime()
{
    const qint64 now = FClock();
    if (FArmed && FLostSince && !LockedOnChosen() && FLinkUp && !FPaused) {
        if (NotReady()) {
            if (!FNotReadyWritten) {
                FNotReadyWritten = true;
                Write("not-ready",
                      QStringLiteral("the controller is not ready after the lock at peak ") +
                          PeakName(FChosenPeakId) + QStringLiteral(": waiting, nothing sent"),
                      {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
                       {"VARNEL_STATUS", QByteArray::number(FStatus)}},
                      NoticePriority);
            }
            if (FNotReadySince && now - *FNotReadySince >= FSettings.BusyWaitMsec)
                ConfirmLoss(now);
        } else {
            const bool waited = now - *FLostSince >= FSettings.LossConfirmMsec;
            const bool busyTooLong = FBusySince && now - *FBusySince >= FSettings.BusyWaitMsec;
            if (waited && (!Busy() || busyTooLong))
                ConfirmLoss(now);
        }
    }
    if (FRelocking && FAttemptDeadline && now >= *FAttemptDeadline)
        AttemptFailed(now, QStringLiteral("no lock within ") + Seconds(FSettings.LockWaitMsec));
    if (FRelocking && NotReady() && FNotReadySince &&
        now - *FNotReadySince >= FSettings.BusyWaitMsec)
        RaiseAlarm(_al_not_ready, "relock-failed",
                   QStringLiteral("the controller not ready for ") +
                       Seconds(now - *FNotReadySince));
    if (FRelocking && FNextAttemptAt && now >= *FNextAttemptAt && !NotReady())
        SendAttempt(now);
    if (FAlarm == _al_storm && FArmed && !FLostSince && LockedOnChosen() && FLockHoldsSince &&
        now - *FLockHoldsSince >= FSettings.StormEndMsec) {
        Write("relock-storm-over",
              QStringLiteral("relock storm over: locked at peak ") + PeakName(FChosenPeakId) +
                  QStringLiteral(" for ") + Minutes(now - *FLockHoldsSince),
              {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)}}, InfoPriority);
        FLosses.clear();
        EndStorm();
        ClearAlarm();
    }
    UpdateState();
    UpdateNotice();
    ArmTimer();
}

std::optional<qint64> TLockSupervisor::NextDeadline() const
{
    std::optional<qint64> next;
    const auto consider = [&next](qint64 t) { next = next ? std::min(*next, t) : t; };
    if (FArmed && FLostSince && !LockedOnChosen() && FLinkUp && !FPaused) {
        if (NotReady()) {
            if (FNotReadySince)
                consider(*FNotReadySince + FSettings.BusyWaitMsec);
        } else {
            qint64 due = *FLostSince + FSettings.LossConfirmMsec;
            if (Busy() && FBusySince)
                due = std::max(due, *FBusySince + FSettings.BusyWaitMsec);
            consider(due);
        }
    }
    if (FRelocking && FAttemptDeadline)
        consider(*FAttemptDeadline);
    if (FRelocking && NotReady()) {
        if (FNotReadySince)
            consider(*FNotReadySince + FSettings.BusyWaitMsec);
    } else if (FRelocking && FNextAttemptAt) {
        consider(*FNextAttemptAt);
    }
    if (FAlarm == _al_storm && FArmed && !FLostSince && LockedOnChosen() && FLockHoldsSince)
        consider(*FLockHoldsSince + FSettings.StormEndMsec);
    return next;
}

void TLockSupervisor::ConfirmLoss(qint64 now)
{
    FArmed = false;
    FLossAt = *FLostSince;
    FLostSince.reset();
    FLockHoldsSince.reset();
    FLosses.push_back(FLossAt);
    while (!FLosses.empty() && FLosses.front() <= FLossAt - FSettings.StormWindowMsec)
        FLosses.pop_front();
    const QString how = FOffPeak && FStatus == StatusCode::Locked
                            ? QStringLiteral(": locked at peak ") + PeakName(FOffPeakId) +
                                  QStringLiteral(" instead")
                            : QStringLiteral(", status ") + QString::number(FStatus);
    Write("lock-lost", QStringLiteral("lock lost at peak ") + PeakName(FChosenPeakId) + how,
          {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
           {"VARNEL_STATUS", QByteArray::number(FStatus)}},
          WarningPriority);
    emit LossConfirmed();
    if (!FKeepLocked || !FLinkUp)
        return;
    if (NotReady()) {
        RaiseAlarm(_al_not_ready, "relock-failed",
                   QStringLiteral("the controller not ready for ") +
                       Seconds(now - FNotReadySince.value_or(now)));
        return;
    }
    if (FChosenPeakId == 0) {
        RaiseAlarm(_al_failed, "relock-failed", QStringLiteral("the lock named no peak"));
        return;
    }
    FRelocking = true;
    FAttempt = 0;
    if (static_cast<int>(FLosses.size()) > FSettings.StormLosses) {
        // A storm: the relock waits, longer with each storm until a lock
        // holds; the losses after it are counted afresh.
        ++FStorms;
        FStormPause = FStorms == 1 ? FSettings.StormPauseMsec
                                   : std::min(FStormPause * 2, FSettings.StormPauseMaxMsec);
        FNextAttemptAt = now + FStormPause;
        const QString why = QString::number(FLosses.size()) + QStringLiteral(" losses within ") +
                            Minutes(FSettings.StormWindowMsec) +
                            QStringLiteral("; the next relock in ") + Minutes(FStormPause);
        FLosses.clear();
        if (FAlarm == _al_none)
            RaiseAlarm(_al_storm, "relock-storm", why);
        else
            Write("relock-storm",
                  RelockStormText + QStringLiteral(" (") + why + QStringLiteral(")"),
                  {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
                   {"VARNEL_STORM_PAUSE_S", QByteArray::number(FStormPause / 1000)}},
                  WarningPriority);
        return;
    }
    SendAttempt(now);
}

void TLockSupervisor::SendAttempt(qint64 now)
{
    FNextAttemptAt.reset();
    if (!FLinkUp || !FRelocking || FPaused)
        return;
    ++FAttempt;
    FAttemptDeadline = now + FSettings.LockWaitMsec;
    FAwaitingPeak = false;
    Write("relock-attempt",
          QStringLiteral("relock attempt %1 of %2 at peak ")
                  .arg(FAttempt)
                  .arg(FSettings.MaxAttempts) +
              PeakName(FChosenPeakId),
          {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
           {"VARNEL_ATTEMPT", QByteArray::number(FAttempt)}},
          InfoPriority);
    emit SendTuningTarget(FChosenPeakId);
}

void TLockSupervisor::AttemptFailed(qint64 now, const QString& why)
{
    FAttemptDeadline.reset();
    FAwaitingPeak = false;
    const int attempt = FAttempt;
    Write("relock-attempt-failed", QStringLiteral("relock attempt %1 failed: ").arg(attempt) + why,
          {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
           {"VARNEL_ATTEMPT", QByteArray::number(attempt)}},
          NoticePriority);
    emit RelockAttemptFailed(attempt);
    if (attempt >= FSettings.MaxAttempts) {
        RaiseAlarm(_al_failed, "relock-failed",
                   QString::number(attempt) + QStringLiteral(" attempts failed"));
        return;
    }
    const size_t step =
        std::min<size_t>(static_cast<size_t>(attempt - 1), FSettings.BackoffMsec.size() - 1);
    FNextAttemptAt = now + FSettings.BackoffMsec[step];
}

void TLockSupervisor::RaiseAlarm(TAlarm alarm, const char* event, const QString& why)
{
    // A storm slows the relocks down; every other alarm ends them.
    if (alarm != _al_storm) {
        FRelocking = false;
        FAttemptDeadline.reset();
        FNextAttemptAt.reset();
        EndStorm();
    }
    FAlarm = alarm;
    FAlarmText = alarm == _al_storm       ? RelockStormText
                 : alarm == _al_not_ready ? NotReadyText
                                          : RelockFailedText;
    TJournalRecord fields = {{"VARNEL_PEAK_ID", QByteArray::number(FChosenPeakId)},
                             {"VARNEL_ATTEMPT", QByteArray::number(FAttempt)}};
    if (alarm == _al_storm)
        fields.emplace_back("VARNEL_STORM_PAUSE_S", QByteArray::number(FStormPause / 1000));
    Write(event, FAlarmText + QStringLiteral(" (") + why + QStringLiteral(")"), std::move(fields),
          WarningPriority);
    UpdateState();
    emit AlarmRaised(FAlarmText);
}

void TLockSupervisor::ClearAlarm()
{
    if (FAlarm == _al_none)
        return;
    FAlarm = _al_none;
    FAlarmText.clear();
    emit AlarmCleared();
}

bool TLockSupervisor::StopRelock()
{
    const bool any = FRelocking;
    FRelocking = false;
    FAttempt = 0;
    FAttemptDeadline.reset();
    FNextAttemptAt.reset();
    FAwaitingPeak = false;
    return any;
}

void TLockSupervisor::EndStorm()
{
    FStorms = 0;
    FStormPause = 0;
}

void TLockSupervisor::UpdateState()
{
    TLockState state = _ls_unlocked;
    if (FAlarm != _al_none)
        state = _ls_failed;
    else if (FRelocking)
        state = _ls_relocking;
    else if (FArmed)
        state = _ls_locked; // also while the link is away: its last word
    else if (!FLinkUp)
        state = _ls_unlocked;
    else if (FOperatorTuning || (FStatusSeen && Busy()))
        state = _ls_acquiring;
    if (state == FState)
        return;
    FState = state;
    emit LockStateChanged(state);
}

void TLockSupervisor::UpdateNotice()
{
    QString notice;
    const bool watching = (FArmed && FLostSince) || FRelocking;
    if (FPaused)
        notice = QStringLiteral("paused while the service panel is open");
    else if (FLinkUp && watching && NotReady())
        notice = QStringLiteral("controller not ready");
    else if (FLinkUp && FOffPeak && FStatus == StatusCode::Locked && FChosenPeakId != 0)
        notice = QStringLiteral("locked at peak ") + PeakName(FOffPeakId) +
                 QStringLiteral(", not at the chosen peak ") + PeakName(FChosenPeakId);
    else if (FRelocking && FStorms > 0 && FNextAttemptAt && FAttempt == 0)
        notice = QStringLiteral("relock storm: the next relock waits ") + Minutes(FStormPause);
    if (notice == FNotice)
        return;
    FNotice = notice;
    emit NoticeChanged(notice);
}

void TLockSupervisor::ArmTimer()
{
    const std::optional<qint64> next = NextDeadline();
    if (!next) {
        FTimer->stop();
        return;
    }
    const qint64 wait = std::clamp<qint64>(*next - FClock(), 0, std::numeric_limits<int>::max());
    FTimer->start(static_cast<int>(wait));
}

QString TLockSupervisor::PeakName(int peakId) const
{
    return IsPeakId(peakId) ? QString(PeakLetter(peakId))
                            : QStringLiteral("id ") + QString::number(peakId);
}

void TLockSupervisor::Write(const char* event, const QString& message, TJournalRecord fields,
                            int priority)
{
    if (!FSink)
        return;
    TJournalRecord record = {{"MESSAGE", message.toUtf8()},
                             {"PRIORITY", QByteArray::number(priority)},
                             {"SYSLOG_IDENTIFIER", "varnel"},
                             {"VARNEL_EVENT", event}};
    PutControllerFields(record, FController);
    for (auto& field : fields) {
        // The letter goes with the id, as in the lock history's records.
        if (field.first == "VARNEL_PEAK_ID" && IsPeakId(FChosenPeakId))
            record.emplace_back("VARNEL_PEAK", QString(PeakLetter(FChosenPeakId)).toUtf8());
        record.push_back(std::move(field));
    }
    FSink->Write(record);
}
