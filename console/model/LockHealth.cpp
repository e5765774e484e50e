// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/LockHealth.h"

#include "protocol/Messages.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr qint64 MinuteMsec = 60000;
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

// Rounds toward minus infinity, for clocks that start below zero.
qint64 FloorDiv(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

} // namespace

TLockedTimeWindow::TLockedTimeWindow(qint64 windowMsec, qint64 bucketMsec)
    : FWindowMsec(windowMsec), FBucketMsec(bucketMsec),
      // One more than the window holds: the one its start cuts through.
      FBuckets(static_cast<std::size_t>(windowMsec / bucketMsec + 1))
{
}

void TLockedTimeWindow::Clear()
{
    std::fill(FBuckets.begin(), FBuckets.end(), TBucket{});
    FHeard = 0;
    FLocked = 0;
    FOldest.reset();
}

void TLockedTimeWindow::Drop(TBucket& bucket)
{
    if (!bucket.Used)
        return;
    FHeard -= bucket.Heard;
    FLocked -= bucket.Locked;
    bucket = TBucket{};
}

TLockedTimeWindow::TBucket& TLockedTimeWindow::BucketOf(qint64 number)
{
    const auto size = static_cast<qint64>(FBuckets.size());
    TBucket& bucket = FBuckets[static_cast<std::size_t>(((number % size) + size) % size)];
    if (!bucket.Used || bucket.Number != number) {
        Drop(bucket);
        bucket.Number = number;
        bucket.Used = true;
    }
    if (!FOldest)
        FOldest = number;
    return bucket;
}

void TLockedTimeWindow::Add(qint64 begin, qint64 end, bool locked)
{
    // What lies before the oldest bucket the ring holds would be dropped.
    begin = std::max(begin, end - static_cast<qint64>(FBuckets.size()) * FBucketMsec);
    while (begin < end) {
        const qint64 number = FloorDiv(begin, FBucketMsec);
        const qint64 until = std::min(end, (number + 1) * FBucketMsec);
        TBucket& bucket = BucketOf(number);
        bucket.Heard += until - begin;
        FHeard += until - begin;
        if (locked) {
            bucket.Locked += until - begin;
            FLocked += until - begin;
        }
        begin = until;
    }
}

// Drops the buckets wholly before the window's start.
void TLockedTimeWindow::Expire(qint64 now)
{
    if (!FOldest)
        return;
    const qint64 first = FloorDiv(now - FWindowMsec, FBucketMsec);
    const auto size = static_cast<qint64>(FBuckets.size());
    if (first - *FOldest > size) {
        // Long quiet: one pass over the ring instead of one per bucket passed.
        for (TBucket& bucket : FBuckets)
            if (bucket.Used && bucket.Number < first)
                Drop(bucket);
    } else {
        for (qint64 number = *FOldest; number < first; ++number) {
            TBucket& bucket = FBuckets[static_cast<std::size_t>(((number % size) + size) % size)];
            if (bucket.Used && bucket.Number == number)
                Drop(bucket);
        }
    }
    FOldest = std::max(*FOldest, first);
}

std::optional<double> TLockedTimeWindow::Fraction(qint64 now)
{
    Expire(now);
    double heard = static_cast<double>(FHeard);
    double locked = static_cast<double>(FLocked);
    const qint64 from = now - FWindowMsec;
    const qint64 first = FloorDiv(from, FBucketMsec);
    const auto size = static_cast<qint64>(FBuckets.size());
    const TBucket& edge = FBuckets[static_cast<std::size_t>(((first % size) + size) % size)];
    const qint64 outside = from - first * FBucketMsec;
    if (edge.Used && edge.Number == first && outside > 0) {
        const double share = static_cast<double>(outside) / static_cast<double>(FBucketMsec);
        heard -= static_cast<double>(edge.Heard) * share;
        locked -= static_cast<double>(edge.Locked) * share;
    }
    if (heard <= 0)
        return std::nullopt;
    return std::clamp(locked / heard, 0.0, 1.0);
}

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
    connect(supervisor, &TLockSupervisor::AlarmRaised, this, [this](const QString& text) {
        if (text == TLockSupervisor::RelockFailedText)
            RelockFailed();
    });
    SetLockState(supervisor->LockState());
}

void TLockHealth::LinkUp(const QString& device)
{
    if (FLinkUp) {
        if (device == FDevice)
            return;
        LinkDown();
    }
    if (FDevice && *FDevice != device)
        Restart();
    FDevice = device;
    FLinkUp = true;
    FStatusLocked = false;
    FAccountedUntil.reset();
}

void TLockHealth::LinkDown()
{
    if (!FLinkUp)
        return;
    const qint64 now = FClock();
    Account(now);
    FAccountedUntil.reset();
    FLinkUp = false;
    FStatusLocked = false;
    FMirror.reset();
    ClearRms();
    UpdateHeadroom(now);
}

// Another controller: nothing of the last one's health is its.
void TLockHealth::Restart()
{
    FHour.Clear();
    FDay.Clear();
    FAccountedUntil.reset();
    FCounts = TLockCounts{};
    FLastRelockMsec.reset();
    FRelockTimes.clear();
    FMirror.reset();
    FHeadroomLowSince.reset();
    ClearRms();
    UpdateHeadroom(FClock());
    emit CountsChanged();
}

void TLockHealth::Status(uint32_t code)
{
    if (!FLinkUp)
        return;
    const bool locked = code == StatusCode::Locked;
    // The controller is heard from its first status on.
    const bool heard = FAccountedUntil.has_value();
    if (heard && locked == FStatusLocked)
        return;
    const qint64 now = FClock();
    if (heard)
        Account(now);
    else
        FAccountedUntil = now;
    if (locked == FStatusLocked)
        return;
    FStatusLocked = locked;
    ClearRms();
    UpdateHeadroom(now);
}

void TLockHealth::Account(qint64 now) const
{
    if (!FAccountedUntil || now <= *FAccountedUntil)
        return;
    FHour.Add(*FAccountedUntil, now, FStatusLocked);
    FDay.Add(*FAccountedUntil, now, FStatusLocked);
    FAccountedUntil = now;
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
    // Entries no slower than this one can never be the slowest again.
    while (!FRelockTimes.empty() && FRelockTimes.back().Msec <= msecSinceLoss)
        FRelockTimes.pop_back();
    const qint64 minute = FloorDiv(now, MinuteMsec);
    if (!FRelockTimes.empty() && FRelockTimes.back().Minute == minute)
        FRelockTimes.back().When = now; // the slower one of this minute stays as long
    else
        FRelockTimes.push_back({minute, now, msecSinceLoss});
    PruneRelocks(now);
    emit CountsChanged();
}

void TLockHealth::RelockAttemptFailed()
{
    ++FCounts.RelockAttemptsFailed;
    emit CountsChanged();
}

void TLockHealth::RelockFailed()
{
    ++FCounts.RelockFailures;
    emit CountsChanged();
}

qint64 TLockHealth::LockDurationMsec() const
{
    return FLockedSince ? FClock() - *FLockedSince : 0;
}

std::optional<double> TLockHealth::LockedFractionHour() const
{
    const qint64 now = FClock();
    Account(now);
    return FHour.Fraction(now);
}

std::optional<double> TLockHealth::LockedFractionDay() const
{
    const qint64 now = FClock();
    Account(now);
    return FDay.Fraction(now);
}

void TLockHealth::PruneRelocks(qint64 now) const
{
    while (!FRelockTimes.empty() && FRelockTimes.front().When <= now - DayMsec)
        FRelockTimes.pop_front();
}

std::optional<qint64> TLockHealth::SlowestRelockMsec() const
{
    PruneRelocks(FClock());
    if (FRelockTimes.empty())
        return std::nullopt;
    return FRelockTimes.front().Msec;
}

std::size_t TLockHealth::HistoryEntries() const
{
    return FHour.BucketCount() + FDay.BucketCount() + FRelockTimes.size();
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
            TJournalRecord record = {
                {"MESSAGE", message.toUtf8()},
                {"PRIORITY", QByteArray::number(warning ? WarningPriority : InfoPriority)},
                {"SYSLOG_IDENTIFIER", "varnel"},
                {"VARNEL_EVENT", warning ? "headroom-low" : "headroom-recovered"},
                {"VARNEL_HEADROOM_PERCENT", percent}};
            // Over because the position is no longer known (the link went):
            // no figure for it.
            if (!headroom)
                std::erase_if(record, [](const auto& field) {
                    return field.first == "VARNEL_HEADROOM_PERCENT";
                });
            FSink->Write(record);
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
