// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/JournalWriter.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray FieldOf(const TJournalRecord& record, const char* name)
{
    for (const auto& [key, value] : record)
        if (key == name)
            return value;
    return {};
}

// What a summary keeps of the records it stands for: who wrote them and of
// which device.
TJournalRecord IdentityOf(const TJournalRecord& record)
{
    TJournalRecord identity;
    for (const auto& field : record)
        if (field.first == "SYSLOG_IDENTIFIER" || field.first == "VARNEL_DEVICE" ||
            field.first == "VARNEL_DEVICE_SERIAL")
            identity.push_back(field);
    return identity;
}

// A summary record: MESSAGE and PRIORITY, the identity, then the fields.
TJournalRecord SummaryRecord(const QString& message, int priority, const QByteArray& event,
                             const TJournalRecord& identity, TJournalRecord fields)
{
    TJournalRecord record = {{"MESSAGE", message.toUtf8()},
                             {"PRIORITY", QByteArray::number(priority)}};
    bool identified = false;
    for (const auto& field : identity) {
        if (field.first == "SYSLOG_IDENTIFIER") {
            record.push_back(field);
            identified = true;
        }
    }
    if (!identified)
        record.emplace_back("SYSLOG_IDENTIFIER", "varnel");
    record.emplace_back("VARNEL_EVENT", event);
    for (const auto& field : identity)
        if (field.first != "SYSLOG_IDENTIFIER")
            record.push_back(field);
    for (auto& field : fields)
        record.push_back(std::move(field));
    return record;
}

qint64 SteadyMsec()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int WarningPriority = 4;

} // namespace

const TJournalPace& TJournalPaceRules::For(const QByteArray& event) const
{
    const auto found = ByEvent.find(event);
    return found == ByEvent.end() ? Default : found->second;
}

TJournalPaceRules ConsoleJournalPace()
{
    TJournalPaceRules rules;
    rules.Default = {10, 1000};
    rules.ByEvent["status"] = {20, 250};
    return rules;
}

// ---- TPacedJournalSink

TPacedJournalSink::TPacedJournalSink(std::shared_ptr<TJournalSink> next, TJournalPaceRules rules,
                                     TMonotonicClock clock)
    : FNext(std::move(next)), FRules(std::move(rules)), FClock(std::move(clock))
{
}

TPacedJournalSink::TKind& TPacedJournalSink::KindOf(const QByteArray& event, qint64 now)
{
    auto found = FKinds.find(event);
    if (found == FKinds.end()) {
        const TJournalPace& pace = FRules.For(event);
        TKind kind;
        kind.Credit = pace.Burst * pace.IntervalMsec;
        kind.RefilledAt = now;
        found = FKinds.emplace(event, std::move(kind)).first;
    }
    return found->second;
}

void TPacedJournalSink::Refill(TKind& kind, const TJournalPace& pace, qint64 now) const
{
    const qint64 full = pace.Burst * pace.IntervalMsec;
    if (now > kind.RefilledAt)
        kind.Credit = std::min(full, kind.Credit + (now - kind.RefilledAt));
    kind.RefilledAt = std::max(kind.RefilledAt, now);
}

void TPacedJournalSink::Write(const TJournalRecord& record)
{
    if (!FNext)
        return;
    const QByteArray event = FieldOf(record, "VARNEL_EVENT");
    const TJournalPace& pace = FRules.For(event);
    const qint64 now = FClock();
    TKind& kind = KindOf(event, now);
    Refill(kind, pace, now);
    if (kind.Credit >= pace.IntervalMsec) {
        if (kind.Suppressed > 0)
            WriteSummary(event, kind);
        kind.Credit -= pace.IntervalMsec;
        FNext->Write(record);
        return;
    }
    ++kind.Suppressed;
    ++FSuppressedTotal;
    bool numbered = false;
    const int priority = FieldOf(record, "PRIORITY").toInt(&numbered);
    if (numbered)
        kind.Priority = std::min(kind.Priority, priority);
    kind.Identity = IdentityOf(record);
}

void TPacedJournalSink::WriteCalmSummaries()
{
    const qint64 now = FClock();
    for (auto& [event, kind] : FKinds) {
        if (kind.Suppressed == 0)
            continue;
        const TJournalPace& pace = FRules.For(event);
        Refill(kind, pace, now);
        if (kind.Credit >= pace.IntervalMsec)
            WriteSummary(event, kind);
    }
}

std::optional<qint64> TPacedJournalSink::NextCalmCheck() const
{
    std::optional<qint64> next;
    for (const auto& [event, kind] : FKinds) {
        if (kind.Suppressed == 0)
            continue;
        const qint64 due =
            kind.RefilledAt + std::max<qint64>(0, FRules.For(event).IntervalMsec - kind.Credit);
        next = next ? std::min(*next, due) : due;
    }
    return next;
}

void TPacedJournalSink::WriteAllSummaries()
{
    for (auto& [event, kind] : FKinds)
        if (kind.Suppressed > 0)
            WriteSummary(event, kind);
}

void TPacedJournalSink::WriteSummary(const QByteArray& event, TKind& kind)
{
    const QString name = event.isEmpty() ? QStringLiteral("other") : QString::fromUtf8(event);
    FNext->Write(SummaryRecord(
        QStringLiteral("%1 more %2 %3 suppressed: too many came too fast")
            .arg(kind.Suppressed)
            .arg(name, kind.Suppressed == 1 ? QStringLiteral("record") : QStringLiteral("records")),
        kind.Priority, "suppressed", kind.Identity,
        {{"VARNEL_SUPPRESSED_EVENT", event},
         {"VARNEL_SUPPRESSED", QByteArray::number(qulonglong(kind.Suppressed))}}));
    kind.Suppressed = 0;
    kind.Priority = 7;
    kind.Identity.clear();
}

// ---- the native protocol

QByteArray JournalDatagram(const TJournalRecord& record)
{
    QByteArray datagram;
    for (const auto& [name, value] : record) {
        datagram += name;
        if (value.contains('\n')) {
            datagram += '\n';
            uint64_t length = static_cast<uint64_t>(value.size());
            for (int i = 0; i < 8; ++i, length >>= 8)
                datagram += static_cast<char>(length & 0xFF);
        } else {
            datagram += '=';
        }
        datagram += value;
        datagram += '\n';
    }
    return datagram;
}

// ---- TJournalWriter

// The pace's way into the queue, called with the writer's lock held.
class TJournalWriter::TQueueSink : public TJournalSink
{
public:
    explicit TQueueSink(TJournalWriter& writer) : FWriter(writer) {}
    void Write(const TJournalRecord& record) override { FWriter.Enqueue(record); }

private:
    TJournalWriter& FWriter;
};

TJournalWriter::TJournalWriter(TJournalWriterOptions options) : FOptions(std::move(options))
{
    if (FOptions.Pace) {
        TMonotonicClock clock = FOptions.Clock ? FOptions.Clock : TMonotonicClock(SteadyMsec);
        FPacer = std::make_unique<TPacedJournalSink>(std::make_shared<TQueueSink>(*this),
                                                     *FOptions.Pace, std::move(clock));
    }
}

TJournalWriter::~TJournalWriter()
{
    {
        std::lock_guard lock(FLock);
        if (FPacer)
            FPacer->WriteAllSummaries();
        FFlushUntil = SteadyMsec() + FOptions.CloseFlushMsec;
        FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable())
        FThread.join();
    Disconnect();
}

void TJournalWriter::Write(const TJournalRecord& record)
{
    {
        std::lock_guard lock(FLock);
        if (FStop)
            return;
        if (!FThread.joinable())
            FThread = std::thread(&TJournalWriter::Run, this);
        if (FPacer)
            FPacer->Write(record);
        else
            Enqueue(record);
    }
    FWake.notify_one();
}

void TJournalWriter::Enqueue(const TJournalRecord& record)
{
    if (!FQueue.empty() && FQueue.size() >= std::max<std::size_t>(FOptions.QueueCapacity, 1)) {
        TQueued& last = FQueue.back();
        ++last.DroppedAfter;
        last.DroppedIdentity = IdentityOf(record);
        ++FDropped;
        return;
    }
    FQueue.push_back({record, 0, {}});
}

TJournalWriter::TCounts TJournalWriter::Counts() const
{
    std::lock_guard lock(FLock);
    TCounts counts;
    counts.Sent = FSent;
    counts.Dropped = FDropped;
    counts.Suppressed = FPacer ? FPacer->Suppressed() : 0;
    counts.Waiting = FQueue.size() + (FSending ? 1 : 0);
    return counts;
}

bool TJournalWriter::WaitUntilSent(int msec) const
{
    const qint64 until = SteadyMsec() + msec;
    while (Counts().Waiting > 0) {
        if (SteadyMsec() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TJournalRecord TJournalWriter::DropSummary() const
{
    return SummaryRecord(
        QStringLiteral("%1 %2 dropped: the journal did not take them")
            .arg(FDropsToTell)
            .arg(FDropsToTell == 1 ? QStringLiteral("record") : QStringLiteral("records")),
        WarningPriority, "dropped", FDropIdentity,
        {{"VARNEL_DROPPED", QByteArray::number(qulonglong(FDropsToTell))}});
}

void TJournalWriter::Run()
{
    pthread_setname_np(pthread_self(), "varnel-journal");
    std::unique_lock lock(FLock);
    for (;;) {
        if (FPacer)
            FPacer->WriteCalmSummaries();
        if (FQueue.empty()) {
            if (FStop)
                break;
            qint64 wait = 1000;
            if (FPacer) {
                if (const std::optional<qint64> check = FPacer->NextCalmCheck())
                    wait = std::clamp<qint64>(*check - FPacer->Now(), 1, 1000);
            }
            FWake.wait_for(lock, std::chrono::milliseconds(wait));
            continue;
        }
        if (FStop && SteadyMsec() > FFlushUntil)
            break;
        TQueued item = std::move(FQueue.front());
        FQueue.pop_front();
        FSending = true;
        lock.unlock();

        uint64_t sent = 0;
        uint64_t dropped = 0;
        const auto tellDrops = [&] {
            if (FDropsToTell > 0 && Send(JournalDatagram(DropSummary()))) {
                ++sent;
                FDropsToTell = 0;
                FDropIdentity.clear();
            }
        };
        tellDrops();
        if (Send(JournalDatagram(item.Record))) {
            ++sent;
        } else {
            ++dropped;
            ++FDropsToTell;
            FDropIdentity = IdentityOf(item.Record);
        }
        if (item.DroppedAfter > 0) {
            FDropsToTell += item.DroppedAfter;
            FDropIdentity = item.DroppedIdentity;
        }

        lock.lock();
        FSending = false;
        FSent += sent;
        FDropped += dropped;
        // Drops are told before the next record, or now when none waits.
        if (FDropsToTell > 0 && dropped == 0 && FQueue.empty()) {
            FSending = true;
            lock.unlock();
            sent = 0;
            tellDrops();
            lock.lock();
            FSending = false;
            FSent += sent;
        }
    }
    // What the flush had no time for is lost.
    FDropped += FQueue.size();
    FQueue.clear();
}

bool TJournalWriter::Connect()
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (FOptions.SocketPath.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, FOptions.SocketPath.data(), FOptions.SocketPath.size());
    FSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FSocket < 0)
        return false;
    if (::connect(FSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Disconnect();
        return false;
    }
    return true;
}

void TJournalWriter::Disconnect()
{
    if (FSocket >= 0)
        ::close(FSocket);
    FSocket = -1;
}

bool TJournalWriter::Send(const QByteArray& datagram)
{
    bool reconnected = false;
    int full = 0;
    for (;;) {
        if (FSocket < 0) {
            if (!Connect())
                return false;
            reconnected = true;
        }
        if (::send(FSocket, datagram.constData(), static_cast<size_t>(datagram.size()),
                   MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return true;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
            // The journal does not read: wait for room, as long as the
            // writer is not told to end.
            if (FStop && SteadyMsec() > FFlushUntil)
                return false;
            pollfd ready = {FSocket, POLLOUT, 0};
            const int polled = ::poll(&ready, 1, 100);
            // Room reported but none found: do not spin on it.
            if (polled > 0 && ++full > 1)
                ::poll(nullptr, 0, 5);
            continue;
        }
        full = 0;
        // The journal went away or came back as a new socket: connect
        // afresh, once; a record the journal refuses is dropped.
        Disconnect();
        if (reconnected || error == EMSGSIZE)
            return false;
    }
}

std::shared_ptr<TJournalSink> SystemJournalSink()
{
    return std::make_shared<TJournalWriter>();
}
