// A stand-in for the desktop's screen saver (on the session bus) and the
// login manager (on the system bus), for the keep-awake tests. It answers
// Inhibit and UnInhibit as the real services do, refuses a call whose
// arguments do not match, and writes one line to standard output for every
// call it gets and for the release of the sleep lock:
//   session Inhibit ss <application>|<reason>
//   session UnInhibit u <cookie>
//   system Inhibit ssss <what>|<who>|<why>|<mode>
//   system released
// Usage: varnel_keepawake_standin SESSION-ADDRESS SYSTEM-ADDRESS COOKIE
// "ready" is written once both names are owned.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>

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
    for (const QVariant& argument : message.arguments())
        texts << argument.toString();
    return texts.join(QLatin1Char('|'));
}

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
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SESSION-ADDRESS SYSTEM-ADDRESS COOKIE\n", argv[0]);
        return 2;
    }
    QDBusConnection session =
        QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), QStringLiteral("session"));
    QDBusConnection system =
        QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[2]), QStringLiteral("system"));
    TStandIn screenSaver(QStringLiteral("session"), QByteArray(argv[3]).toUInt());
    TStandIn login(QStringLiteral("system"), 0);
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
