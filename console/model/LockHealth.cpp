// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/LockHealth.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr uint32_t LockedStatus = 3;
constexpr int WarningPriority = 4;
constexpr int InfoPriority = 6;

QString DurationText(qint64 msec)
{
    const qint64 seconds = msec / 1000;
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" s");
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QString::number(minutes) + QStringLiteral(" min");
    return QString::number(minutes / 60) + QStringLiteral(" h ") + QString::number(minutes % 60) +
           QStringLiteral(" min");
}

} // namespace

TLockHealth::TLockHealth(QObject* parent)
    : QObject(parent), FClock([] { return QDeadlineTimer::current().deadline(); }),
      FTimer(new QTimer(this))
{
    FTimer->setSingleShot(true);
    connect(FTimer, &QTimer::timeout, this, &TLockHealth::CheckTime);
}

TLockHealth::~TLockHealth() = default;

void TLockHealth::SetClock(TMonotonicClock clock)
{
    FClock = std::move(clock);
    ArmTimer();
}

void TLockHealth::SetJournalSink(std::shared_ptr<TJournalSink> sink)
{
    FSink = std::move(sink);
}

void TLockHealth::Follow(const TLockSupervisor* supervisor)
{
    connect(supervisor, &TLockSupervisor::LockStateChanged, this, &TLockHealth::SetLockState);
    connect(supervisor, &TLockSupervisor::OperatorLocked, this, &TLockHealth::OperatorLocked);
    connect(supervisor, &TLockSupervisor::LossConfirmed, this, &TLockHealth::LossConfirmed);
    connect(supervisor, &TLockSupervisor::Relocked, this, &TLockHealth::Relocked);
    connect(supervisor, &TLockSupervisor::RelockAttemptFailed, this,
            &TLockHealth::RelockAttemptFailed);
    SetLockState(supervisor->LockState());
}

void TLockHealth::LinkUp()
{
    if (FLinkUp)
        return;
    FLinkUp = true;
    FStatusLocked = false;
    FSpanSince = FClock();
}

void TLockHealth::LinkDown()
{
    if (!FLinkUp)
        return;
    const qint64 now = FClock();
    CloseSpan(now);
    FSpanSince.reset();
    FLinkUp = false;
    FStatusLocked = false;
    FMirror.reset();
    ClearRms();
    UpdateHeadroom(now);
}

void TLockHealth::Status(uint32_t code)
{
    if (!FLinkUp)
        return;
    const bool locked = code == LockedStatus;
    if (locked == FStatusLocked)
        return;
    const qint64 now = FClock();
    CloseSpan(now);
    FSpanSince = now;
    FStatusLocked = locked;
    ClearRms();
    UpdateHeadroom(now);
}

void TLockHealth::CloseSpan(qint64 now)
{
    if (!FSpanSince)
        return;
    if (now > *FSpanSince) {
        if (!FSpans.empty() && FSpans.back().End == *FSpanSince &&
            FSpans.back().Locked == FStatusLocked)
            FSpans.back().End = now;
        else
            FSpans.push_back({*FSpanSince, now, FStatusLocked});
    }
    Prune(now);
}

void TLockHealth::Prune(qint64 now)
{
    while (!FSpans.empty() && FSpans.front().End <= now - DayMsec)
        FSpans.pop_front();
    while (!FRelockTimes.empty() && FRelockTimes.front().first <= now - DayMsec)
        FRelockTimes.pop_front();
}

void TLockHealth::SetLockState(TLockState state)
{
    FState = state;
    if (state == _ls_locked) {
        if (!FLockedSince)
            FLockedSince = FClock();
    } else {
        FLockedSince.reset();
    }
}

void TLockHealth::OperatorLocked()
{
    ++FCounts.OperatorLocks;
    emit CountsChanged();
}

void TLockHealth::LossConfirmed()
{
    ++FCounts.Losses;
    emit CountsChanged();
}

void TLockHealth::Relocked(qint64 msecSinceLoss)
{
    const qint64 now = FClock();
    ++FCounts.Relocks;
    FLastRelockMsec = msecSinceLoss;
    FRelockTimes.emplace_back(now, msecSinceLoss);
    Prune(now);
    emit CountsChanged();
}

void TLockHealth::RelockAttemptFailed()
{
    ++FCounts.RelockFailures;
    emit CountsChanged();
}

qint64 TLockHealth::LockDurationMsec() const
{
    return FLockedSince ? FClock() - *FLockedSince : 0;
}

std::optional<double> TLockHealth::LockedFraction(qint64 windowMsec) const
{
    const qint64 now = FClock();
    const qint64 from = now - windowMsec;
    qint64 heard = 0;
    qint64 locked = 0;
    const auto add = [&](qint64 begin, qint64 end, bool isLocked) {
        const qint64 overlap = std::min(end, now) - std::max(begin, from);
        if (overlap <= 0)
            return;
        heard += overlap;
        if (isLocked)
            locked += overlap;
    };
    for (const TSpan& span : FSpans)
        add(span.Begin, span.End, span.Locked);
    if (FSpanSince)
        add(*FSpanSince, now, FStatusLocked);
    if (heard == 0)
        return std::nullopt;
    return static_cast<double>(locked) / static_cast<double>(heard);
}

std::optional<qint64> TLockHealth::SlowestRelockMsec() const
{
    const qint64 from = FClock() - DayMsec;
    std::optional<qint64> slowest;
    for (const auto& [when, took] : FRelockTimes)
        if (when > from)
            slowest = std::max(slowest.value_or(0), took);
    return slowest;
}

void TLockHealth::SetStabilizationMirrorRange(int lowest, int highest)
{
    if (highest <= lowest)
        return;
    FMirrorLowest = lowest;
    FMirrorHighest = highest;
    UpdateHeadroom(FClock());
}

void TLockHealth::StabilizationMirror(uint32_t position)
{
    if (!FLinkUp)
        return;
    FMirror = position;
    UpdateHeadroom(FClock());
}

std::optional<double> TLockHealth::StabilizationHeadroomPercent() const
{
    if (!FMirror)
        return std::nullopt;
    // A position beyond a rail (the controller reports up to 255) has no room.
    const double position = static_cast<double>(*FMirror);
    const double room =
        std::min(position - FMirrorLowest, static_cast<double>(FMirrorHighest) - position);
    return std::max(0.0, room) * 100.0 / (FMirrorHighest - FMirrorLowest);
}

void TLockHealth::UpdateHeadroom(qint64 now)
{
    const std::optional<double> headroom = StabilizationHeadroomPercent();
    const bool low = FStatusLocked && headroom && *headroom < HeadroomWarningPercent;
    const bool recovered = !FStatusLocked || !headroom || *headroom >= HeadroomClearPercent;
    if (!low)
        FHeadroomLowSince.reset();
    else if (!FHeadroomLowSince)
        FHeadroomLowSince = now;

    bool warning = FHeadroomWarning;
    if (FHeadroomWarning && recovered)
        warning = false;
    else if (!FHeadroomWarning && FHeadroomLowSince &&
             now - *FHeadroomLowSince >= HeadroomWarningMsec)
        warning = true;
    if (warning != FHeadroomWarning) {
        FHeadroomWarning = warning;
        if (FSink) {
            const QByteArray percent = QByteArray::number(headroom.value_or(0), 'f', 0);
            const QString message =
                warning ? QStringLiteral("stabilization mirror headroom %1 %: the lock is about "
                                         "to run out of range")
                              .arg(QString::fromLatin1(percent))
                        : QStringLiteral("stabilization mirror headroom warning over");
            FSink->Write(
                {{"MESSAGE", message.toUtf8()},
                 {"PRIORITY", QByteArray::number(warning ? WarningPriority : InfoPriority)},
                 {"SYSLOG_IDENTIFIER", "varnel"},
                 {"VARNEL_EVENT", warning ? "headroom-low" : "headroom-recovered"},
                 {"VARNEL_HEADROOM_PERCENT", percent}});
        }
        emit HeadroomWarningChanged(warning);
    }
    ArmTimer();
}

void TLockHealth::ScopeSample(int32_t value)
{
    if (!FStatusLocked)
        return;
    const qint64 number = FClock() / (RmsWindowMsec / RmsSlots);
    TRmsSlot& slot = FRms[static_cast<size_t>(number % RmsSlots)];
    if (slot.Number != number)
        slot = TRmsSlot{number, 0, 0, 0};
    if (!FRmsOrigin)
        FRmsOrigin = value;
    const double x = value - *FRmsOrigin;
    ++slot.Count;
    slot.Sum += x;
    slot.SumOfSquares += x * x;
}

std::optional<double> TLockHealth::ErrorSignalRms() const
{
    if (!FStatusLocked)
        return std::nullopt;
    const qint64 number = FClock() / (RmsWindowMsec / RmsSlots);
    double count = 0;
    double sum = 0;
    double squares = 0;
    for (const TRmsSlot& slot : FRms) {
        if (slot.Number < 0 || slot.Number <= number - RmsSlots || slot.Number > number)
            continue;
        count += slot.Count;
        sum += slot.Sum;
        squares += slot.SumOfSquares;
    }
    if (count == 0)
        return std::nullopt;
    const double mean = sum / count;
    return std::sqrt(std::max(0.0, squares / count - mean * mean));
}

void TLockHealth::ClearRms()
{
    FRms.fill(TRmsSlot{});
    FRmsOrigin.reset();
}

QString TLockHealth::Summary() const
{
    const QString separator = QStringLiteral(" \u00b7 ");
    QString text = FState == _ls_locked
                       ? QStringLiteral("locked ") + DurationText(LockDurationMsec())
                       : LockStateName(FState);
    if (const std::optional<double> hour = LockedFractionHour())
        text += separator + QString::number(*hour * 100.0, 'f', 1) +
                QStringLiteral(" % of the last hour");
    text += separator + QString::number(FCounts.Relocks) +
            (FCounts.Relocks == 1 ? QStringLiteral(" relock") : QStringLiteral(" relocks"));
    if (FCounts.RelockFailures > 0)
        text += QStringLiteral(" (%1 failed)").arg(FCounts.RelockFailures);
    if (const std::optional<double> headroom = StabilizationHeadroomPercent())
        text += separator + QStringLiteral("headroom ") + QString::number(std::lround(*headroom)) +
                QStringLiteral(" %");
    return text;
}

void TLockHealth::CheckTime()
{
    UpdateHeadroom(FClock());
}

std::optional<qint64> TLockHealth::NextDeadline() const
{
    if (FHeadroomLowSince && !FHeadroomWarning)
        return *FHeadroomLowSince + HeadroomWarningMsec;
    return std::nullopt;
}

void TLockHealth::ArmTimer()
{
    const std::optional<qint64> next = NextDeadline();
    if (!next) {
        FTimer->stop();
        return;
    }
    const qint64 wait = std::clamp<qint64>(*next - FClock(), 0, std::numeric_limits<int>::max());
    FTimer->start(static_cast<int>(wait));
}
