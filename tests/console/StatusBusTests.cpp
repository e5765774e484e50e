// The console's status on a private session bus (a dbus-daemon this program
// starts): the values follow the window through connect, lock and link loss
// against the controller model, the lab page's script sees the lock, the
// changes are coalesced, nothing on the bus can change anything, and a
// second console leaves the name to the first.
#include "ConsoleTestSupport.h"

#include "console/GlobalUnit.h"
#include "console/LockHistory.h"
#include "console/MainUnit.h"
#include "console/StatusService.h"
#include "protocol/MainThreadCallList.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QString BusAddress;

const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Another program on the bus: its own connection, which the test waits on
// with the event loop running, so that the console can answer.
class TClient : public QObject
{
    Q_OBJECT

public:
    explicit TClient(const QString& name)
        : FName(name), FBus(QDBusConnection::connectToBus(BusAddress, name))
    {
        FBus.connect(TStatusService::ServiceName, TStatusService::ObjectPath, PropertiesInterface,
                     QStringLiteral("PropertiesChanged"), this,
                     SLOT(PropertiesChanged(QString, QVariantMap, QStringList)));
    }
    ~TClient() override { QDBusConnection::disconnectFromBus(FName); }

    // The reply of a call to the console; an error reply as it came.
    QDBusMessage Call(const QString& interface, const QString& method,
                      const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            TStatusService::ServiceName, TStatusService::ObjectPath, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = FBus.asyncCall(message);
        if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 30000))
            return {};
        return pending.reply();
    }

    QVariantMap GetAll()
    {
        const QDBusMessage reply =
            Call(PropertiesInterface, QStringLiteral("GetAll"), {TStatusService::InterfaceName});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return qdbus_cast<QVariantMap>(reply.arguments().first());
    }

    // Waits until GetAll satisfies the condition; the last answer stays in Last.
    bool WaitFor(const std::function<bool(const QVariantMap&)>& condition, int ms = 30000)
    {
        return QTest::qWaitFor(
            [&] {
                Last = GetAll();
                return condition(Last);
            },
            ms);
    }

    QDBusConnection& Bus() { return FBus; }

    QVariantMap Last;
    // Every PropertiesChanged of the console's interface, in order.
    std::vector<QVariantMap> Signals;

public slots:
    void PropertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated)
    {
        if (interface == TStatusService::InterfaceName && invalidated.isEmpty())
            Signals.push_back(changed);
    }

private:
    QString FName;
    QDBusConnection FBus;
};

// What the signals have told so far, one value per property.
QVariantMap Announced(const std::vector<QVariantMap>& signalList)
{
    QVariantMap all;
    for (const QVariantMap& changed : signalList)
        for (auto it = changed.begin(); it != changed.end(); ++it)
            all.insert(it.key(), it.value());
    return all;
}

// The script of the lab page's python block.
QString PageScript()
{
    QFile file(QStringLiteral(VARNEL_LAB_PAGE));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString page = QString::fromUtf8(file.readAll());
    const qsizetype start = page.indexOf(QLatin1String("```python\n"));
    if (start < 0)
        return {};
    const qsizetype body = start + 10;
    return page.mid(body, page.indexOf(QLatin1String("\n```"), body) - body + 1);
}

TEST(StatusBus, FollowsTheConsoleThroughConnectLockAndLinkLossAndTheLabScriptSeesTheLock)
{
    const QString script = PageScript();
    ASSERT_FALSE(script.isEmpty()) << "no python block on the lab page";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile scriptFile(dir.filePath(QStringLiteral("wait-for-lock.py")));
    ASSERT_TRUE(scriptFile.open(QIODevice::WriteOnly));
    scriptFile.write(script.toUtf8());
    scriptFile.close();

    auto bridge = std::make_shared<TFakeLine>();
    bridge->SetDevices({QStringLiteral("KWTP Controller")});
    VarnelSim::TModelOptions options;
    options.ScopeRate = 0;
    options.ServiceRate = 0;
    VarnelSim::TControllerModel model(options);
    auto line = std::make_unique<TModelLine>(*bridge, model);
    TConsoleEnvironment environment = FakeLineEnvironment(bridge);
    environment.PlaySound = [](TSystemSound) {};
    auto form = std::make_unique<TMainForm>(environment);
    auto service = std::make_unique<TStatusService>(form->LockHistory());
    ASSERT_TRUE(service->IsPublished());
    TClient client(QStringLiteral("lab"));

    // Before any controller: idle values.
    ASSERT_TRUE(client.WaitFor([](const QVariantMap& p) { return p.size() == 11; }))
        << client.Last.size();
    EXPECT_EQ(client.Last.value(QStringLiteral("Connected")), QVariant(false));
    EXPECT_EQ(client.Last.value(QStringLiteral("Device")), QVariant(QString()));
    EXPECT_EQ(client.Last.value(QStringLiteral("Locked")), QVariant(false));

    // The lab's script waits for the lock on f while the console connects.
    QProcess lab;
    lab.setProcessChannelMode(QProcess::MergedChannels);
    lab.start(QStringLiteral("python3"), {scriptFile.fileName(), QStringLiteral("300")});
    ASSERT_TRUE(lab.waitForStarted(30000));

    form->show();
    ASSERT_TRUE(client.WaitFor([](const QVariantMap& p) {
        return p.value(QStringLiteral("StatusCode")).toUInt() == 14;
    })) << client.Last.value(QStringLiteral("StatusCode")).toUInt();
    EXPECT_EQ(client.Last.value(QStringLiteral("Connected")), QVariant(true));
    EXPECT_EQ(client.Last.value(QStringLiteral("Device")),
              QVariant(QStringLiteral("KWTP Controller")));
    EXPECT_EQ(client.Last.value(QStringLiteral("StatusText")),
              QVariant(QStringLiteral("wait for user")));
    EXPECT_EQ(client.Last.value(QStringLiteral("Locked")), QVariant(false));
    EXPECT_GT(client.Last.value(QStringLiteral("WorkingTime")).toUInt(), 0u);
    EXPECT_EQ(client.Last.value(QStringLiteral("WorkingTime")).toUInt(),
              form->LockHistory().Facts().WorkingTime);
    // Not locked yet: the script keeps waiting.
    EXPECT_EQ(lab.state(), QProcess::Running) << lab.readAll().toStdString();

    QTest::mouseClick(form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
    ASSERT_TRUE(client.WaitFor(
        [](const QVariantMap& p) { return p.value(QStringLiteral("Locked")).toBool(); }, 60000));
    EXPECT_EQ(client.Last.value(QStringLiteral("LockedPeak")), QVariant(QStringLiteral("f")));
    EXPECT_EQ(client.Last.value(QStringLiteral("LockedFrequency")).toDouble(),
              form->GetFPeakValue());
    EXPECT_EQ(client.Last.value(QStringLiteral("StatusCode")).toUInt(), 3u);
    EXPECT_EQ(client.Last.value(QStringLiteral("StatusText")),
              QVariant(QStringLiteral("tuning - locked")));

    ASSERT_TRUE(QTest::qWaitFor([&] { return lab.state() == QProcess::NotRunning; }, 60000));
    const QByteArray said = lab.readAll();
    EXPECT_EQ(lab.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(lab.exitCode(), 0) << said.toStdString();
    EXPECT_TRUE(said.startsWith("locked on f")) << said.toStdString();

    // The signals have told the lab the same.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Announced(client.Signals).value(QStringLiteral("Locked")).toBool(); }, 30000));
    EXPECT_EQ(Announced(client.Signals).value(QStringLiteral("LockedPeak")),
              QVariant(QStringLiteral("f")));

    // The controller is unplugged: nothing locked is left on the bus.
    bridge->SetDevices({});
    bridge->SetUnplugged(true);
    ASSERT_TRUE(client.WaitFor(
        [](const QVariantMap& p) { return !p.value(QStringLiteral("Connected")).toBool(); }));
    EXPECT_EQ(client.Last.value(QStringLiteral("Locked")), QVariant(false));
    EXPECT_EQ(client.Last.value(QStringLiteral("LockedPeak")), QVariant(QString()));
    EXPECT_EQ(client.Last.value(QStringLiteral("Device")), QVariant(QString()));
    EXPECT_EQ(client.Last.value(QStringLiteral("StatusCode")).toUInt(), 0u);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return Announced(client.Signals).value(QStringLiteral("Connected")) == QVariant(false);
        },
        30000));
    EXPECT_EQ(Announced(client.Signals).value(QStringLiteral("Locked")), QVariant(false));

    line.reset();
    service.reset();
    form->DisconnectButtonClick();
    QCoreApplication::processEvents();
    TMainThreadCallList::Instance().RunPending();
    form.reset();
}

TEST(StatusBus, NothingOnTheBusCanChangeTheStatusOrCommandTheController)
{
    TLockHistory history;
    history.Connected(QStringLiteral("KWTP Controller"));
    TStatusService service(history);
    ASSERT_TRUE(service.IsPublished());
    TClient client(QStringLiteral("intruder"));

    const QDBusMessage introspection = client.Call(
        QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"), {});
    ASSERT_EQ(introspection.type(), QDBusMessage::ReplyMessage);
    const QString xml = introspection.arguments().value(0).toString();
    const qsizetype start =
        xml.indexOf(QStringLiteral("<interface name=\"%1\">").arg(TStatusService::InterfaceName));
    ASSERT_GE(start, 0) << xml.toStdString();
    const QString own = xml.mid(start, xml.indexOf(QLatin1String("</interface>"), start) - start);
    EXPECT_EQ(own.count(QLatin1String("<property ")), 11) << own.toStdString();
    EXPECT_EQ(own.count(QLatin1String("access=\"read\"")), 11) << own.toStdString();
    EXPECT_FALSE(own.contains(QLatin1String("<method"))) << own.toStdString();
    EXPECT_FALSE(own.contains(QLatin1String("<signal"))) << own.toStdString();

    // Setting a property is refused, and nothing changes.
    const TConsoleFacts before = history.Facts();
    for (const auto& [name, value] :
         {std::pair{QStringLiteral("Connected"), QVariant(false)},
          std::pair{QStringLiteral("StatusCode"), QVariant(3u)},
          std::pair{QStringLiteral("LockedPeak"), QVariant(QStringLiteral("f"))}}) {
        const QDBusMessage reply = client.Call(
            PropertiesInterface, QStringLiteral("Set"),
            {TStatusService::InterfaceName, name, QVariant::fromValue(QDBusVariant(value))});
        EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage) << name.toStdString();
    }
    // Nor does a method of the console's interface exist to call.
    EXPECT_EQ(client.Call(TStatusService::InterfaceName, QStringLiteral("Lock"), {}).type(),
              QDBusMessage::ErrorMessage);
    EXPECT_EQ(history.Facts(), before);
    EXPECT_EQ(client.GetAll().value(QStringLiteral("Connected")), QVariant(true));
}

TEST(StatusBus, ChangesAreCoalescedToAtMostTenSignalsASecond)
{
    TLockHistory history;
    TStatusService service(history);
    ASSERT_TRUE(service.IsPublished());
    TClient client(QStringLiteral("watcher"));
    // The client's match rule is in place once a call has gone through.
    ASSERT_FALSE(client.GetAll().isEmpty());
    history.Connected(QStringLiteral("KWTP Controller"));

    // A mirror that moves every few milliseconds for a second, and at least
    // fifty times however slow the machine is.
    QElapsedTimer elapsed;
    elapsed.start();
    uint32_t position = 0;
    for (int moves = 0; moves < 50 || elapsed.elapsed() < 1000; ++moves) {
        history.TuningMirror(position = static_cast<uint32_t>(moves) + 1);
        QTest::qWait(2);
    }
    const qint64 burst = elapsed.elapsed();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return Announced(client.Signals).value(QStringLiteral("TuningMirror")).toUInt() ==
                   position;
        },
        30000))
        << position;
    // The signals are at least 100 ms apart; the last may come up to 100 ms
    // after the burst.
    const qint64 span = elapsed.elapsed();
    EXPECT_LE(static_cast<qint64>(client.Signals.size()), span / 100 + 1)
        << client.Signals.size() << " signals in " << span << " ms";
    EXPECT_GE(client.Signals.size(), 2u) << burst;
    EXPECT_EQ(Announced(client.Signals).value(QStringLiteral("Connected")), QVariant(true));
    EXPECT_EQ(Announced(client.Signals).value(QStringLiteral("Device")),
              QVariant(QStringLiteral("KWTP Controller")));
    // Only what changed is told.
    for (size_t i = 1; i < client.Signals.size(); ++i)
        EXPECT_EQ(client.Signals[i].keys(), QStringList{QStringLiteral("TuningMirror")});
}

TEST(StatusBus, ASecondConsoleRunsWithoutTheInterfaceAndSaysSo)
{
    TLockHistory first;
    first.Connected(QStringLiteral("KWTP Controller"));
    auto firstService = std::make_unique<TStatusService>(first);
    ASSERT_TRUE(firstService->IsPublished());

    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (type == QtWarningMsg && QLatin1String(context.category) == "varnel.console")
                warnings << text;
        });
    {
        const QString name = QStringLiteral("second console");
        QDBusConnection secondBus = QDBusConnection::connectToBus(BusAddress, name);
        TLockHistory second;
        TStatusService secondService(second, secondBus);
        EXPECT_FALSE(secondService.IsPublished());
        second.Connected(QStringLiteral("KWTP Spare"));
        QDBusConnection::disconnectFromBus(name);
    }
    qInstallMessageHandler(previous);
    ASSERT_EQ(warnings.size(), 1) << warnings.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(warnings[0].contains(TStatusService::ServiceName)) << warnings[0].toStdString();

    // The first console still answers, with its own values.
    TClient client(QStringLiteral("lab"));
    EXPECT_EQ(client.GetAll().value(QStringLiteral("Device")),
              QVariant(QStringLiteral("KWTP Controller")));

    // When it ends, the name is free again.
    firstService.reset();
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return !QDBusConnection::sessionBus().interface()->isServiceRegistered(
                TStatusService::ServiceName);
        },
        30000));
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    // A session bus of its own, in place before anything could connect to
    // the desktop's; the programs the tests start find it in the environment.
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address=1")});
    if (!daemon.waitForStarted(30000) || !daemon.waitForReadyRead(30000)) {
        std::fprintf(stderr, "cannot start dbus-daemon\n");
        return 1;
    }
    while (!daemon.canReadLine() && daemon.waitForReadyRead(30000)) {
    }
    BusAddress = QString::fromUtf8(daemon.readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", BusAddress.toUtf8());
    const int result = RUN_ALL_TESTS();
    daemon.terminate();
    daemon.waitForFinished(30000);
    return result;
}

#include "StatusBusTests.moc"
