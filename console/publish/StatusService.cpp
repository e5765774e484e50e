// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/publish/StatusService.h"

#include "console/model/ConsoleLog.h"

#include <QByteArray>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iterator>
#include <type_traits>
#include <variant>
#include <vector>

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

const QString TStatusService::ServiceName = QStringLiteral("org.varnel.Console1");
const QString TStatusService::ObjectPath = QStringLiteral("/org/varnel/Console1");
const QString TStatusService::InterfaceName = QStringLiteral("org.varnel.Console1");

// The facts as the window's thread last left them, for the service's thread.
struct TFactsSnapshot
{
    void Set(const TConsoleFacts& facts)
    {
        const QMutexLocker lock(&Mutex);
        Facts = facts;
        Generation.fetch_add(1);
    }
    // Copies the facts when they changed since the generation given (which
    // it then moves on); false when they did not.
    bool TakeNewer(uint64_t& generation, TConsoleFacts& facts) const
    {
        if (Generation.load() == generation)
            return false;
        const QMutexLocker lock(&Mutex);
        generation = Generation.load();
        facts = Facts;
        return true;
    }

    mutable QMutex Mutex;
    TConsoleFacts Facts;
    std::atomic<uint64_t> Generation{1};
    // A notice of a change is on its way to the service's thread: one is
    // enough however many changes follow before it is handled.
    std::atomic<bool> NoticePending{false};
};

namespace {

constexpr const char* ServiceNameC = "org.varnel.Console1";
constexpr const char* ObjectPathC = "/org/varnel/Console1";
constexpr const char* InterfaceNameC = "org.varnel.Console1";
constexpr uint64_t UsecPerMsec = 1000;
// More calls than this between two looks at the bus make a flood; fewer than
// the second end it, and the memory it took is handed back to the system.
constexpr uint64_t FloodCallsPerCheck = 10000;
constexpr uint64_t QuietCallsPerCheck = 1000;

// ---- the interface's properties

// A property's value; its D-Bus type follows from the alternative.
using TValue = std::variant<bool, uint32_t, uint64_t, double, QString>;

template <typename T> constexpr const char* SignatureOf()
{
    if constexpr (std::is_same_v<T, bool>)
        return "b";
    else if constexpr (std::is_same_v<T, uint32_t>)
        return "u";
    else if constexpr (std::is_same_v<T, uint64_t>)
        return "t";
    else if constexpr (std::is_same_v<T, double>)
        return "d";
    else {
        static_assert(std::is_same_v<T, QString>, "no D-Bus type for this fact");
        return "s";
    }
}

struct TProperty
{
    const char* Name;
    const char* Signature;
    TValue (*Read)(const TConsoleFacts&);
};

// A row of the table: the property's name and how it is read from the
// facts; its D-Bus type is the value's.
template <typename TRead> TProperty Row(const char* name, TRead)
{
    using T = std::remove_cvref_t<std::invoke_result_t<TRead, const TConsoleFacts&>>;
    return {name, SignatureOf<T>(),
            [](const TConsoleFacts& facts) -> TValue { return TRead{}(facts); }};
}

// The interface: read-only properties, in the order it lists them, and no
// methods. A new property is a row here, its fact in TConsoleFacts and a
// row in docs/dbus-status.md; reading, signals and introspection follow.
const TProperty Properties[] = {
    Row("Connected", [](const TConsoleFacts& f) { return f.Connected; }),
    Row("Device", [](const TConsoleFacts& f) { return f.Device; }),
    Row("StatusCode", [](const TConsoleFacts& f) { return f.StatusCode; }),
    Row("StatusText", [](const TConsoleFacts& f) { return f.StatusText; }),
    Row("Locked", [](const TConsoleFacts& f) { return f.Locked; }),
    Row("LockedPeak", [](const TConsoleFacts& f) { return f.LockedPeak; }),
    Row("LockedFrequency", [](const TConsoleFacts& f) { return f.LockedFrequency; }),
    Row("CFT", [](const TConsoleFacts& f) { return f.CFT; }),
    Row("TuningMirror", [](const TConsoleFacts& f) { return f.TuningMirror; }),
    Row("StabilizationMirror", [](const TConsoleFacts& f) { return f.StabilizationMirror; }),
    Row("WorkingTime", [](const TConsoleFacts& f) { return f.WorkingTime; }),
    Row("DeviceSerialNumber", [](const TConsoleFacts& f) { return f.DeviceSerialNumber; }),
    Row("CRCErrors", [](const TConsoleFacts& f) { return f.CRCErrors; }),
    Row("LineOverrunErrors", [](const TConsoleFacts& f) { return f.LineOverrunErrors; }),
    Row("LineParityErrors", [](const TConsoleFacts& f) { return f.LineParityErrors; }),
    Row("LineFramingErrors", [](const TConsoleFacts& f) { return f.LineFramingErrors; }),
    Row("LineBreakErrors", [](const TConsoleFacts& f) { return f.LineBreakErrors; }),
    Row("KeepLocked", [](const TConsoleFacts& f) { return f.Supervision.KeepLocked; }),
    Row("LockState", [](const TConsoleFacts& f) { return f.Supervision.LockState; }),
    Row("LockDurationSeconds",
        [](const TConsoleFacts& f) { return f.Supervision.LockDurationSeconds; }),
    Row("LockedFractionHour",
        [](const TConsoleFacts& f) { return f.Supervision.LockedFractionHour; }),
    Row("LockedFractionDay",
        [](const TConsoleFacts& f) { return f.Supervision.LockedFractionDay; }),
    Row("LockLosses", [](const TConsoleFacts& f) { return f.Supervision.LockLosses; }),
    Row("Relocks", [](const TConsoleFacts& f) { return f.Supervision.Relocks; }),
    Row("RelockFailures", [](const TConsoleFacts& f) { return f.Supervision.RelockFailures; }),
    Row("RelockAttemptsFailed",
        [](const TConsoleFacts& f) { return f.Supervision.RelockAttemptsFailed; }),
    Row("OperatorLocks", [](const TConsoleFacts& f) { return f.Supervision.OperatorLocks; }),
    Row("LastRelockSeconds",
        [](const TConsoleFacts& f) { return f.Supervision.LastRelockSeconds; }),
    Row("SlowestRelockSeconds",
        [](const TConsoleFacts& f) { return f.Supervision.SlowestRelockSeconds; }),
    Row("StabilizationHeadroomPercent",
        [](const TConsoleFacts& f) { return f.Supervision.StabilizationHeadroomPercent; }),
    Row("ErrorSignalRms", [](const TConsoleFacts& f) { return f.Supervision.ErrorSignalRms; }),
};
constexpr size_t PropertyCount = std::size(Properties);

// Two values tell the same; a value that is not a number (unknown) is the
// same as another that is not.
bool Same(const TValue& a, const TValue& b)
{
    const double* x = std::get_if<double>(&a);
    const double* y = std::get_if<double>(&b);
    if (x && y && std::isnan(*x) && std::isnan(*y))
        return true;
    return a == b;
}

int Append(sd_bus_message* message, const TValue& value)
{
    return std::visit(
        [message](const auto& v) -> int {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                const int truth = v ? 1 : 0;
                return sd_bus_message_append_basic(message, 'b', &truth);
            } else if constexpr (std::is_same_v<T, QString>) {
                const QByteArray text = v.toUtf8();
                return sd_bus_message_append_basic(message, 's', text.constData());
            } else {
                return sd_bus_message_append_basic(message, SignatureOf<T>()[0], &v);
            }
        },
        value);
}

// What a property's getter is given: the facts served and its row. The
// object's user data is an array of these, one per row, and each row's
// offset in the vtable leads to its own.
struct TServedRow
{
    const TConsoleFacts* Facts = nullptr;
    size_t Row = 0;
};

int GetProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                void* userdata, sd_bus_error*)
{
    const auto& served = *static_cast<const TServedRow*>(userdata);
    return Append(reply, Properties[served.Row].Read(*served.Facts));
}

const sd_bus_vtable* Vtable()
{
    static const std::vector<sd_bus_vtable> vtable = [] {
        std::vector<sd_bus_vtable> rows;
        rows.push_back(SD_BUS_VTABLE_START(0));
        for (size_t i = 0; i < PropertyCount; ++i)
            rows.push_back(SD_BUS_PROPERTY(Properties[i].Name, Properties[i].Signature,
                                           &GetProperty, i * sizeof(TServedRow),
                                           SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
        rows.push_back(SD_BUS_VTABLE_END);
        return rows;
    }();
    return vtable.data();
}

// ---- time and addresses

uint64_t NowUsec()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// The session bus's address as the environment gives it; empty without one.
QByteArray SessionBusAddress()
{
    const QByteArray given = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!given.isEmpty())
        return given;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        return {};
    // An address escapes every byte but the plain ones.
    QByteArray address = "unix:path=";
    for (const char c : runtime + "/bus") {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '/' || c == '.' || c == '\\')
            address += c;
        else
            address += '%' + QByteArray::number(byte, 16).rightJustified(2, '0');
    }
    return address;
}

const char* ErrorName(sd_bus_message* message)
{
    const sd_bus_error* error = sd_bus_message_get_error(message);
    return error && error->name ? error->name : "";
}

} // namespace

// Everything on the service's thread: the connection, the object, the
// coalescing of signals and the watch over the bus. It runs a loop of its
// own on the connection's socket, a wake-up for notices from the window's
// thread, and its timers.
class TStatusBusWorker
{
public:
    using TReport = std::function<void(TStatusBusState, const QString&, const QString&)>;

    TStatusBusWorker(std::shared_ptr<TFactsSnapshot> snapshot, QString address, TReport report)
        : FSnapshot(std::move(snapshot)), FAddress(address.toUtf8()), FReport(std::move(report)),
          FWake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        for (size_t i = 0; i < PropertyCount; ++i)
            FServedRows[i] = {&FServed, i};
    }
    ~TStatusBusWorker()
    {
        Leave();
        if (FWake >= 0)
            close(FWake);
    }

    TStatusBusWorker(const TStatusBusWorker&) = delete;
    TStatusBusWorker& operator=(const TStatusBusWorker&) = delete;

    // The service's thread: until Stop().
    void Run()
    {
        Join();
        while (!FStopping.load()) {
            TakeNotices();
            const bool more = FBus && Process();
            if (FLost != 0)
                Rejoin();
            RunTimers();
            Wait(more);
        }
        Leave();
    }

    // Any thread.
    void Stop()
    {
        FStopping = true;
        Wake();
    }
    void Wake()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(FWake, &one, sizeof one);
    }

private:
    // ---- joining and leaving the bus

    // Connects, puts the object on the bus and asks for the name; the answer
    // comes to NameReply.
    void Join()
    {
        FLost = 0;
        const QByteArray address = FAddress.isEmpty() ? SessionBusAddress() : FAddress;
        sd_bus* bus = nullptr;
        int r = address.isEmpty() ? -ENOENT : sd_bus_new(&bus);
        if (r >= 0)
            r = sd_bus_set_address(bus, address.constData());
        if (r >= 0)
            r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0)
            r = sd_bus_set_description(bus, "varnel-status");
        // Nothing here takes file descriptors: none are let in.
        if (r >= 0)
            r = sd_bus_negotiate_fds(bus, 0);
        if (r >= 0)
            r = sd_bus_start(bus);
        if (r < 0) {
            if (bus)
                sd_bus_close_unref(bus);
            NoBus();
            return;
        }
        FBus = bus;
        FReady = false;
        FJoinDeadlineUsec = NowUsec() + TStatusService::BusAnswerTimeoutMsec * UsecPerMsec;
        FNextCheckUsec = NowUsec() + TStatusService::BusCheckIntervalMsec * UsecPerMsec;
        Serve();
        r = sd_bus_add_filter(FBus, &FFilterSlot, &TStatusBusWorker::Filter, this);
        if (r >= 0)
            r = sd_bus_add_object_vtable(FBus, &FObjectSlot, ObjectPathC, InterfaceNameC, Vtable(),
                                         FServedRows);
        if (r < 0) {
            qCWarning(VarnelConsoleLog).noquote()
                << "The object" << TStatusService::ObjectPath
                << "cannot be put on the session bus; the console runs without its status there.";
            Leave();
            FReport(_bs_no_bus, {}, {});
            return;
        }
        r = sd_bus_request_name_async(FBus, &FNameSlot, ServiceNameC, 0,
                                      &TStatusBusWorker::NameReply, this);
        if (r < 0)
            FLost = r;
    }

    // No bus to join: said once, at the category's info level, when there
    // never was one (and then none is tried again).
    void NoBus()
    {
        if (!FHadBus)
            qCInfo(VarnelConsoleLog)
                << "No session bus: the console's status is not offered on it.";
        FReport(_bs_no_bus, {}, {});
    }

    static int NameReply(sd_bus_message* reply, void* userdata, sd_bus_error*)
    {
        auto& self = *static_cast<TStatusBusWorker*>(userdata);
        self.FNameSlot = sd_bus_slot_unref(self.FNameSlot);
        self.TakeNameReply(reply);
        return 1;
    }

    void TakeNameReply(sd_bus_message* reply)
    {
        if (sd_bus_message_is_method_error(reply, SD_BUS_ERROR_NO_REPLY) ||
            sd_bus_message_is_method_error(reply, SD_BUS_ERROR_TIMEOUT) ||
            sd_bus_message_is_method_error(reply, SD_BUS_ERROR_DISCONNECTED)) {
            FLost = -ETIMEDOUT;
            return;
        }
        FHadBus = true;
        FReady = true;
        uint32_t result = 0;
        if (!sd_bus_message_is_method_error(reply, nullptr) &&
            sd_bus_message_read_basic(reply, 'u', &result) >= 0 &&
            (result == 1 /* primary owner */ || result == 4 /* already owner */)) {
            FPublished = true;
            Serve();
            FAnnounced = FServed;
            FReport(_bs_published, {}, {});
            return;
        }
        // Taken: the object leaves the bus, and who holds the name is asked.
        FObjectSlot = sd_bus_slot_unref(FObjectSlot);
        const int r = sd_bus_call_method_async(
            FBus, &FPidSlot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetConnectionUnixProcessID", &TStatusBusWorker::PidReply, this,
            "s", ServiceNameC);
        if (r < 0)
            ReportNameTaken(0);
    }

    static int PidReply(sd_bus_message* reply, void* userdata, sd_bus_error*)
    {
        auto& self = *static_cast<TStatusBusWorker*>(userdata);
        self.FPidSlot = sd_bus_slot_unref(self.FPidSlot);
        uint32_t pid = 0;
        if (sd_bus_message_is_method_error(reply, nullptr) ||
            sd_bus_message_read_basic(reply, 'u', &pid) < 0)
            pid = 0;
        self.ReportNameTaken(pid);
        return 1;
    }

    // Who holds the name: its process and that process's program, as far as
    // the bus and /proc tell.
    void ReportNameTaken(uint32_t pid)
    {
        QString problem, details;
        if (pid != 0) {
            const QString program =
                QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
            const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
            if (!program.isEmpty() && program == self) {
                problem = QStringLiteral("Status bus: another console (process %1) offers its "
                                         "status, not this one")
                              .arg(pid);
            } else {
                problem = QStringLiteral("Status bus held by another program: process %1%2")
                              .arg(pid)
                              .arg(program.isEmpty()
                                       ? QString()
                                       : QStringLiteral(", ") + QFileInfo(program).fileName());
            }
            details = QStringLiteral("The name %1 on the session bus is held by process %2 (%3); "
                                     "this console's status is not offered there. Lab scripts "
                                     "that check the name's owner ignore that process; others "
                                     "may believe it.")
                          .arg(TStatusService::ServiceName)
                          .arg(pid)
                          .arg(program.isEmpty() ? QStringLiteral("program unknown") : program);
        } else {
            problem = QStringLiteral("Status bus: %1 is held by another program")
                          .arg(TStatusService::ServiceName);
            details = QStringLiteral("The name %1 on the session bus is held by another "
                                     "process; this console's status is not offered there.")
                          .arg(TStatusService::ServiceName);
        }
        qCWarning(VarnelConsoleLog).noquote() << details;
        FReport(_bs_name_taken, problem, details);
    }

    // Takes everything off the bus and closes the connection (the bus
    // frees the name with it).
    void Leave()
    {
        FPingSlot = sd_bus_slot_unref(FPingSlot);
        FPidSlot = sd_bus_slot_unref(FPidSlot);
        FNameSlot = sd_bus_slot_unref(FNameSlot);
        FObjectSlot = sd_bus_slot_unref(FObjectSlot);
        FFilterSlot = sd_bus_slot_unref(FFilterSlot);
        if (FBus)
            FBus = sd_bus_close_unref(FBus);
        FPublished = false;
        FReady = false;
        FNextSignalUsec = 0;
        FQueued = 0;
        FWritable = false;
    }

    // The connection closed or stopped answering: it is left, and the bus
    // joined again at once (and then at every check until one answers).
    void Rejoin()
    {
        const int lost = FLost;
        FLost = 0;
        const bool hadBus = FHadBus;
        Leave();
        if (!hadBus) {
            NoBus();
            return;
        }
        if (lost == -ETIMEDOUT)
            qCWarning(VarnelConsoleLog).noquote()
                << QStringLiteral("The session bus did not answer the status service within "
                                  "%1 s; it connects again.")
                       .arg(TStatusService::BusAnswerTimeoutMsec / 1000);
        else
            qCWarning(VarnelConsoleLog)
                << "The session bus went away; the console's status is offered again once it "
                   "is back.";
        FReport(_bs_no_bus, {}, {});
        Join();
    }

    // ---- serving

    // Handles what the connection has, a bounded number of messages at a
    // time so that the timers keep their turn; true when there may be more.
    // While the bus has not taken MaxQueuedAnswers answers, no call is read:
    // the calls wait in the bus (whose own limits refuse the excess), and
    // only writing and the connection's time-outs go on.
    bool Process()
    {
        for (int i = 0; i < 256; ++i) {
            const bool backedUp = FQueued >= TStatusService::MaxQueuedAnswers;
            if (backedUp && !FWritable && !BusTimeoutDue())
                return false;
            FWritable = false;
            const int r = sd_bus_process(FBus, nullptr);
            if (r < 0 || sd_bus_is_open(FBus) <= 0) {
                if (FLost == 0)
                    FLost = r < 0 ? r : -ECONNRESET;
                return false;
            }
            NoteQueue();
            if (FLost != 0 || r == 0 || backedUp)
                return false;
        }
        return true;
    }

    // The queue of what is to be written shrinks only when the bus takes
    // some of it.
    void NoteQueue()
    {
        uint64_t queued = 0;
        if (sd_bus_get_n_queued_write(FBus, &queued) < 0)
            return;
        if (queued < FQueued)
            FTakenSincePing = true;
        if (queued == 0 || queued < FQueued)
            FWrittenSincePing = true;
        FQueued = queued;
    }

    bool BusTimeoutDue() const
    {
        uint64_t until = UINT64_MAX;
        return sd_bus_get_timeout(FBus, &until) >= 0 && until <= NowUsec();
    }

    // Sees every message before the object does.
    static int Filter(sd_bus_message* message, void* userdata, sd_bus_error*)
    {
        return static_cast<TStatusBusWorker*>(userdata)->Screen(message);
    }

    // 1 drops the message: a call that wants no answer (nothing here has an
    // effect, so it has none).
    int Screen(sd_bus_message* message)
    {
        uint8_t type = 0;
        if (sd_bus_message_get_type(message, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL)
            return 0;
        ++FCallsSinceCheck;
        ++FCallsSincePing;
        if (!sd_bus_message_get_expect_reply(message))
            return 1;
        Serve();
        return 0;
    }

    // The facts answered with are the latest the window's thread left.
    void Serve() { FSnapshot->TakeNewer(FServedGeneration, FServed); }

    // ---- signals

    void TakeNotices()
    {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(FWake, &count, sizeof count);
        if (!FSnapshot->NoticePending.exchange(false))
            return;
        // The facts changed; they are told at most every MinSignalIntervalMsec.
        if (!FPublished || FNextSignalUsec != 0)
            return;
        const uint64_t earliest =
            FLastSignalUsec + TStatusService::MinSignalIntervalMsec * UsecPerMsec;
        FNextSignalUsec = std::max(NowUsec(), earliest);
    }

    void SendChanges()
    {
        FNextSignalUsec = 0;
        if (!FPublished)
            return;
        uint64_t queued = 0;
        if (sd_bus_get_n_queued_write(FBus, &queued) >= 0 &&
            queued >= TStatusService::MaxQueuedAnswers) {
            // The bus takes nothing now: the changes are told once it does.
            FNextSignalUsec = NowUsec() + TStatusService::MinSignalIntervalMsec * UsecPerMsec;
            return;
        }
        Serve();
        std::vector<char*> names;
        for (const TProperty& property : Properties)
            if (!Same(property.Read(FAnnounced), property.Read(FServed)))
                names.push_back(const_cast<char*>(property.Name));
        FAnnounced = FServed;
        if (names.empty())
            return;
        names.push_back(nullptr);
        sd_bus_emit_properties_changed_strv(FBus, ObjectPathC, InterfaceNameC, names.data());
        FLastSignalUsec = NowUsec();
    }

    // ---- the watch over the bus

    void RunTimers()
    {
        const uint64_t now = NowUsec();
        if (FNextSignalUsec != 0 && now >= FNextSignalUsec && FBus)
            SendChanges();
        if (FBus && !FReady && now >= FJoinDeadlineUsec) {
            // The bus took the connection but never finished starting it.
            FLost = -ETIMEDOUT;
            Rejoin();
            return;
        }
        if (now < FNextCheckUsec)
            return;
        FNextCheckUsec = now + TStatusService::BusCheckIntervalMsec * UsecPerMsec;
        HandBackAfterFlood();
        if (!FBus) {
            if (FHadBus)
                Join();
            return;
        }
        if (FReady && !FPingSlot)
            Ping();
    }

    // A call to itself through the bus, under the name when it holds it:
    // answered, the connection works end to end (and the name is its own).
    void Ping()
    {
        const char* unique = nullptr;
        if (sd_bus_get_unique_name(FBus, &unique) < 0 || !unique)
            return;
        FUniqueName = unique;
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(FBus, &call, FPublished ? ServiceNameC : unique,
                                               ObjectPathC, "org.freedesktop.DBus.Peer", "Ping");
        if (r >= 0)
            r = sd_bus_call_async(FBus, &FPingSlot, call, &TStatusBusWorker::PingReply, this,
                                  TStatusService::BusAnswerTimeoutMsec * UsecPerMsec);
        sd_bus_message_unref(call);
        FCallsSincePing = 0;
        FWrittenSincePing = false;
        FTakenSincePing = false;
        if (r < 0)
            FLost = r;
    }

    static int PingReply(sd_bus_message* reply, void* userdata, sd_bus_error*)
    {
        auto& self = *static_cast<TStatusBusWorker*>(userdata);
        self.FPingSlot = sd_bus_slot_unref(self.FPingSlot);
        const char* sender = sd_bus_message_get_sender(reply);
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            qCDebug(VarnelConsoleLog) << "The status service's ping failed:" << ErrorName(reply);
            // The bus took answers that had waited, or calls came in and
            // the bus took what there was to write, since the ping went
            // out: the connection works, with a queue before the ping (a
            // flood); it is asked again at the next check.
            const bool working =
                self.FTakenSincePing || (self.FCallsSincePing > 0 && self.FWrittenSincePing);
            if (!working)
                self.FLost = -ETIMEDOUT;
        } else if (!sender || self.FUniqueName != sender) {
            self.FLost = -ETIMEDOUT;
        }
        return 1;
    }

    // After a flood, the memory it took goes back to the system (the
    // allocator would keep it otherwise).
    void HandBackAfterFlood()
    {
        const uint64_t calls = FCallsSinceCheck;
        FCallsSinceCheck = 0;
        if (calls >= FloodCallsPerCheck)
            FFlooded = true;
        if (!FFlooded || calls >= QuietCallsPerCheck)
            return;
        FFlooded = false;
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    }

    // Sleeps until the connection, a notice or a timer needs the thread.
    void Wait(bool more)
    {
        pollfd fds[2] = {{FWake, POLLIN, 0}, {-1, 0, 0}};
        uint64_t until = FNextCheckUsec;
        if (FNextSignalUsec != 0)
            until = std::min(until, FNextSignalUsec);
        if (FBus && !FReady)
            until = std::min(until, FJoinDeadlineUsec);
        if (FBus) {
            fds[1].fd = sd_bus_get_fd(FBus);
            int events = sd_bus_get_events(FBus);
            if (FQueued >= TStatusService::MaxQueuedAnswers)
                events &= ~POLLIN;
            fds[1].events = static_cast<short>(events > 0 ? events : 0);
            uint64_t busUntil = UINT64_MAX;
            if (sd_bus_get_timeout(FBus, &busUntil) >= 0)
                until = std::min(until, busUntil);
        }
        int timeout = 0;
        const uint64_t now = NowUsec();
        if (!more && until > now)
            timeout = static_cast<int>(
                std::min<uint64_t>((until - now + UsecPerMsec - 1) / UsecPerMsec, 60000));
        if (poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout) > 0)
            FWritable = (fds[1].revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
    }

    std::shared_ptr<TFactsSnapshot> FSnapshot;
    const QByteArray FAddress;
    const TReport FReport;
    const int FWake;
    std::atomic<bool> FStopping{false};

    sd_bus* FBus = nullptr;
    sd_bus_slot* FFilterSlot = nullptr;
    sd_bus_slot* FObjectSlot = nullptr;
    sd_bus_slot* FNameSlot = nullptr;
    sd_bus_slot* FPidSlot = nullptr;
    sd_bus_slot* FPingSlot = nullptr;
    QByteArray FUniqueName;
    // A bus was there once: only then is its loss worth a warning and a
    // new connection (without one, none is attempted again).
    bool FHadBus = false;
    // The bus answered the request for the name.
    bool FReady = false;
    bool FPublished = false;
    // Why the connection is to be left (a negative errno); 0 while it is fine.
    int FLost = 0;
    uint64_t FJoinDeadlineUsec = 0;
    uint64_t FNextCheckUsec = 0;

    // The facts the object answers with, and those the last signal (or the
    // registration) told.
    TConsoleFacts FServed;
    uint64_t FServedGeneration = 0;
    TConsoleFacts FAnnounced;
    TServedRow FServedRows[PropertyCount];
    uint64_t FNextSignalUsec = 0; // 0: none due
    uint64_t FLastSignalUsec = 0;

    uint64_t FCallsSinceCheck = 0;
    // What the connection did since the last ping went out: calls read, and
    // whether the bus took anything it had to write (of FQueued, the number
    // waiting when last looked).
    uint64_t FCallsSincePing = 0;
    bool FWrittenSincePing = false;
    bool FTakenSincePing = false;
    uint64_t FQueued = 0;
    // The connection's socket takes writing again (or has hung up, which
    // writing finds out).
    bool FWritable = false;
    bool FFlooded = false;
};

TStatusService::TStatusService(const TLockHistory& history, const QString& busAddress,
                               QObject* parent)
    : QObject(parent), FSnapshot(std::make_shared<TFactsSnapshot>())
{
    FSnapshot->Set(history.Facts());
    // Where the service stands reaches the window's thread as a queued call;
    // the thread has ended before this object does.
    FWorker = std::make_unique<TStatusBusWorker>(
        FSnapshot, busAddress,
        [this](TStatusBusState state, const QString& problem, const QString& details) {
            QMetaObject::invokeMethod(
                this, [this, state, problem, details] { TakeState(state, problem, details); },
                Qt::QueuedConnection);
        });
    TStatusBusWorker* worker = FWorker.get();
    FThread = QThread::create([worker] { worker->Run(); });
    FThread->setParent(this);
    FThread->setObjectName(QStringLiteral("varnel-status-bus"));
    connect(&history, &TLockHistory::FactsChanged, this, [this, &history] {
        FSnapshot->Set(history.Facts());
        if (!FSnapshot->NoticePending.exchange(true))
            FWorker->Wake();
    });
    FThread->start();
}

TStatusService::~TStatusService()
{
    FWorker->Stop();
    FThread->wait();
    FWorker.reset();
}

void TStatusService::TakeState(int state, const QString& problem, const QString& details)
{
    const auto next = static_cast<TStatusBusState>(state);
    if (next == FState && problem == FProblem && details == FProblemDetails)
        return;
    FState = next;
    FProblem = problem;
    FProblemDetails = details;
    emit StateChanged();
}
