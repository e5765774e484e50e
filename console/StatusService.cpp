#include "console/StatusService.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>

const QString TStatusService::ServiceName = QStringLiteral("org.varnel.Console1");
const QString TStatusService::ObjectPath = QStringLiteral("/org/varnel/Console1");
const QString TStatusService::InterfaceName = QStringLiteral("org.varnel.Console1");

namespace {

// The interface: properties only, each read from the history's facts.
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

public:
    TStatusAdaptor(QObject* object, const TLockHistory& history)
        : QDBusAbstractAdaptor(object), FHistory(history)
    {
    }

    bool Connected() const { return FHistory.Facts().Connected; }
    QString Device() const { return FHistory.Facts().Device; }
    uint StatusCode() const { return FHistory.Facts().StatusCode; }
    QString StatusText() const { return FHistory.Facts().StatusText; }
    bool Locked() const { return FHistory.Facts().Locked; }
    QString LockedPeak() const { return FHistory.Facts().LockedPeak; }
    double LockedFrequency() const { return FHistory.Facts().LockedFrequency; }
    double CFT() const { return FHistory.Facts().CFT; }
    uint TuningMirror() const { return FHistory.Facts().TuningMirror; }
    uint StabilizationMirror() const { return FHistory.Facts().StabilizationMirror; }
    uint WorkingTime() const { return FHistory.Facts().WorkingTime; }

private:
    const TLockHistory& FHistory;
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
    return changes;
}

} // namespace

TStatusService::TStatusService(const TLockHistory& history, QDBusConnection bus, QObject* parent)
    : QObject(parent), FHistory(history), FBus(std::move(bus)), FAnnounced(history.Facts())
{
    FSignalTimer.setSingleShot(true);
    // A precise timer never fires early, so signals keep their distance.
    FSignalTimer.setTimerType(Qt::PreciseTimer);
    connect(&FSignalTimer, &QTimer::timeout, this, &TStatusService::SendChanges);
    connect(&history, &TLockHistory::FactsChanged, this, &TStatusService::FactsChanged);

    if (!FBus.isConnected()) {
        qCInfo(VarnelConsoleLog) << "No session bus: the console's status is not offered on it.";
        return;
    }
    FObject = new QObject(this);
    new TStatusAdaptor(FObject, history);
    if (!FBus.registerObject(ObjectPath, FObject, QDBusConnection::ExportAdaptors)) {
        qCWarning(VarnelConsoleLog).noquote()
            << "The object" << ObjectPath
            << "is already taken on the session bus; the console runs without its status there.";
        return;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        FBus.interface()->registerService(ServiceName, QDBusConnectionInterface::DontQueueService,
                                          QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        FBus.unregisterObject(ObjectPath);
        qCWarning(VarnelConsoleLog).noquote()
            << "Another console holds" << ServiceName
            << "on the session bus; this one runs without the status interface.";
        return;
    }
    FPublished = true;
}

TStatusService::~TStatusService()
{
    if (!FPublished)
        return;
    FBus.unregisterService(ServiceName);
    FBus.unregisterObject(ObjectPath);
}

void TStatusService::FactsChanged()
{
    if (!FPublished || FSignalTimer.isActive())
        return;
    const qint64 since = FSinceSignal.isValid() ? FSinceSignal.elapsed() : MinSignalIntervalMsec;
    FSignalTimer.start(static_cast<int>(std::max<qint64>(0, MinSignalIntervalMsec - since)));
}

void TStatusService::SendChanges()
{
    const TConsoleFacts& facts = FHistory.Facts();
    const QVariantMap changes = Changes(FAnnounced, facts);
    FAnnounced = facts;
    if (changes.isEmpty())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(ObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << InterfaceName << changes << QStringList();
    FBus.send(signal);
    FSinceSignal.restart();
}

#include "StatusService.moc"
