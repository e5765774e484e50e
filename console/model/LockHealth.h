// SPDX-License-Identifier: GPL-3.0-or-later
// Lock health: how well the laser has kept its lock, as figures an operator
// (or a status bus, or the journal's readings) reads at a glance: how long the
// current lock has lasted, the fraction of the last hour and day spent
// locked, the losses and relocks, the time a relock took, how much room the
// stabilisation mirror has left, and how quiet the error signal is.
//
// All on the main thread, on the clock it is given. The history lives as long
// as the object: a reconnect keeps it, a restart of the console does not.
// The time the link was down counts neither as locked nor as unlocked: the
// fractions are of the time the controller was heard.
#pragma once

#include "console/model/LockHistory.h"
#include "console/model/LockSupervisor.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

class QTimer;

struct TLockCounts
{
    uint32_t OperatorLocks = 0;  // locks reached after the operator's command
    uint32_t Losses = 0;         // confirmed losses
    uint32_t Relocks = 0;        // losses relocked on the same peak
    uint32_t RelockFailures = 0; // relock attempts that failed

    bool operator==(const TLockCounts&) const = default;
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
    void LinkUp();
    void LinkDown();
    // The controller's status code: 3 is locked, anything else is not.
    void Status(uint32_t code);
    // The supervisor's view of the lock: the lock duration runs while locked.
    void SetLockState(TLockState state);
    void OperatorLocked();
    void LossConfirmed();
    void Relocked(qint64 msecSinceLoss);
    void RelockAttemptFailed();
    // The range of positions the controller reports for the stabilisation
    // mirror; 0 to 100 unless told otherwise.
    void SetStabilizationMirrorRange(int lowest, int highest);
    void StabilizationMirror(uint32_t position);
    // A scope sample as received; cheap, called for every one.
    void ScopeSample(int32_t value);

    // ---- outputs
    // 0 while not locked.
    qint64 LockDurationMsec() const;
    // The time-weighted fraction (0 to 1) of the last windowMsec spent
    // locked; none until the controller was heard.
    std::optional<double> LockedFraction(qint64 windowMsec) const;
    std::optional<double> LockedFractionHour() const { return LockedFraction(HourMsec); }
    std::optional<double> LockedFractionDay() const { return LockedFraction(DayMsec); }
    const TLockCounts& Counts() const { return FCounts; }
    // From the loss to the relock: the last one, and the slowest of the last day.
    std::optional<qint64> LastRelockMsec() const { return FLastRelockMsec; }
    std::optional<qint64> SlowestRelockMsec() const;
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
    struct TSpan
    {
        qint64 Begin;
        qint64 End;
        bool Locked;
    };
    struct TRmsSlot
    {
        qint64 Number = -1; // the slot's time divided by its length
        uint32_t Count = 0;
        double Sum = 0;
        double SumOfSquares = 0;
    };

    void CloseSpan(qint64 now);
    void Prune(qint64 now);
    void UpdateHeadroom(qint64 now);
    void ClearRms();
    void ArmTimer();

    TMonotonicClock FClock;
    std::shared_ptr<TJournalSink> FSink;
    QTimer* FTimer = nullptr;

    bool FLinkUp = false;
    bool FStatusLocked = false;
    // The span now running, while the controller is heard.
    std::optional<qint64> FSpanSince;
    std::deque<TSpan> FSpans;

    TLockState FState = _ls_unlocked;
    std::optional<qint64> FLockedSince;
    TLockCounts FCounts;
    std::optional<qint64> FLastRelockMsec;
    std::deque<std::pair<qint64, qint64>> FRelockTimes; // when, how long

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
