#include "SleepPreventionUnit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>

namespace {

// A missing service must not hold up the start for long.
constexpr int BusTimeoutMs = 1500;

const QString ScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString ScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString LoginService = QStringLiteral("org.freedesktop.login1");
const QString LoginPath = QStringLiteral("/org/freedesktop/login1");
const QString LoginManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString Who = QStringLiteral("Varnel console");
const QString Why = QStringLiteral("Laser controller console running");

} // namespace

TSleepPrevention::~TSleepPrevention()
{
    Stop();
}

void TSleepPrevention::Start()
{
    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected() && !FDisplayInhibited) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            ScreenSaverService, ScreenSaverPath, ScreenSaverService, QStringLiteral("Inhibit"));
        call << Who << Why;
        const QDBusMessage reply = session.call(call, QDBus::Block, BusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("u")) {
            FScreenSaverCookie = reply.arguments().constFirst().toUInt();
            FDisplayInhibited = true;
        }
    }

    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected() && !FSleepLock.isValid()) {
        QDBusMessage call = QDBusMessage::createMethodCall(LoginService, LoginPath, LoginManager,
                                                           QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep:idle") << Who << Why << QStringLiteral("block");
        const QDBusMessage reply = system.call(call, QDBus::Block, BusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("h"))
            FSleepLock = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    }
}

void TSleepPrevention::Stop()
{
    if (FDisplayInhibited) {
        QDBusConnection session = QDBusConnection::sessionBus();
        if (session.isConnected()) {
            QDBusMessage call =
                QDBusMessage::createMethodCall(ScreenSaverService, ScreenSaverPath,
                                               ScreenSaverService, QStringLiteral("UnInhibit"));
            call << FScreenSaverCookie;
            session.call(call, QDBus::Block, BusTimeoutMs);
        }
        FDisplayInhibited = false;
        FScreenSaverCookie = 0;
    }
    // The login manager holds the lock for as long as our copy of the
    // descriptor is open; dropping it releases the lock.
    FSleepLock = QDBusUnixFileDescriptor();
}
