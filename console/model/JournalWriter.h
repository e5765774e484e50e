// SPDX-License-Identifier: GPL-3.0-or-later
// How the console's records reach the system journal without the journal
// ever holding up the window, and without a misbehaving controller flooding
// it.
//
// TPacedJournalSink bounds each kind of record (its VARNEL_EVENT): a burst,
// then a steady pace; what comes faster is suppressed and counted, and a
// summary record says how many once the kind may write again. Each kind has
// a budget of its own, so a flood of one kind leaves the others, the link's
// and the supervisor's records among them, untouched, and the whole stays
// far below what the journal itself would drop.
//
// TJournalWriter is the system journal's sink: the caller's thread paces
// the record and puts it into a bounded queue (never waiting for the
// journal); a thread of its own formats it in the journal's native protocol
// and sends it as one datagram on the journal's socket. When the journal
// stops reading, the writer thread waits for it while the queue fills; what
// the full queue cannot take is dropped and counted, and once the journal
// takes records again a record says how many were dropped.
#pragma once

#include "console/model/LockHistory.h"

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// How fast records of one kind may come: Burst at once, then one every
// IntervalMsec.
struct TJournalPace
{
    int Burst = 10;
    qint64 IntervalMsec = 1000;
};

struct TJournalPaceRules
{
    TJournalPace Default;
    std::map<QByteArray, TJournalPace> ByEvent; // by the record's VARNEL_EVENT

    const TJournalPace& For(const QByteArray& event) const;
};

// The console's rules: ten records of a kind at once, then one a second;
// status records, which the lock history already spaces to one a second
// per status code, twenty at once, then four a second.
TJournalPaceRules ConsoleJournalPace();

// Not thread-safe: the caller serialises Write, WriteCalmSummaries and
// WriteAllSummaries.
class TPacedJournalSink : public TJournalSink
{
public:
    TPacedJournalSink(std::shared_ptr<TJournalSink> next, TJournalPaceRules rules,
                      TMonotonicClock clock);

    // Passes the record on, or suppresses it when its kind has used its
    // budget. A summary of the kind's suppressed records goes before the
    // next record of the kind that passes.
    void Write(const TJournalRecord& record) override;
    // Writes the summary of each kind that has records suppressed and may
    // write again (the kind has calmed down).
    void WriteCalmSummaries();
    // When WriteCalmSummaries has something to do; none while nothing is
    // suppressed.
    std::optional<qint64> NextCalmCheck() const;
    // Writes every summary still due, budget or not (the sink's end).
    void WriteAllSummaries();

    uint64_t Suppressed() const { return FSuppressedTotal; }
    qint64 Now() const { return FClock(); }

private:
    struct TKind
    {
        // Milliseconds of budget: a record costs the kind's interval, and
        // the budget grows by the time that passes, up to burst intervals.
        qint64 Credit = 0;
        qint64 RefilledAt = 0;
        uint64_t Suppressed = 0;
        int Priority = 7;        // the most urgent of the suppressed records
        TJournalRecord Identity; // identifier and device of the last suppressed
    };
    TKind& KindOf(const QByteArray& event, qint64 now);
    void Refill(TKind& kind, const TJournalPace& pace, qint64 now) const;
    void WriteSummary(const QByteArray& event, TKind& kind);

    std::shared_ptr<TJournalSink> FNext;
    TJournalPaceRules FRules;
    TMonotonicClock FClock;
    std::map<QByteArray, TKind> FKinds;
    uint64_t FSuppressedTotal = 0;
};

// The journal's native protocol: one datagram, a field a line as NAME=value;
// a value holding a line break goes as the name, a line break, the value's
// length as 64-bit little-endian, the value and a line break.
QByteArray JournalDatagram(const TJournalRecord& record);

struct TJournalWriterOptions
{
    std::string SocketPath = "/run/systemd/journal/socket";
    // Records waiting for the journal; beyond this they are dropped.
    std::size_t QueueCapacity = 1000;
    // None writes every record given.
    std::optional<TJournalPaceRules> Pace = ConsoleJournalPace();
    // The pace's clock (called on both threads); a steady clock by default.
    TMonotonicClock Clock;
    // At its end the writer sends what waits for at most this long.
    int CloseFlushMsec = 1000;
};

class TJournalWriter : public TJournalSink
{
public:
    explicit TJournalWriter(TJournalWriterOptions options = {});
    ~TJournalWriter() override;
    TJournalWriter(const TJournalWriter&) = delete;
    TJournalWriter& operator=(const TJournalWriter&) = delete;

    // Any thread; returns at once.
    void Write(const TJournalRecord& record) override;

    struct TCounts
    {
        uint64_t Sent = 0;       // records the journal took, summaries included
        uint64_t Dropped = 0;    // records the journal did not take
        uint64_t Suppressed = 0; // records held back by the pace
        std::size_t Waiting = 0; // records in the queue and on their way
    };
    TCounts Counts() const;
    // Waits until nothing waits to be sent, at most this long; false when
    // the time ran out.
    bool WaitUntilSent(int msec) const;

private:
    struct TQueued
    {
        TJournalRecord Record;
        // Records dropped after this one because the queue was full.
        uint64_t DroppedAfter = 0;
        TJournalRecord DroppedIdentity;
    };
    class TQueueSink;

    void Enqueue(const TJournalRecord& record); // under FLock
    void Run();
    // Sends one datagram, waiting while the journal's socket is full; false
    // when the journal did not take it.
    bool Send(const QByteArray& datagram);
    bool Connect();
    void Disconnect();
    TJournalRecord DropSummary() const;

    const TJournalWriterOptions FOptions;
    mutable std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TQueued> FQueue;
    std::unique_ptr<TPacedJournalSink> FPacer;
    std::thread FThread;
    std::atomic<bool> FStop{false};
    std::atomic<qint64> FFlushUntil{0}; // steady milliseconds, once stopping
    bool FSending = false;

    // Counts, under FLock.
    uint64_t FSent = 0;
    uint64_t FDropped = 0;

    // The writer thread's own.
    int FSocket = -1;
    uint64_t FDropsToTell = 0;
    TJournalRecord FDropIdentity;
};
