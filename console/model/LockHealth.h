// SPDX-License-Identifier: GPL-3.0-or-later
// Lock health: how well the laser has kept its lock, as figures an operator
// (or a status bus, or the journal's readings) reads at a glance: how long the
// current lock has lasted, the fraction of the last hour and day spent
// locked, the losses and relocks, the time a relock took, how much room the
// stabilisation mirror has left, and how quiet the error signal is.
//
// All on the main thread, on the clock it is given. The history lives as long
// as the object and the controller: a reconnect to the same controller keeps
// it, a link to another controller starts it afresh, and so does a restart
// of the console. The time the link was down counts neither as locked nor as
// unlocked: the fractions are of the time the controller was heard.
//
// The history takes bounded memory and bounded work however often the
// status changes: the time heard and the time locked are summed in buckets
// of fixed length (a second for the hour, a minute for the day), the relock
// times in at most one entry per minute.
#pragma once

#include "console/model/LockHistory.h"
#include "console/model/LockSupervisor.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QTimer;

struct TLockCounts
{
    uint32_t OperatorLocks = 0;        // locks reached after the operator's command
    uint32_t Losses = 0;               // confirmed losses
    uint32_t Relocks = 0;              // losses relocked on the same peak
    uint32_t RelockFailures = 0;       // losses whose relock failed: the supervisor gave up
    uint32_t RelockAttemptsFailed = 0; // single relock attempts that failed

    bool operator==(const TLockCounts&) const = default;
};

// The time heard and the time locked over a sliding window, summed in
// buckets of fixed length: its memory is the bucket count, and adding time
// or asking for the fraction costs a step per bucket the clock passed.
class TLockedTimeWindow
{
public:
    TLockedTimeWindow(qint64 windowMsec, qint64 bucketMsec);

    // Adds the time from begin to end, heard and locked or not. Calls come
    // in the clock's order: begin is not before the last call's end.
    void Add(qint64 begin, qint64 end, bool locked);
    // The fraction of the time heard in the window up to now that was
    // locked; none when nothing was heard. The bucket the window's start
    // cuts through counts in proportion to the part inside.
    std::optional<double> Fraction(qint64 now);
    void Clear();
    std::size_t BucketCount() const { return FBuckets.size(); }

private:
    struct TBucket
    {
        qint64 Number = 0; // its start divided by the bucket length
        qint64 Heard = 0;
        qint64 Locked = 0;
        bool Used = false;
    };
    TBucket& BucketOf(qint64 number);
    void Drop(TBucket& bucket);
    void Expire(qint64 now);

    qint64 FWindowMsec;
    qint64 FBucketMsec;
    std::vector<TBucket> FBuckets;
    // The sums over the buckets in use, and the lowest bucket number that may
    // still be in use.
    qint64 FHeard = 0;
    qint64 FLocked = 0;
    std::optional<qint64> FOldest;
};

class TLockHealth : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 HourMsec = 3600 * 1000;
    static constexpr qint64 DayMsec = 24 * HourMsec;
    // The early warning: headroom under HeadroomWarningPercent for
    // HeadroomWarningMsec while locked; it ends when the lock does or the
    // headroom is back at HeadroomClearPercent (so that the jitter of the
    // reported position does not make it come and go).
    static constexpr double HeadroomWarningPercent = 10;
    static constexpr double HeadroomClearPercent = 15;
    static constexpr qint64 HeadroomWarningMsec = 10000;
    // The error signal's RMS is over the last second, in RmsSlots slots.
    static constexpr qint64 RmsWindowMsec = 1000;
    static constexpr int RmsSlots = 10;

    explicit TLockHealth(QObject* parent = nullptr);
    ~TLockHealth() override;

    void SetClock(TMonotonicClock clock);
    // The headroom warning's record goes there; no sink writes nothing.
    void SetJournalSink(std::shared_ptr<TJournalSink> sink);
    // Takes the lock state and the counts from the supervisor's signals.
    void Follow(const TLockSupervisor* supervisor);

    // ---- inputs
    // The link to a controller is up; device names the controller (its
    // bridge's serial number, or its description where it has none). Another
    // controller than the last one starts the history afresh.
    void LinkUp(const QString& device);
    void LinkDown();
    // The controller's status code: 3 is locked, anything else is not.
    void Status(uint32_t code);
    // The supervisor's view of the lock: the lock duration runs while locked.
    void SetLockState(TLockState state);
    void OperatorLocked();
    void LossConfirmed();
    void Relocked(qint64 msecSinceLoss);
    void RelockAttemptFailed();
    // The supervisor gave up relocking a loss.
    void RelockFailed();
    // The range of positions the controller reports for the stabilisation
    // mirror; 0 to 100 unless told otherwise.
    void SetStabilizationMirrorRange(int lowest, int highest);
    void StabilizationMirror(uint32_t position);
    // A scope sample as received; cheap, called for every one.
    void ScopeSample(int32_t value);

    // ---- outputs
    // 0 while not locked.
    qint64 LockDurationMsec() const;
    // The time-weighted fraction (0 to 1) of the last hour or day spent
    // locked, of the time the controller was heard (from a link's first
    // status to its end); none while nothing was heard in the window.
    std::optional<double> LockedFractionHour() const;
    std::optional<double> LockedFractionDay() const;
    const TLockCounts& Counts() const { return FCounts; }
    // From the loss to the relock: the last one, and the slowest of the last
    // day (to the minute: a relock may count up to a minute longer).
    std::optional<qint64> LastRelockMsec() const { return FLastRelockMsec; }
    std::optional<qint64> SlowestRelockMsec() const;
    // What the history holds: buckets and relock entries; bounded whatever
    // the controller does.
    std::size_t HistoryEntries() const;
    // Distance of the stabilisation mirror to the nearer rail, in percent of
    // its range; none until a position came on this link.
    std::optional<double> StabilizationHeadroomPercent() const;
    bool HeadroomWarning() const { return FHeadroomWarning; }
    // RMS of the scope samples about their mean over the last second, while
    // locked; none otherwise.
    std::optional<double> ErrorSignalRms() const;
    // E.g. "locked 2 h 14 min · 99.6 % of the last hour · 3 relocks · headroom 38 %".
    QString Summary() const;

    void CheckTime();
    std::optional<qint64> NextDeadline() const;

signals:
    void HeadroomWarningChanged(bool on);
    void CountsChanged();

private:
    struct TRelockEntry
    {
        qint64 Minute; // when it came, in whole minutes of the clock
        qint64 When;
        qint64 Msec; // how long it took
    };
    struct TRmsSlot
    {
        qint64 Number = -1; // the slot's time divided by its length
        uint32_t Count = 0;
        double Sum = 0;
        double SumOfSquares = 0;
    };

    // Adds the time since the last call to the windows; the queries call it
    // too, so the windows are brought up to the clock on every read.
    void Account(qint64 now) const;
    void PruneRelocks(qint64 now) const;
    void Restart();
    void UpdateHeadroom(qint64 now);
    void ClearRms();
    void ArmTimer();

    TMonotonicClock FClock;
    std::shared_ptr<TJournalSink> FSink;
    QTimer* FTimer = nullptr;

    bool FLinkUp = false;
    std::optional<QString> FDevice;
    bool FStatusLocked = false;
    // Heard and locked time, accounted up to FAccountedUntil while heard:
    // from the link's first status to its end.
    mutable std::optional<qint64> FAccountedUntil;
    mutable TLockedTimeWindow FHour{HourMsec, 1000};
    mutable TLockedTimeWindow FDay{DayMsec, 60000};

    TLockState FState = _ls_unlocked;
    std::optional<qint64> FLockedSince;
    TLockCounts FCounts;
    std::optional<qint64> FLastRelockMsec;
    // The relocks of the last day that may still be the slowest: each slower
    // than every later one, at most one a minute.
    mutable std::deque<TRelockEntry> FRelockTimes;

    int FMirrorLowest = 0;
    int FMirrorHighest = 100;
    std::optional<uint32_t> FMirror;
    std::optional<qint64> FHeadroomLowSince;
    bool FHeadroomWarning = false;

    std::array<TRmsSlot, RmsSlots> FRms{};
    // Samples are taken about this value, the first of the lock, so that the
    // sums stay small and the variance exact.
    std::optional<double> FRmsOrigin;
};
