// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/LockSupervisor.h"

#include "console/model/PeakFacts.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

constexpr int WarningPriority = 4;
constexpr int NoticePriority = 5;
constexpr int InfoPriority = 6;

constexpr uint32_t LockedStatus = 3;
constexpr uint32_t TuningErrorStatus = 10;

// The controller is tuning on its own: start, lock try, prepare, wait, phase.
bool IsBusyStatus(uint32_t code)
{
    switch (code) {
    case 1:
    case 2:
    case 7:
    case 11:
    case 12:
    case 13:
        return true;
    default:
        return false;
    }
}

QString Seconds(qint64 msec)
{
    return QString::number(static_cast<double>(msec) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

} // namespace

const QString TLockSupervisor::RelockFailedText = QStringLiteral("lock lost - relock failed");
const QString TLockSupervisor::RelockStormText = QStringLiteral("lock lost - relock storm");

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

void TLockSupervisor::SetKeepLocked(bool on)
{
    if (on == FKeepLocked)
        return;
    FKeepLocked = on;
    if (on) {
        // The losses before it was switched on are no storm of its making.
        FLosses.clear();
    } else if (Abandon()) {
        Write("relock-abandoned", QStringLiteral("relock abandoned: keep locked switched off"), {},
              InfoPriority);
    }
    Write("keep-locked", on ? QStringLiteral("keep locked on") : QStringLiteral("keep locked off"),
          {{"VARNEL_KEEP_LOCKED", on ? "1" : "0"}}, InfoPriority);
    emit KeepLockedChanged(on);
    UpdateState();
    ArmTimer();
}

void TLockSupervisor::LinkUp(const QString& device)
{
    if (FLinkUp)
        LinkDown();
    if (device != FDevice) {
        FPeakId = 0;
        FLosses.clear();
    }
    FLinkUp = true;
    FDevice = device;
    FStatus = 0;
    FStatusSeen = false;
    UpdateState();
    ArmTimer();
}

void TLockSupervisor::LinkDown()
{
    if (FRelocking)
        Write("relock-abandoned", QStringLiteral("relock abandoned: the link is down"), {},
              NoticePriority);
    Abandon();
    FLinkUp = false;
    FArmed = false;
    FOperatorTuning = false;
    FLostSince.reset();
    FBusySince.reset();
    FStatusSeen = false;
    UpdateState();
    ArmTimer();
}

void TLockSupervisor::Status(uint32_t code)
{
    if (!FLinkUp)
        return;
    const qint64 now = FClock();
    FStatus = code;
    FStatusSeen = true;
    if (code == LockedStatus) {
        FLostSince.reset();
        FBusySince.reset();
        if (FRelocking || !FAlarmText.isEmpty()) {
            // Which peak it locked on decides; the lock report says.
            FAwaitingPeak = true;
        } else {
            if (!FArmed)
                FPeakId = 0; // a new lock: its report names the peak
            FArmed = true;
            if (FOperatorTuning) {
                FOperatorTuning = false;
                emit OperatorLocked();
            }
        }
    } else {
        FAwaitingPeak = false;
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
            else if (FOperatorTuningBusySeen || code == TuningErrorStatus)
                FOperatorTuning = false;
        }
        // The controller gave up the search it was asked for.
        if (FRelocking && FAttemptDeadline && code == TuningErrorStatus)
            AttemptFailed(now, QStringLiteral("tuning error"));
    }
    CheckTime();
}

void TLockSupervisor::LockReported(int peakId)
{
    if (!FLinkUp || FStatus != LockedStatus)
        return;
    const qint64 now = FClock();
    if (FAwaitingPeak) {
        FAwaitingPeak = false;
        if (FRelocking) {
            if (peakId == FPeakId) {
                const qint64 took = now - FLossAt;
                Write("relocked",
                      QStringLiteral("relocked at peak ") + PeakName(FPeakId) +
                          QStringLiteral(" after ") + Seconds(took),
                      {{"VARNEL_PEAK_ID", QByteArray::number(FPeakId)},
                       {"VARNEL_ATTEMPT", QByteArray::number(FAttempt)},
                       {"VARNEL_RELOCK_MSEC", QByteArray::number(took)}},
                      InfoPriority);
                FRelocking = false;
                FAttempt = 0;
                FAttemptDeadline.reset();
                FNextAttemptAt.reset();
                FArmed = true;
                emit Relocked(took);
            } else if (FAttemptDeadline) {
                AttemptFailed(now, QStringLiteral("locked at peak ") + PeakName(peakId) +
                                       QStringLiteral(" instead of ") + PeakName(FPeakId));
            }
            // A lock on another peak between attempts is retargeted by the next.
        } else if (!FAlarmText.isEmpty() && IsPeakId(peakId) && peakId == FPeakId) {
            // Back on its peak after all: the alarm has nothing left to say.
            FAlarmText.clear();
            FArmed = true;
            emit AlarmCleared();
        }
    } else if (FArmed) {
        FPeakId = IsPeakId(peakId) ? peakId : 0;
    }
    UpdateState();
    ArmTimer();
}

void TLockSupervisor::OperatorAction(TOperatorAction action)
{
    const bool relocking = FRelocking;
    const bool lossPending = FLostSince.has_value();
    Abandon();
    if (relocking)
        Write("relock-abandoned", QStringLiteral("relock abandoned for the operator's command"), {},
              InfoPriority);
    FLostSince.reset();
    switch (action) {
    case _oa_peak_button:
    case _oa_start:
    case _oa_lock:
        FArmed = false;
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
    ArmTimer();
}

void TLockSupervisor::CheckTime()
{
    const qint64 now = FClock();
    if (FArmed && FLostSince && FStatus != LockedStatus) {
        const bool waited = now - *FLostSince >= FSettings.LossConfirmMsec;
        const bool busyTooLong = FBusySince && now - *FBusySince >= FSettings.BusyWaitMsec;
        if (waited && (!Busy() || busyTooLong))
            ConfirmLoss(now);
    }
    if (FRelocking && FAttemptDeadline && now >= *FAttemptDeadline)
        AttemptFailed(now, QStringLiteral("no lock within ") + Seconds(FSettings.LockWaitMsec));
    if (FRelocking && FNextAttemptAt && now >= *FNextAttemptAt)
        SendAttempt(now);
    UpdateState();
    ArmTimer();
}

std::optional<qint64> TLockSupervisor::NextDeadline() const
{
    std::optional<qint64> next;
    const auto consider = [&next](qint64 t) { next = next ? std::min(*next, t) : t; };
    if (FArmed && FLostSince && FStatus != LockedStatus) {
        qint64 due = *FLostSince + FSettings.LossConfirmMsec;
        if (Busy() && FBusySince)
            due = std::max(due, *FBusySince + FSettings.BusyWaitMsec);
        consider(due);
    }
    if (FRelocking && FAttemptDeadline)
        consider(*FAttemptDeadline);
    if (FRelocking && FNextAttemptAt)
        consider(*FNextAttemptAt);
    return next;
}

void TLockSupervisor::ConfirmLoss(qint64 now)
{
    FArmed = false;
    FLossAt = *FLostSince;
    FLostSince.reset();
    FLosses.push_back(FLossAt);
    while (!FLosses.empty() && FLosses.front() <= FLossAt - FSettings.StormWindowMsec)
        FLosses.pop_front();
    Write("lock-lost",
          QStringLiteral("lock lost at peak ") + PeakName(FPeakId) + QStringLiteral(", status ") +
              QString::number(FStatus),
          {{"VARNEL_PEAK_ID", QByteArray::number(FPeakId)},
           {"VARNEL_STATUS", QByteArray::number(FStatus)}},
          WarningPriority);
    emit LossConfirmed();
    if (!FKeepLocked || !FLinkUp)
        return;
    if (FPeakId == 0) {
        RaiseAlarm(RelockFailedText, "relock-failed", QStringLiteral("the lock named no peak"));
        return;
    }
    if (static_cast<int>(FLosses.size()) > FSettings.StormLosses) {
        RaiseAlarm(RelockStormText, "relock-storm",
                   QString::number(FLosses.size()) + QStringLiteral(" losses within ") +
                       QString::number(FSettings.StormWindowMsec / 60000) + QStringLiteral(" min"));
        return;
    }
    FRelocking = true;
    FAttempt = 0;
    SendAttempt(now);
}

void TLockSupervisor::SendAttempt(qint64 now)
{
    FNextAttemptAt.reset();
    if (!FLinkUp || !FRelocking)
        return;
    ++FAttempt;
    FAttemptDeadline = now + FSettings.LockWaitMsec;
    FAwaitingPeak = false;
    Write("relock-attempt",
          QStringLiteral("relock attempt %1 of %2 at peak ")
                  .arg(FAttempt)
                  .arg(FSettings.MaxAttempts) +
              PeakName(FPeakId),
          {{"VARNEL_PEAK_ID", QByteArray::number(FPeakId)},
           {"VARNEL_ATTEMPT", QByteArray::number(FAttempt)}},
          InfoPriority);
    emit SendTuningTarget(FPeakId);
}

void TLockSupervisor::AttemptFailed(qint64 now, const QString& why)
{
    FAttemptDeadline.reset();
    FAwaitingPeak = false;
    const int attempt = FAttempt;
    Write("relock-attempt-failed", QStringLiteral("relock attempt %1 failed: ").arg(attempt) + why,
          {{"VARNEL_PEAK_ID", QByteArray::number(FPeakId)},
           {"VARNEL_ATTEMPT", QByteArray::number(attempt)}},
          NoticePriority);
    emit RelockAttemptFailed(attempt);
    if (attempt >= FSettings.MaxAttempts) {
        RaiseAlarm(RelockFailedText, "relock-failed",
                   QString::number(attempt) + QStringLiteral(" attempts failed"));
        return;
    }
    const size_t step =
        std::min<size_t>(static_cast<size_t>(attempt - 1), FSettings.BackoffMsec.size() - 1);
    FNextAttemptAt = now + FSettings.BackoffMsec[step];
}

void TLockSupervisor::RaiseAlarm(const QString& text, const char* event, const QString& why)
{
    FRelocking = false;
    FAttemptDeadline.reset();
    FNextAttemptAt.reset();
    FAlarmText = text;
    Write(event, text + QStringLiteral(" (") + why + QStringLiteral(")"),
          {{"VARNEL_PEAK_ID", QByteArray::number(FPeakId)},
           {"VARNEL_ATTEMPT", QByteArray::number(FAttempt)}},
          WarningPriority);
    UpdateState();
    emit AlarmRaised(text);
}

bool TLockSupervisor::Abandon()
{
    const bool any = FRelocking || !FAlarmText.isEmpty();
    FRelocking = false;
    FAttempt = 0;
    FAttemptDeadline.reset();
    FNextAttemptAt.reset();
    FAwaitingPeak = false;
    if (!FAlarmText.isEmpty()) {
        FAlarmText.clear();
        emit AlarmCleared();
    }
    return any;
}

void TLockSupervisor::UpdateState()
{
    TLockState state = _ls_unlocked;
    if (!FAlarmText.isEmpty())
        state = _ls_failed;
    else if (FRelocking)
        state = _ls_relocking;
    else if (!FLinkUp)
        state = _ls_unlocked;
    else if (FArmed)
        state = _ls_locked;
    else if (FOperatorTuning || (FStatusSeen && Busy()))
        state = _ls_acquiring;
    if (state == FState)
        return;
    FState = state;
    emit LockStateChanged(state);
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
    if (!FDevice.isEmpty())
        record.emplace_back("VARNEL_DEVICE", FDevice.toUtf8());
    for (auto& field : fields) {
        // The letter goes with the id, as in the lock history's records.
        if (field.first == "VARNEL_PEAK_ID" && IsPeakId(FPeakId))
            record.emplace_back("VARNEL_PEAK", QString(PeakLetter(FPeakId)).toUtf8());
        record.push_back(std::move(field));
    }
    FSink->Write(record);
}
