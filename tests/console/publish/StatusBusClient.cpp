// SPDX-License-Identifier: GPL-3.0-or-later
// Another program on the status bus, for the tests:
//   StatusBusClient ADDRESS squat          holds org.varnel.Console1 and
//                                          answers Locked=true until killed
//   StatusBusClient ADDRESS flood COUNT    sends COUNT GetAll calls to the
//                                          console without waiting for any,
//                                          then waits for the last answer
//   StatusBusClient ADDRESS drown COUNT    sends COUNT GetAll calls that want
//                                          no answer, as fast as the bus
//                                          takes them
//   StatusBusClient ADDRESS ask COUNT      likewise calls that want an
//                                          answer, and reads none
// It prints "ready" once it holds the name or has sent every call, and exits
// 0 when the last call was answered (or, drowning, every call sent).
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>

#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>

namespace {

const QString Name = QStringLiteral("org.varnel.Console1");
const QString Path = QStringLiteral("/org/varnel/Console1");

class TFakeConsole : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.varnel.Console1")
    Q_PROPERTY(bool Locked READ Locked)
    Q_PROPERTY(QString LockedPeak READ LockedPeak)

public:
    explicit TFakeConsole(QObject* object) : QDBusAbstractAdaptor(object) {}
    bool Locked() const { return true; }
    QString LockedPeak() const { return QStringLiteral("f"); }
};

// Calls that want no answer, sent with a client of their own that keeps
// only a few in hand (it waits for the bus to take them), so that the flood
// costs this program nothing and the bus and the console everything.
int Drown(const QByteArray& address, long count, bool wantAnswers)
{
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_address(bus, address.constData());
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    uint64_t cookie = 0;
    for (long i = 0; r >= 0 && i < count; ++i) {
        sd_bus_message* call = nullptr;
        r = sd_bus_message_new_method_call(bus, &call, "org.varnel.Console1",
                                           "/org/varnel/Console1",
                                           "org.freedesktop.DBus.Properties", "GetAll");
        if (r >= 0)
            r = sd_bus_message_append(call, "s", "org.varnel.Console1");
        if (r >= 0)
            r = sd_bus_message_set_expect_reply(call, wantAnswers ? 1 : 0);
        if (r >= 0)
            // (Without a place for its cookie, a call is sent as wanting no answer.)
            r = sd_bus_send(bus, call, wantAnswers ? &cookie : nullptr);
        sd_bus_message_unref(call);
        if (r >= 0 && i % 1000 == 999)
            r = sd_bus_flush(bus);
    }
    if (r >= 0)
        r = sd_bus_flush(bus);
    sd_bus_flush_close_unref(bus);
    if (r < 0) {
        std::fprintf(stderr, "drown: %s\n", std::strerror(-r));
        return 6;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3)
        return 2;
    if (arguments[2] == QLatin1String("drown") || arguments[2] == QLatin1String("ask"))
        return Drown(arguments[1].toUtf8(), arguments.value(3).toLong(),
                     arguments[2] == QLatin1String("ask"));
    QDBusConnection bus = QDBusConnection::connectToBus(arguments[1], QStringLiteral("client"));
    if (!bus.isConnected())
        return 3;

    if (arguments[2] == QLatin1String("squat")) {
        QObject object;
        new TFakeConsole(&object);
        if (!bus.registerObject(Path, &object, QDBusConnection::ExportAdaptors) ||
            !bus.registerService(Name))
            return 4;
        std::printf("ready\n");
        std::fflush(stdout);
        return QCoreApplication::exec();
    }

    const long count = arguments.value(3).toLong();
    QDBusMessage call = QDBusMessage::createMethodCall(
        Name, Path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call << Name;
    QDBusPendingCall last = bus.asyncCall(call, 600000);
    for (long i = 1; i < count; ++i)
        last = bus.asyncCall(call, 600000);
    std::printf("ready\n");
    std::fflush(stdout);
    last.waitForFinished();
    return last.isError() ? 5 : 0;
}

#include "StatusBusClient.moc"
