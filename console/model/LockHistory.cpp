// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/LockHistory.h"

#include "protocol/Messages.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

QByteArray Number(double value, int decimals)
{
    return QByteArray::number(value, 'f', decimals);
}

QByteArray Number(uint32_t value)
{
    return QByteArray::number(value);
}

QString WorkingTimeText(uint32_t minutes)
{
    return QStringLiteral("%1:%2")
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

const char* StartKindName(TStartKind kind)
{
    switch (kind) {
    case _sk_automatic:
        return "automatic";
    case _sk_half_automatic:
        return "half-automatic";
    case _sk_peak_button:
        return "peak-button";
    }
    return "";
}

constexpr int WarningPriority = 4;

// The letter of a peak id, a for 1 to n for 14; none for another id.
QChar PeakLetterOf(int peakId)
{
    return peakId >= 1 && peakId <= 14 ? QChar(0x60 + peakId) : QChar();
}

} // namespace

bool TControllerIdentity::SameController(const TControllerIdentity& other) const
{
    if (!SerialNumber.isEmpty() || !other.SerialNumber.isEmpty())
        return SerialNumber == other.SerialNumber;
    return Description == other.Description;
}

TLockHistory::TLockHistory(QObject* parent)
    : QObject(parent), FReadingsTimer(new QTimer(this)),
      FClock([] { return QDeadlineTimer::current().deadline(); }), FHeldBackTimer(new QTimer(this))
{
    FReadingsTimer->setInterval(ReadingsIntervalMsec);
    connect(FReadingsTimer, &QTimer::timeout, this, &TLockHistory::RecordReadings);
    FHeldBackTimer->setSingleShot(true);
    connect(FHeldBackTimer, &QTimer::timeout, this, &TLockHistory::WriteHeldBackStatus);
}

TLockHistory::~TLockHistory() = default;

void TLockHistory::SetJournalSink(std::shared_ptr<TJournalSink> sink)
{
    FSink = std::move(sink);
}

void TLockHistory::SetClock(TMonotonicClock clock)
{
    FClock = std::move(clock);
}

void TLockHistory::Connected(const QString& device, const QString& serialNumber)
{
    if (FFacts.Connected)
        Disconnected();
    TConsoleFacts facts;
    const bool same = FLastConnection && TControllerIdentity{FLastConnection->Device,
                                                             FLastConnection->DeviceSerialNumber}
                                             .SameController({device, serialNumber});
    if (same) {
        // The controller did not forget its lock while the link was away,
        // and tells it again only when it changes.
        facts = *FLastConnection;
        facts.CRCErrors = 0;
        facts.LineOverrunErrors = facts.LineParityErrors = facts.LineFramingErrors =
            facts.LineBreakErrors = 0;
    }
    facts.Supervision = FFacts.Supervision;
    facts.Connected = true;
    facts.Device = device;
    facts.DeviceSerialNumber = serialNumber;
    SetFacts(facts);
    Write("connected",
          QStringLiteral("connected to ") + device +
              (same && facts.Locked ? QStringLiteral(", still locked") : QString()),
          {});
    FReadingsTimer->start();
    if (!same)
        emit ControllerChanged();
}

void TLockHistory::Disconnected()
{
    EndConnection("disconnected", QStringLiteral("disconnected from ") + FFacts.Device, 6);
}

void TLockHistory::LinkLost()
{
    if (FFacts.Connected)
        ++FLinkLosses;
    EndConnection("link-lost", QStringLiteral("link to ") + FFacts.Device + QStringLiteral(" lost"),
                  WarningPriority);
}

void TLockHistory::EndConnection(const char* event, const QString& message, int priority)
{
    if (!FFacts.Connected)
        return;
    // The journal's last word on the status is the status it ended with.
    if (FStatusHeldBack)
        WriteStatus(FClock());
    FHeldBackTimer->stop();
    FStatusPace.clear();
    Write(event, message, {}, priority);
    FReadingsTimer->stop();
    FLastConnection = FFacts;
    FStatusSeen = false;
    FRecordedLockPeakId = 0;
    TConsoleFacts idle;
    idle.Supervision = FFacts.Supervision;
    SetFacts(idle);
}

void TLockHistory::Status(uint32_t code, const QString& text)
{
    if (!FFacts.Connected)
        return;
    const bool changed = !FStatusSeen || code != FFacts.StatusCode;
    FStatusSeen = true;
    TConsoleFacts facts = FFacts;
    facts.StatusCode = code;
    facts.StatusText = text;
    facts.Locked = code == StatusCode::Locked;
    if (!facts.Locked) {
        facts.LockedPeak.clear();
        facts.LockedFrequency = 0;
        FRecordedLockPeakId = 0;
    }
    SetFacts(facts);
    if (!changed)
        return;
    // A controller that flips between two codes must not flood the journal:
    // each code is written at most once per interval, the rest counted.
    const qint64 now = FClock();
    // A change held back before is now past: it stays counted for its code.
    FStatusHeldBack = false;
    const auto pace = FStatusPace.find(code);
    if (pace == FStatusPace.end() || now - pace->second.LastWritten >= StatusRecordIntervalMsec) {
        WriteStatus(now);
        return;
    }
    ++pace->second.HeldBack;
    FStatusHeldBack = true;
    FHeldBackTimer->start(static_cast<int>(std::clamp<qint64>(
        pace->second.LastWritten + StatusRecordIntervalMsec - now, 0, StatusRecordIntervalMsec)));
}

void TLockHistory::WriteHeldBackStatus()
{
    if (!FStatusHeldBack || !FFacts.Connected)
        return;
    const qint64 now = FClock();
    const qint64 due = FStatusPace[FFacts.StatusCode].LastWritten + StatusRecordIntervalMsec;
    if (now < due) {
        FHeldBackTimer->start(static_cast<int>(std::min(due - now, StatusRecordIntervalMsec)));
        return;
    }
    WriteStatus(now);
}

// The record of the current status. Where its change was held back, the
// record is that change's, and counts only the others held back.
void TLockHistory::WriteStatus(qint64 now)
{
    const uint32_t code = FFacts.StatusCode;
    const QString& text = FFacts.StatusText;
    TStatusRecordPace& pace = FStatusPace[code];
    if (FStatusHeldBack && pace.HeldBack > 0)
        --pace.HeldBack;
    FStatusHeldBack = false;
    FHeldBackTimer->stop();
    QString message = QStringLiteral("status ") + QString::number(code) +
                      (text.isEmpty() ? QString() : QStringLiteral(": ") + text);
    TJournalRecord fields = {{"VARNEL_STATUS", Number(code)},
                             {"VARNEL_STATUS_TEXT", text.toUtf8()}};
    if (pace.HeldBack > 0) {
        message +=
            QStringLiteral(" (%1 other changes to this status since its last record not recorded)")
                .arg(pace.HeldBack);
        fields.emplace_back("VARNEL_STATUS_HELD_BACK", Number(pace.HeldBack));
    }
    Write("status", message, std::move(fields));
    pace.LastWritten = now;
    pace.HeldBack = 0;
}

void TLockHistory::LockReported(int peakId, double frequencyMHz)
{
    const QChar letter = PeakLetterOf(peakId);
    if (!FFacts.Connected || !FFacts.Locked)
        return;
    TConsoleFacts facts = FFacts;
    const bool known = !letter.isNull();
    facts.LockedPeak = known ? QString(letter) : QString();
    facts.LockedFrequency = known ? frequencyMHz : 0;
    SetFacts(facts);
    if (peakId == FRecordedLockPeakId)
        return;
    FRecordedLockPeakId = peakId;
    if (known)
        Write("lock",
              QStringLiteral("locked at peak ") + letter + QStringLiteral(", ") +
                  QString::fromLatin1(Number(frequencyMHz, 3)) + QStringLiteral(" MHz"),
              {{"VARNEL_PEAK", QString(letter).toUtf8()},
               {"VARNEL_PEAK_ID", QByteArray::number(peakId)},
               {"VARNEL_FREQUENCY_MHZ", Number(frequencyMHz, 3)}});
    else
        Write("lock", QStringLiteral("locked at unknown peak ") + QString::number(peakId),
              {{"VARNEL_PEAK_ID", QByteArray::number(peakId)}});
}

// A reading changes the facts only while connected; while disconnected they
// stay at their idle values.
template <typename T> void TLockHistory::SetReading(T TConsoleFacts::*field, T value)
{
    if (!FFacts.Connected)
        return;
    TConsoleFacts facts = FFacts;
    facts.*field = value;
    SetFacts(facts);
}

void TLockHistory::CRCErrors(uint32_t count)
{
    SetReading(&TConsoleFacts::CRCErrors, count);
}

void TLockHistory::Supervision(const TLockSupervisionFacts& supervision)
{
    TConsoleFacts facts = FFacts;
    facts.Supervision = supervision;
    SetFacts(facts);
}

void TLockHistory::LineErrors(uint64_t overrun, uint64_t parity, uint64_t framing, uint64_t breaks)
{
    if (!FFacts.Connected)
        return;
    TConsoleFacts facts = FFacts;
    facts.LineOverrunErrors = overrun;
    facts.LineParityErrors = parity;
    facts.LineFramingErrors = framing;
    facts.LineBreakErrors = breaks;
    if (!(facts == FFacts))
        SetFacts(facts);
}

void TLockHistory::CFT(double celsius)
{
    SetReading(&TConsoleFacts::CFT, celsius);
}

void TLockHistory::TuningMirror(uint32_t position)
{
    SetReading(&TConsoleFacts::TuningMirror, position);
}

void TLockHistory::StabilizationMirror(uint32_t position)
{
    SetReading(&TConsoleFacts::StabilizationMirror, position);
}

void TLockHistory::WorkingTime(uint32_t minutes)
{
    SetReading(&TConsoleFacts::WorkingTime, minutes);
}

void TLockHistory::StartSent(TStartKind kind, int targetPeakId)
{
    const QChar targetLetter = PeakLetterOf(targetPeakId);
    if (!FFacts.Connected)
        return;
    TJournalRecord fields = {{"VARNEL_MODE", StartKindName(kind)}};
    QString message = kind == _sk_peak_button ? QStringLiteral("tuning target sent")
                                              : QStringLiteral("start sent, ") +
                                                    QString::fromLatin1(StartKindName(kind));
    if (targetPeakId != 0) {
        if (!targetLetter.isNull()) {
            fields.emplace_back("VARNEL_PEAK", QString(targetLetter).toUtf8());
            message += QStringLiteral(", peak ") + targetLetter;
        } else {
            message += QStringLiteral(", peak id ") + QString::number(targetPeakId);
        }
        fields.emplace_back("VARNEL_PEAK_ID", QByteArray::number(targetPeakId));
    }
    Write("start-command", message, std::move(fields));
}

void TLockHistory::LockSent()
{
    if (!FFacts.Connected)
        return;
    Write("lock-command", QStringLiteral("lock sent"), {});
}

void TLockHistory::RecordReadings()
{
    if (!FFacts.Connected)
        return;
    const TLockSupervisionFacts& l = FFacts.Supervision;
    const auto count = [](uint64_t value) { return QByteArray::number(qulonglong(value)); };
    TJournalRecord fields = {{"VARNEL_CFT", Number(FFacts.CFT, 1)},
                             {"VARNEL_TUNING_MIRROR", Number(FFacts.TuningMirror)},
                             {"VARNEL_STABILIZATION_MIRROR", Number(FFacts.StabilizationMirror)},
                             {"VARNEL_WORKING_TIME", Number(FFacts.WorkingTime)},
                             {"VARNEL_KEEP_LOCKED", l.KeepLocked ? "1" : "0"},
                             {"VARNEL_LOCK_STATE", l.LockState.toUtf8()},
                             {"VARNEL_LOCK_DURATION_S", Number(l.LockDurationSeconds, 0)},
                             {"VARNEL_OPERATOR_LOCKS", count(l.OperatorLocks)},
                             {"VARNEL_LOCK_LOSSES", count(l.LockLosses)},
                             {"VARNEL_RELOCKS", count(l.Relocks)},
                             {"VARNEL_RELOCK_FAILURES", count(l.RelockFailures)},
                             {"VARNEL_RELOCK_ATTEMPTS_FAILED", count(l.RelockAttemptsFailed)}};
    // A figure not known has no field.
    const auto figure = [&fields](const char* name, double value, int decimals) {
        if (!std::isnan(value))
            fields.emplace_back(name, Number(value, decimals));
    };
    figure("VARNEL_LOCKED_FRACTION_HOUR", l.LockedFractionHour, 4);
    figure("VARNEL_LOCKED_FRACTION_DAY", l.LockedFractionDay, 4);
    figure("VARNEL_LAST_RELOCK_S", l.LastRelockSeconds, 1);
    figure("VARNEL_SLOWEST_RELOCK_S", l.SlowestRelockSeconds, 1);
    figure("VARNEL_HEADROOM_PERCENT", l.StabilizationHeadroomPercent, 1);
    figure("VARNEL_ERROR_SIGNAL_RMS", l.ErrorSignalRms, 2);
    Write("readings",
          QStringLiteral("CFT ") + QString::fromLatin1(Number(FFacts.CFT, 1)) +
              QStringLiteral(" °C, tuning mirror ") + QString::number(FFacts.TuningMirror) +
              QStringLiteral(", stabilization mirror ") +
              QString::number(FFacts.StabilizationMirror) + QStringLiteral(", working time ") +
              WorkingTimeText(FFacts.WorkingTime),
          std::move(fields));
}

bool TLockHistory::ReadingsTimerActive() const
{
    return FReadingsTimer->isActive();
}

void TLockHistory::Write(const char* event, const QString& message, TJournalRecord fields,
                         int priority)
{
    if (!FSink)
        return;
    TJournalRecord record = {{"MESSAGE", message.toUtf8()},
                             {"PRIORITY", QByteArray::number(priority)},
                             {"SYSLOG_IDENTIFIER", "varnel"},
                             {"VARNEL_EVENT", event}};
    if (!FFacts.Device.isEmpty())
        record.emplace_back("VARNEL_DEVICE", FFacts.Device.toUtf8());
    if (!FFacts.DeviceSerialNumber.isEmpty())
        record.emplace_back("VARNEL_DEVICE_SERIAL", FFacts.DeviceSerialNumber.toUtf8());
    for (auto& field : fields)
        record.push_back(std::move(field));
    FSink->Write(record);
}

void TLockHistory::SetFacts(const TConsoleFacts& facts)
{
    if (facts == FFacts)
        return;
    FFacts = facts;
    emit FactsChanged();
}
