// SPDX-License-Identifier: GPL-3.0-or-later
// The lock history: what the console learns from the controller's messages
// and what the operator sends, kept as the current facts (for the status on
// the session bus) and written as records to the system journal, so that
// "when was it locked last night" has an answer after the console is gone.
//
// The window tells the history what its message handlers and commands did,
// on the main thread; nothing here runs per scope sample or on the reader
// thread.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

class QTimer;

// A monotonic clock in milliseconds; tests give one they move by hand.
using TMonotonicClock = std::function<qint64()>;

// One journal record: its fields in order, MESSAGE first. Names are journal
// field names (upper case, digits and underscores); values are UTF-8.
using TJournalRecord = std::vector<std::pair<QByteArray, QByteArray>>;

// Where the records go.
class TJournalSink
{
public:
    virtual ~TJournalSink() = default;
    virtual void Write(const TJournalRecord& record) = 0;
};

// The system journal (JournalWriter.h): each kind of record paced, and sent
// by a thread of its own, so that a journal that stops reading never holds
// up the caller; where no journal listens the records are dropped and
// nothing is reported.
std::shared_ptr<TJournalSink> SystemJournalSink();

// The controller a link leads to, as its bridge names itself. Two links lead
// to the same controller when their serial numbers match, or, where neither
// bridge reports one, their descriptions.
struct TControllerIdentity
{
    QString Description;
    QString SerialNumber;

    bool IsEmpty() const { return Description.isEmpty() && SerialNumber.isEmpty(); }
    bool SameController(const TControllerIdentity& other) const;
};

// How a tuning was started.
enum TStartKind
{
    _sk_automatic,      // Start in automatic mode, with the selected peak as target
    _sk_half_automatic, // Start in half-automatic mode; the operator locks with Lock
    _sk_peak_button     // a peak button of the simple menu, with its peak as target
};

// What lock supervision and lock health report. Unlike the controller's
// facts these outlive a reconnect to the same controller (they end with the
// console, or when another controller is linked). A figure that is not known
// is NaN: a fraction before the controller was heard, a relock time before
// any relock, the headroom without a mirror position on this link, the RMS
// while not locked.
struct TLockSupervisionFacts
{
    static constexpr double Unknown = std::numeric_limits<double>::quiet_NaN();

    bool KeepLocked = false;
    QString LockState =
        QStringLiteral("unlocked");      // unlocked, acquiring, locked, relocking, failed
    double LockDurationSeconds = 0;      // 0 while not locked
    double LockedFractionHour = Unknown; // 0 to 1, of the time with a link
    double LockedFractionDay = Unknown;
    uint64_t OperatorLocks = 0; // locks reached after the operator's command
    uint64_t LockLosses = 0;
    uint64_t Relocks = 0;
    uint64_t RelockFailures = 0;           // losses whose relock failed (the supervisor gave up)
    uint64_t RelockAttemptsFailed = 0;     // single relock attempts that failed
    double LastRelockSeconds = Unknown;    // from the last loss to its relock
    double SlowestRelockSeconds = Unknown; // the slowest relock of the last 24 h
    double StabilizationHeadroomPercent = Unknown;
    double ErrorSignalRms = Unknown;

    // Equal where both say the same; two unknowns are the same.
    bool operator==(const TLockSupervisionFacts& other) const
    {
        const auto same = [](double a, double b) {
            return a == b || (std::isnan(a) && std::isnan(b));
        };
        return KeepLocked == other.KeepLocked && LockState == other.LockState &&
               same(LockDurationSeconds, other.LockDurationSeconds) &&
               same(LockedFractionHour, other.LockedFractionHour) &&
               same(LockedFractionDay, other.LockedFractionDay) &&
               OperatorLocks == other.OperatorLocks && LockLosses == other.LockLosses &&
               Relocks == other.Relocks && RelockFailures == other.RelockFailures &&
               RelockAttemptsFailed == other.RelockAttemptsFailed &&
               same(LastRelockSeconds, other.LastRelockSeconds) &&
               same(SlowestRelockSeconds, other.SlowestRelockSeconds) &&
               same(StabilizationHeadroomPercent, other.StabilizationHeadroomPercent) &&
               same(ErrorSignalRms, other.ErrorSignalRms);
    }
};

// What the console knows of the controller. While not connected, everything
// but Connected and Supervision holds its idle value (empty texts, zeros).
struct TConsoleFacts
{
    bool Connected = false;
    QString Device;             // the description of the bridge opened
    QString DeviceSerialNumber; // its serial number; empty when it reports none
    uint32_t StatusCode = 0;
    QString StatusText;
    bool Locked = false;        // the last status was "tuning - locked"
    QString LockedPeak;         // its letter, once the lock report named a known peak
    double LockedFrequency = 0; // the locked peak's absolute frequency, MHz
    double CFT = 0;             // degrees Celsius
    uint32_t TuningMirror = 0;  // positions as the controller reports them
    uint32_t StabilizationMirror = 0;
    uint32_t WorkingTime = 0; // minutes
    // Faults of the line since the connect: frames with a bad checksum, and
    // the errors the bridge met on its serial line, per kind.
    uint32_t CRCErrors = 0;
    uint64_t LineOverrunErrors = 0;
    uint64_t LineParityErrors = 0;
    uint64_t LineFramingErrors = 0;
    uint64_t LineBreakErrors = 0;
    TLockSupervisionFacts Supervision;

    bool operator==(const TConsoleFacts&) const = default;
};

class TLockHistory : public QObject
{
    Q_OBJECT

public:
    // Records of the readings follow every ReadingsIntervalMsec while connected.
    static constexpr int ReadingsIntervalMsec = 60000;
    // A change to a status code is recorded at most once in this time; the
    // changes held back are counted in the next record of that code.
    static constexpr qint64 StatusRecordIntervalMsec = 1000;

    explicit TLockHistory(QObject* parent = nullptr);
    ~TLockHistory() override;

    // No sink writes nothing; the facts are kept all the same.
    void SetJournalSink(std::shared_ptr<TJournalSink> sink);
    const TConsoleFacts& Facts() const { return FFacts; }
    // Links lost under the console since it started (not the operator's
    // disconnects).
    uint64_t LinkLosses() const { return FLinkLosses; }
    // The clock the status records are spaced by; a steady clock by default.
    void SetClock(TMonotonicClock clock);

    // ---- the link. Connecting while connected first closes the old link.
    // The bridge as the link opened it: its description and serial number.
    // A connect to the controller of the last connection keeps what was
    // known of it (status, lock, peak, readings) until it reports otherwise;
    // a connect to another one starts from nothing and says so with
    // ControllerChanged.
    void Connected(const QString& device, const QString& serialNumber = QString());
    void Disconnected();
    void LinkLost();

    // ---- the controller's messages
    // Recorded when the code differs from the last one of this connection,
    // at most once per StatusRecordIntervalMsec for each code. A change held
    // back that is still the current status when its time has come is
    // recorded then; one still held back when the connection ends is
    // recorded before its end.
    void Status(uint32_t code, const QString& text);
    // The lock report: the peak id and, for an id that names a peak (1 to
    // 14), that peak's frequency in MHz. Recorded once per lock and peak.
    void LockReported(int peakId, double frequencyMHz);
    void CFT(double celsius);
    void TuningMirror(uint32_t position);
    void StabilizationMirror(uint32_t position);
    void WorkingTime(uint32_t minutes);
    // ---- faults of the line: the counts since the connect, not recorded.
    void CRCErrors(uint32_t count);
    void LineErrors(uint64_t overrun, uint64_t parity, uint64_t framing, uint64_t breaks);

    // ---- lock supervision and lock health, as they change (and once a
    // second for the figures that move with time); also in the readings.
    void Supervision(const TLockSupervisionFacts& facts);

    // ---- commands sent. A target of 0 names no peak.
    void StartSent(TStartKind kind, int targetPeakId);
    void LockSent();

    // Writes the readings record; the timer calls it while connected.
    void RecordReadings();
    bool ReadingsTimerActive() const;
    // Writes the current status when its change was held back and its time
    // has come; a timer calls it.
    void WriteHeldBackStatus();
    bool HeldBackStatusPending() const { return FStatusHeldBack; }

signals:
    // Any of the facts changed.
    void FactsChanged();
    // A connect opened another controller than the last connection's (or
    // the first one).
    void ControllerChanged();

private:
    uint64_t FLinkLosses = 0;
    void Write(const char* event, const QString& message, TJournalRecord fields, int priority = 6);
    void EndConnection(const char* event, const QString& message, int priority);
    void SetFacts(const TConsoleFacts& facts);
    template <typename T> void SetReading(T TConsoleFacts::*field, T value);
    void WriteStatus(qint64 now);

    std::shared_ptr<TJournalSink> FSink;
    TConsoleFacts FFacts;
    // The controller of the last connection and its facts as the connection
    // ended, for a connect that finds the same controller again (its records
    // start afresh all the same).
    std::optional<TConsoleFacts> FLastConnection;
    // The peak of the lock last recorded in this lock; 0 for none.
    int FRecordedLockPeakId = 0;
    bool FStatusSeen = false;
    QTimer* FReadingsTimer = nullptr;

    // Status records, per code: when the last one was written and how many
    // changes to the code have had none since.
    struct TStatusRecordPace
    {
        qint64 LastWritten = 0;
        uint32_t HeldBack = 0;
    };
    TMonotonicClock FClock;
    std::unordered_map<uint32_t, TStatusRecordPace> FStatusPace;
    // The current status's change has not been written yet.
    bool FStatusHeldBack = false;
    QTimer* FHeldBackTimer = nullptr;
};
