// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/LockSupervision.h"

#include <QTimer>

namespace {

// Names the controller in every record it passes on.
class TControllerFieldsSink : public TJournalSink
{
public:
    TControllerFieldsSink(std::shared_ptr<TJournalSink> sink,
                          std::shared_ptr<const TControllerIdentity> controller)
        : FSink(std::move(sink)), FController(std::move(controller))
    {
    }

    void Write(const TJournalRecord& record) override
    {
        TJournalRecord named = record;
        PutControllerFields(named, *FController);
        FSink->Write(named);
    }

private:
    std::shared_ptr<TJournalSink> FSink;
    std::shared_ptr<const TControllerIdentity> FController;
};

} // namespace

TLockSupervision::TLockSupervision(TLockHistory& history, QObject* parent)
    : QObject(parent), FHistory(history)
{
    FHealth.Follow(&FSupervisor);
    connect(&FSupervisor, &TLockSupervisor::SendTuningTarget, this,
            &TLockSupervision::SendTuningTarget);
    connect(&FSupervisor, &TLockSupervisor::AlarmRaised, this, [this](const QString& text) {
        emit AlarmChanged(text);
        Refresh();
    });
    connect(&FSupervisor, &TLockSupervisor::AlarmCleared, this, [this] {
        emit AlarmChanged(QString());
        Refresh();
    });
    connect(&FSupervisor, &TLockSupervisor::LockStateChanged, this, &TLockSupervision::Refresh);
    connect(&FSupervisor, &TLockSupervisor::KeepLockedChanged, this, &TLockSupervision::Refresh);
    connect(&FSupervisor, &TLockSupervisor::NoticeChanged, this, &TLockSupervision::Changed);
    connect(&FHealth, &TLockHealth::CountsChanged, this, &TLockSupervision::Refresh);
    connect(&FHealth, &TLockHealth::HeadroomWarningChanged, this, [this](bool on) {
        emit HeadroomWarningChanged(on);
        Refresh();
    });
    FRefreshTimer = new QTimer(this);
    FRefreshTimer->setInterval(RefreshIntervalMsec);
    connect(FRefreshTimer, &QTimer::timeout, this, &TLockSupervision::Refresh);
    FRefreshTimer->start();
}

TLockSupervision::~TLockSupervision() = default;

void TLockSupervision::SetClock(TMonotonicClock clock)
{
    FSupervisor.SetClock(clock);
    FHealth.SetClock(std::move(clock));
}

void TLockSupervision::SetJournalSink(std::shared_ptr<TJournalSink> sink)
{
    FSupervisor.SetJournalSink(sink);
    FHealth.SetJournalSink(
        sink ? std::make_shared<TControllerFieldsSink>(std::move(sink), FController) : nullptr);
}

void TLockSupervision::SetKeepLocked(bool on)
{
    FSupervisor.SetKeepLocked(on);
}

void TLockSupervision::SetPaused(bool paused)
{
    FSupervisor.SetPaused(paused);
}

void TLockSupervision::LinkUp(const QString& description, const QString& serialNumber)
{
    const TControllerIdentity device{description, serialNumber};
    FSupervisor.LinkUp(description, serialNumber);
    *FController = device;
    // Lock health starts afresh for another controller, by the same rule.
    FHealth.LinkUp(serialNumber.isEmpty() ? QStringLiteral("description:") + description
                                          : QStringLiteral("serial:") + serialNumber);
    // The same controller again: what it last reported still holds.
    if (const std::optional<uint32_t> status = FSupervisor.KnownStatus())
        FHealth.Status(*status);
    Refresh();
}

void TLockSupervision::LinkDown()
{
    FSupervisor.LinkDown();
    FHealth.LinkDown();
    Refresh();
}

void TLockSupervision::Status(uint32_t code)
{
    FSupervisor.Status(code);
    FHealth.Status(code);
}

void TLockSupervision::LockReported(int peakId)
{
    FSupervisor.LockReported(peakId);
}

void TLockSupervision::StabilizationMirror(uint32_t position)
{
    FHealth.StabilizationMirror(position);
}

void TLockSupervision::ScopeSample(uint32_t value)
{
    FHealth.ScopeSample(static_cast<int32_t>(value));
}

void TLockSupervision::OperatorAction(TOperatorAction action, int targetPeakId)
{
    FSupervisor.OperatorAction(action, targetPeakId);
}

TLockSupervisionFacts TLockSupervision::Facts() const
{
    const auto known = [](const auto& value, double divisor = 1) {
        return value ? static_cast<double>(*value) / divisor : TLockSupervisionFacts::Unknown;
    };
    TLockSupervisionFacts facts;
    facts.KeepLocked = FSupervisor.KeepLocked();
    facts.LockState = LockStateName(FSupervisor.LockState());
    facts.LockDurationSeconds = static_cast<double>(FHealth.LockDurationMsec() / 1000);
    facts.LockedFractionHour = known(FHealth.LockedFractionHour());
    facts.LockedFractionDay = known(FHealth.LockedFractionDay());
    const TLockCounts& counts = FHealth.Counts();
    facts.OperatorLocks = counts.OperatorLocks;
    facts.LockLosses = counts.Losses;
    facts.Relocks = counts.Relocks;
    facts.RelockFailures = counts.RelockFailures;
    facts.RelockAttemptsFailed = counts.RelockAttemptsFailed;
    facts.LastRelockSeconds = known(FHealth.LastRelockMsec(), 1000);
    facts.SlowestRelockSeconds = known(FHealth.SlowestRelockMsec(), 1000);
    facts.StabilizationHeadroomPercent = known(FHealth.StabilizationHeadroomPercent());
    facts.ErrorSignalRms = known(FHealth.ErrorSignalRms());
    return facts;
}

void TLockSupervision::CheckTime()
{
    FSupervisor.CheckTime();
    FHealth.CheckTime();
}

void TLockSupervision::Refresh()
{
    FHistory.Supervision(Facts());
    emit Changed();
}
