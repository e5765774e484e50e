// SPDX-License-Identifier: GPL-3.0-or-later
// Another program on the status bus, for the tests:
//   StatusBusClient ADDRESS squat          holds org.varnel.Console1 and
//                                          answers Locked=true until killed
//   StatusBusClient ADDRESS flood COUNT    sends COUNT GetAll calls to the
//                                          console without waiting for any,
//                                          then waits for the last answer
// It prints "ready" once it holds the name or has sent every call, and exits
// 0 when the last call was answered.
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>

#include <cstdio>

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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3)
        return 2;
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
