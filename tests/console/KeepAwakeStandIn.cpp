// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the desktop portal and the desktop's screen saver (on the
// session bus) and the login manager (on the system bus), for the keep-awake
// tests. It answers Inhibit, UnInhibit and the portal request's Close as the
// real services do, refuses a call whose arguments do not match, and writes
// one line to standard output for every call it gets and for the release of
// the sleep lock:
//   portal Inhibit sua{sv} <window>|<flags>|<option>=<value>,...
//   portal Close <request path>[ refused]
//   session Inhibit ss <application>|<reason>
//   session UnInhibit u <cookie>
//   system Inhibit ssss <what>|<who>|<why>|<mode>
//   system released
// The portal's Inhibit hands out the request paths
// /org/freedesktop/portal/desktop/request/standin/1, .../2 and so on; a Close
// of any other path, or of one already closed, is refused, as is a call on
// the wrong interface.
// Usage: varnel_keepawake_standin SESSION-ADDRESS SYSTEM-ADDRESS COOKIE [noportal]
// "ready" is written once all names are owned; with "noportal" there is no
// portal on the session bus.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSet>
#include <QSocketNotifier>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

void Say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString Arguments(const QDBusMessage& message)
{
    QStringList texts;
    for (const QVariant& argument : message.arguments()) {
        if (argument.userType() != qMetaTypeId<QDBusArgument>()) {
            texts << argument.toString();
            continue;
        }
        // A dictionary of options, in the order of its keys.
        const QVariantMap options = qdbus_cast<QVariantMap>(argument);
        QStringList entries;
        for (auto option = options.cbegin(); option != options.cend(); ++option)
            entries << option.key() + QLatin1Char('=') + option.value().toString();
        texts << entries.join(QLatin1Char(','));
    }
    return texts.join(QLatin1Char('|'));
}

const QString RequestPrefix = QStringLiteral("/org/freedesktop/portal/desktop/request/standin/");

class TPortal : public QDBusVirtualObject
{
public:
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QString member = message.member();
        const QString signature = message.signature();
        if (member == QLatin1String("Close")) {
            const bool closed =
                message.interface() == QLatin1String("org.freedesktop.portal.Request") &&
                signature.isEmpty() && FOpen.remove(message.path());
            Say(QStringLiteral("portal Close ") + message.path() +
                (closed ? QString() : QStringLiteral(" refused")));
            if (closed)
                return connection.send(message.createReply());
        } else {
            Say(QStringLiteral("portal ") + member + QLatin1Char(' ') + signature +
                QLatin1Char(' ') + Arguments(message));
            if (message.interface() == QLatin1String("org.freedesktop.portal.Inhibit") &&
                member == QLatin1String("Inhibit") && signature == QLatin1String("sua{sv}") &&
                message.path() == QLatin1String("/org/freedesktop/portal/desktop")) {
                const QString request = RequestPrefix + QString::number(++FHandedOut);
                FOpen.insert(request);
                return connection.send(
                    message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            }
        }
        return connection.send(message.createErrorReply(
            QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"), QStringLiteral("refused")));
    }

private:
    int FHandedOut = 0;
    QSet<QString> FOpen;
};

class TStandIn : public QDBusVirtualObject
{
public:
    TStandIn(const QString& bus, uint32_t cookie) : FBus(bus), FCookie(cookie) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QString member = message.member();
        const QString signature = message.signature();
        Say(FBus + QLatin1Char(' ') + member + QLatin1Char(' ') + signature + QLatin1Char(' ') +
            Arguments(message));
        if (FBus == QLatin1String("session") && member == QLatin1String("Inhibit") &&
            signature == QLatin1String("ss"))
            return connection.send(message.createReply(QVariant::fromValue(FCookie)));
        if (FBus == QLatin1String("session") && member == QLatin1String("UnInhibit") &&
            signature == QLatin1String("u"))
            return connection.send(message.createReply());
        if (FBus == QLatin1String("system") && member == QLatin1String("Inhibit") &&
            signature == QLatin1String("ssss"))
            return connection.send(message.createReply(QVariant::fromValue(SleepLock())));
        return connection.send(message.createErrorReply(
            QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"), QStringLiteral("refused")));
    }

private:
    // The caller gets the writing end of a pipe; once every copy of it is
    // closed, the reading end here sees the end of the stream.
    QDBusUnixFileDescriptor SleepLock()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        const QDBusUnixFileDescriptor lock(ends[1]);
        ::close(ends[1]);
        auto* watch = new QSocketNotifier(ends[0], QSocketNotifier::Read, qApp);
        QObject::connect(watch, &QSocketNotifier::activated, watch, [watch, fd = ends[0]] {
            char byte = 0;
            if (::read(fd, &byte, 1) > 0)
                return;
            Say(QStringLiteral("system released"));
            watch->setEnabled(false);
        });
        return lock;
    }

    QString FBus;
    uint32_t FCookie;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const bool withPortal = argc == 4;
    if (argc != 4 && !(argc == 5 && QByteArray(argv[4]) == "noportal")) {
        std::fprintf(stderr, "usage: %s SESSION-ADDRESS SYSTEM-ADDRESS COOKIE [noportal]\n",
                     argv[0]);
        return 2;
    }
    QDBusConnection session =
        QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), QStringLiteral("session"));
    QDBusConnection system =
        QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[2]), QStringLiteral("system"));
    TStandIn screenSaver(QStringLiteral("session"), QByteArray(argv[3]).toUInt());
    TStandIn login(QStringLiteral("system"), 0);
    TPortal portal;
    if (withPortal &&
        (!session.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                        QDBusConnection::SubPath) ||
         !session.registerService(QStringLiteral("org.freedesktop.portal.Desktop")))) {
        std::fprintf(stderr, "cannot register the stand-in portal\n");
        return 1;
    }
    if (!session.registerVirtualObject(QStringLiteral("/org/freedesktop/ScreenSaver"),
                                       &screenSaver) ||
        !session.registerService(QStringLiteral("org.freedesktop.ScreenSaver")) ||
        !system.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &login) ||
        !system.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "cannot register the stand-in services\n");
        return 1;
    }
    Say(QStringLiteral("ready"));
    return QCoreApplication::exec();
}
