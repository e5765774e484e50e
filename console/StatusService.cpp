// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/StatusService.h"

#include "console/model/ConsoleLog.h"

#include <QAtomicInt>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>
#include <atomic>

const QString TStatusService::ServiceName = QStringLiteral("org.varnel.Console1");
const QString TStatusService::ObjectPath = QStringLiteral("/org/varnel/Console1");
const QString TStatusService::InterfaceName = QStringLiteral("org.varnel.Console1");

// The facts as the window's thread last left them, for the service's thread.
struct TFactsSnapshot
{
    TConsoleFacts Get() const
    {
        const QMutexLocker lock(&Mutex);
        return Facts;
    }
    void Set(const TConsoleFacts& facts)
    {
        const QMutexLocker lock(&Mutex);
        Facts = facts;
    }
    mutable QMutex Mutex;
    TConsoleFacts Facts;
    // A notice of a change is on its way to the service's thread: one is
    // enough however many changes follow before it is handled.
    std::atomic<bool> NoticePending{false};
};

namespace {

// The interface: properties only, each read from the snapshot.
class TStatusAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.varnel.Console1")
    Q_PROPERTY(bool Connected READ Connected)
    Q_PROPERTY(QString Device READ Device)
    Q_PROPERTY(uint StatusCode READ StatusCode)
    Q_PROPERTY(QString StatusText READ StatusText)
    Q_PROPERTY(bool Locked READ Locked)
    Q_PROPERTY(QString LockedPeak READ LockedPeak)
    Q_PROPERTY(double LockedFrequency READ LockedFrequency)
    Q_PROPERTY(double CFT READ CFT)
    Q_PROPERTY(uint TuningMirror READ TuningMirror)
    Q_PROPERTY(uint StabilizationMirror READ StabilizationMirror)
    Q_PROPERTY(uint WorkingTime READ WorkingTime)
    Q_PROPERTY(QString DeviceSerialNumber READ DeviceSerialNumber)
    Q_PROPERTY(uint CRCErrors READ CRCErrors)
    Q_PROPERTY(qulonglong LineOverrunErrors READ LineOverrunErrors)
    Q_PROPERTY(qulonglong LineParityErrors READ LineParityErrors)
    Q_PROPERTY(qulonglong LineFramingErrors READ LineFramingErrors)
    Q_PROPERTY(qulonglong LineBreakErrors READ LineBreakErrors)
    Q_PROPERTY(bool KeepLocked READ KeepLocked)
    Q_PROPERTY(QString LockState READ LockState)
    Q_PROPERTY(double LockDurationSeconds READ LockDurationSeconds)
    Q_PROPERTY(double LockedFractionHour READ LockedFractionHour)
    Q_PROPERTY(double LockedFractionDay READ LockedFractionDay)
    Q_PROPERTY(qulonglong LockLosses READ LockLosses)
    Q_PROPERTY(qulonglong Relocks READ Relocks)
    Q_PROPERTY(qulonglong RelockFailures READ RelockFailures)
    Q_PROPERTY(double StabilizationHeadroomPercent READ StabilizationHeadroomPercent)
    Q_PROPERTY(double ErrorSignalRms READ ErrorSignalRms)
    // Further read-only properties: a Q_PROPERTY here, the fact in
    // TConsoleFacts, a line in Changes() below and a row in dbus-status.md.

public:
    TStatusAdaptor(QObject* object, const TFactsSnapshot& snapshot)
        : QDBusAbstractAdaptor(object), FSnapshot(snapshot)
    {
    }

    bool Connected() const { return Read(&TConsoleFacts::Connected); }
    QString Device() const { return Read(&TConsoleFacts::Device); }
    uint StatusCode() const { return Read(&TConsoleFacts::StatusCode); }
    QString StatusText() const { return Read(&TConsoleFacts::StatusText); }
    bool Locked() const { return Read(&TConsoleFacts::Locked); }
    QString LockedPeak() const { return Read(&TConsoleFacts::LockedPeak); }
    double LockedFrequency() const { return Read(&TConsoleFacts::LockedFrequency); }
    double CFT() const { return Read(&TConsoleFacts::CFT); }
    uint TuningMirror() const { return Read(&TConsoleFacts::TuningMirror); }
    uint StabilizationMirror() const { return Read(&TConsoleFacts::StabilizationMirror); }
    uint WorkingTime() const { return Read(&TConsoleFacts::WorkingTime); }
    QString DeviceSerialNumber() const { return Read(&TConsoleFacts::DeviceSerialNumber); }
    uint CRCErrors() const { return Read(&TConsoleFacts::CRCErrors); }
    qulonglong LineOverrunErrors() const { return Read(&TConsoleFacts::LineOverrunErrors); }
    qulonglong LineParityErrors() const { return Read(&TConsoleFacts::LineParityErrors); }
    qulonglong LineFramingErrors() const { return Read(&TConsoleFacts::LineFramingErrors); }
    qulonglong LineBreakErrors() const { return Read(&TConsoleFacts::LineBreakErrors); }

    bool KeepLocked() const { return Supervised(&TLockSupervisionFacts::KeepLocked); }
    QString LockState() const { return Supervised(&TLockSupervisionFacts::LockState); }
    double LockDurationSeconds() const
    {
        return Supervised(&TLockSupervisionFacts::LockDurationSeconds);
    }
    double LockedFractionHour() const
    {
        return Supervised(&TLockSupervisionFacts::LockedFractionHour);
    }
    double LockedFractionDay() const
    {
        return Supervised(&TLockSupervisionFacts::LockedFractionDay);
    }
    qulonglong LockLosses() const { return Supervised(&TLockSupervisionFacts::LockLosses); }
    qulonglong Relocks() const { return Supervised(&TLockSupervisionFacts::Relocks); }
    qulonglong RelockFailures() const { return Supervised(&TLockSupervisionFacts::RelockFailures); }
    double StabilizationHeadroomPercent() const
    {
        return Supervised(&TLockSupervisionFacts::StabilizationHeadroomPercent);
    }
    double ErrorSignalRms() const { return Supervised(&TLockSupervisionFacts::ErrorSignalRms); }

private:
    template <typename T> T Supervised(T TLockSupervisionFacts::*field) const
    {
        const QMutexLocker lock(&FSnapshot.Mutex);
        return FSnapshot.Facts.Supervision.*field;
    }

    template <typename T> T Read(T TConsoleFacts::*field) const
    {
        const QMutexLocker lock(&FSnapshot.Mutex);
        return FSnapshot.Facts.*field;
    }

    const TFactsSnapshot& FSnapshot;
};

// The properties whose values differ between the two sets of facts.
QVariantMap Changes(const TConsoleFacts& before, const TConsoleFacts& now)
{
    QVariantMap changes;
    const auto note = [&](const char* name, const auto& was, const auto& is) {
        if (was != is)
            changes.insert(QString::fromLatin1(name), QVariant::fromValue(is));
    };
    note("Connected", before.Connected, now.Connected);
    note("Device", before.Device, now.Device);
    note("StatusCode", before.StatusCode, now.StatusCode);
    note("StatusText", before.StatusText, now.StatusText);
    note("Locked", before.Locked, now.Locked);
    note("LockedPeak", before.LockedPeak, now.LockedPeak);
    note("LockedFrequency", before.LockedFrequency, now.LockedFrequency);
    note("CFT", before.CFT, now.CFT);
    note("TuningMirror", before.TuningMirror, now.TuningMirror);
    note("StabilizationMirror", before.StabilizationMirror, now.StabilizationMirror);
    note("WorkingTime", before.WorkingTime, now.WorkingTime);
    note("DeviceSerialNumber", before.DeviceSerialNumber, now.DeviceSerialNumber);
    note("CRCErrors", before.CRCErrors, now.CRCErrors);
    const auto count = [](uint64_t value) { return qulonglong(value); };
    note("LineOverrunErrors", count(before.LineOverrunErrors), count(now.LineOverrunErrors));
    note("LineParityErrors", count(before.LineParityErrors), count(now.LineParityErrors));
    note("LineFramingErrors", count(before.LineFramingErrors), count(now.LineFramingErrors));
    note("LineBreakErrors", count(before.LineBreakErrors), count(now.LineBreakErrors));
    const TLockSupervisionFacts& was = before.Supervision;
    const TLockSupervisionFacts& is = now.Supervision;
    note("KeepLocked", was.KeepLocked, is.KeepLocked);
    note("LockState", was.LockState, is.LockState);
    note("LockDurationSeconds", was.LockDurationSeconds, is.LockDurationSeconds);
    note("LockedFractionHour", was.LockedFractionHour, is.LockedFractionHour);
    note("LockedFractionDay", was.LockedFractionDay, is.LockedFractionDay);
    note("LockLosses", count(was.LockLosses), count(is.LockLosses));
    note("Relocks", count(was.Relocks), count(is.Relocks));
    note("RelockFailures", count(was.RelockFailures), count(is.RelockFailures));
    note("StabilizationHeadroomPercent", was.StabilizationHeadroomPercent,
         is.StabilizationHeadroomPercent);
    note("ErrorSignalRms", was.ErrorSignalRms, is.ErrorSignalRms);
    return changes;
}

// A name for each service's own connection, unique in the process.
QString NewConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("varnel-status-%1").arg(counter.fetchAndAddRelaxed(1));
}

} // namespace

// Everything on the service's thread: the connection, the object, the
// coalescing of signals and the watch over the bus.
class TStatusBusWorker : public QObject
{
    Q_OBJECT

public:
    TStatusBusWorker(std::shared_ptr<TFactsSnapshot> snapshot, QString address)
        : FSnapshot(std::move(snapshot)), FAddress(std::move(address)),
          FConnectionName(NewConnectionName())
    {
    }
    ~TStatusBusWorker() override { Leave(); }

    TStatusBusWorker(const TStatusBusWorker&) = delete;
    TStatusBusWorker& operator=(const TStatusBusWorker&) = delete;

    // Runs on the service's thread once it has started.
    void Start()
    {
        FSignalTimer = new QTimer(this);
        FSignalTimer->setSingleShot(true);
        // A precise timer never fires early, so signals keep their distance.
        FSignalTimer->setTimerType(Qt::PreciseTimer);
        connect(FSignalTimer, &QTimer::timeout, this, &TStatusBusWorker::SendChanges);
        FBusCheckTimer = new QTimer(this);
        FBusCheckTimer->setInterval(TStatusService::BusCheckIntervalMsec);
        connect(FBusCheckTimer, &QTimer::timeout, this, &TStatusBusWorker::CheckBus);
        Join();
    }

    // The facts changed; they are told at most every MinSignalIntervalMsec.
    void FactsChanged()
    {
        FSnapshot->NoticePending = false;
        if (!FPublished || FSignalTimer->isActive())
            return;
        const qint64 since =
            FSinceSignal.isValid() ? FSinceSignal.elapsed() : TStatusService::MinSignalIntervalMsec;
        FSignalTimer->start(
            static_cast<int>(std::max<qint64>(0, TStatusService::MinSignalIntervalMsec - since)));
    }

signals:
    void StateChanged(int state, const QString& problem, const QString& details);

private:
    // Connects, puts the object on the bus and asks for the name.
    void Join()
    {
        QDBusConnection bus =
            FAddress.isEmpty()
                ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, FConnectionName)
                : QDBusConnection::connectToBus(FAddress, FConnectionName);
        if (!bus.isConnected()) {
            QDBusConnection::disconnectFromBus(FConnectionName);
            if (!FHadBus)
                qCInfo(VarnelConsoleLog)
                    << "No session bus: the console's status is not offered on it.";
            emit StateChanged(_bs_no_bus, {}, {});
            return;
        }
        FConnected = true;
        FHadBus = true;
        FBusCheckTimer->start();
        FBus = std::make_unique<QDBusConnection>(bus);
        FObject = new QObject(this);
        new TStatusAdaptor(FObject, *FSnapshot);
        if (!FBus->registerObject(TStatusService::ObjectPath, FObject,
                                  QDBusConnection::ExportAdaptors)) {
            qCWarning(VarnelConsoleLog).noquote()
                << "The object" << TStatusService::ObjectPath
                << "is already taken on the session bus; the console runs without its status "
                   "there.";
            emit StateChanged(_bs_no_bus, {}, {});
            return;
        }
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            FBus->interface()->registerService(TStatusService::ServiceName,
                                               QDBusConnectionInterface::DontQueueService,
                                               QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
            FBus->unregisterObject(TStatusService::ObjectPath);
            ReportNameTaken();
            return;
        }
        FPublished = true;
        FAnnounced = FSnapshot->Get();
        emit StateChanged(_bs_published, {}, {});
    }

    // Who holds the name: its process and that process's program, as far as
    // the bus and /proc tell.
    void ReportNameTaken()
    {
        const QDBusReply<uint> pid = FBus->interface()->servicePid(TStatusService::ServiceName);
        QString problem, details;
        if (pid.isValid() && pid.value() != 0) {
            const QString program =
                QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid.value())).symLinkTarget();
            const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
            if (!program.isEmpty() && program == self) {
                problem = QStringLiteral("Status bus: another console (process %1) offers its "
                                         "status, not this one")
                              .arg(pid.value());
            } else {
                problem = QStringLiteral("Status bus held by another program: process %1%2")
                              .arg(pid.value())
                              .arg(program.isEmpty()
                                       ? QString()
                                       : QStringLiteral(", ") + QFileInfo(program).fileName());
            }
            details = QStringLiteral("The name %1 on the session bus is held by process %2 (%3); "
                                     "this console's status is not offered there. Lab scripts "
                                     "that check the name's owner ignore that process; others "
                                     "may believe it.")
                          .arg(TStatusService::ServiceName)
                          .arg(pid.value())
                          .arg(program.isEmpty() ? QStringLiteral("program unknown") : program);
        } else {
            problem = QStringLiteral("Status bus: %1 is held by another program")
                          .arg(TStatusService::ServiceName);
            details = QStringLiteral("The name %1 on the session bus is held by another "
                                     "process; this console's status is not offered there.")
                          .arg(TStatusService::ServiceName);
        }
        qCWarning(VarnelConsoleLog).noquote() << details;
        emit StateChanged(_bs_name_taken, problem, details);
    }

    // Takes the object and the name off the bus and closes the connection.
    void Leave()
    {
        if (FSignalTimer)
            FSignalTimer->stop();
        if (FBus) {
            if (FPublished && FBus->isConnected()) {
                FBus->unregisterService(TStatusService::ServiceName);
                FBus->unregisterObject(TStatusService::ObjectPath);
            }
            FBus.reset();
        }
        delete FObject;
        FObject = nullptr;
        if (FConnected)
            QDBusConnection::disconnectFromBus(FConnectionName);
        FConnected = false;
        FPublished = false;
    }

    // A bus that went away is left; once one answers at the address again,
    // the service joins it.
    void CheckBus()
    {
        if (FConnected && FBus && FBus->isConnected())
            return;
        if (FConnected) {
            qCWarning(VarnelConsoleLog)
                << "The session bus went away; the console's status is offered again once it "
                   "is back.";
            Leave();
            emit StateChanged(_bs_no_bus, {}, {});
        }
        Join();
    }

    void SendChanges()
    {
        if (!FPublished)
            return;
        const TConsoleFacts facts = FSnapshot->Get();
        const QVariantMap changes = Changes(FAnnounced, facts);
        FAnnounced = facts;
        if (changes.isEmpty())
            return;
        QDBusMessage signal = QDBusMessage::createSignal(
            TStatusService::ObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("PropertiesChanged"));
        signal << TStatusService::InterfaceName << changes << QStringList();
        FBus->send(signal);
        FSinceSignal.restart();
    }

    std::shared_ptr<TFactsSnapshot> FSnapshot;
    const QString FAddress;
    const QString FConnectionName;
    std::unique_ptr<QDBusConnection> FBus;
    bool FConnected = false;
    // A bus was there once: only then is its loss worth a warning and a
    // new connection (without one, none is attempted again).
    bool FHadBus = false;
    bool FPublished = false;
    QObject* FObject = nullptr;
    // The facts as the last signal (or the registration) told them.
    TConsoleFacts FAnnounced;
    QTimer* FSignalTimer = nullptr;
    QTimer* FBusCheckTimer = nullptr;
    QElapsedTimer FSinceSignal;
};

TStatusService::TStatusService(const TLockHistory& history, const QString& busAddress,
                               QObject* parent)
    : QObject(parent), FSnapshot(std::make_shared<TFactsSnapshot>()), FThread(new QThread(this))
{
    FSnapshot->Set(history.Facts());
    FThread->setObjectName(QStringLiteral("varnel-status-bus"));
    FWorker = new TStatusBusWorker(FSnapshot, busAddress);
    FWorker->moveToThread(FThread);
    // The worker ends on its own thread, after that thread's last event.
    TStatusBusWorker* worker = FWorker;
    connect(
        FThread, &QThread::finished, worker, [worker] { delete worker; }, Qt::DirectConnection);
    connect(FThread, &QThread::started, worker, &TStatusBusWorker::Start);
    connect(FWorker, &TStatusBusWorker::StateChanged, this, &TStatusService::TakeState,
            Qt::QueuedConnection);
    connect(&history, &TLockHistory::FactsChanged, this, [this, &history] {
        FSnapshot->Set(history.Facts());
        if (!FSnapshot->NoticePending.exchange(true))
            QMetaObject::invokeMethod(FWorker, &TStatusBusWorker::FactsChanged,
                                      Qt::QueuedConnection);
    });
    FThread->start();
}

TStatusService::~TStatusService()
{
    FThread->quit();
    FThread->wait();
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

#include "StatusService.moc"
