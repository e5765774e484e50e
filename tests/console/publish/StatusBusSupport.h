// SPDX-License-Identifier: GPL-3.0-or-later
// What the status bus's tests share: a private session bus this program
// starts before any test, a client on it, and another program on it.
#pragma once

#include "console/publish/StatusService.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <vector>

// The private bus's address, once RunOnPrivateBus has started it.
extern QString BusAddress;

extern const QString PropertiesInterface;

// Runs the tests on a session bus of their own (a dbus-daemon started here,
// in place before anything could connect to the desktop's; the programs the
// tests start find it in the environment). Call after InitGoogleTest, with
// the application made.
int RunOnPrivateBus();

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
QVariantMap Announced(const std::vector<QVariantMap>& signalList);

// Waits until the service has tried its bus; true when it is published.
bool Published(const TStatusService& service);

// Another program on the bus, started from the helper; it is killed at the
// end of the test.
class TOtherProgram
{
public:
    TOtherProgram(const QString& address, const QStringList& arguments)
    {
        FProcess.start(QStringLiteral(VARNEL_STATUSBUS_CLIENT), QStringList{address} + arguments);
    }
    ~TOtherProgram()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(30000);
        }
    }
    TOtherProgram(const TOtherProgram&) = delete;
    TOtherProgram& operator=(const TOtherProgram&) = delete;

    // Waits until it has said "ready", with the event loop running.
    bool Ready()
    {
        return QTest::qWaitFor(
                   [&] {
                       FSaid += FProcess.readAllStandardOutput();
                       return FSaid.contains("ready\n") || FProcess.state() == QProcess::NotRunning;
                   },
                   300000) &&
               FSaid.contains("ready\n");
    }
    QProcess& Process() { return FProcess; }

private:
    QProcess FProcess;
    QByteArray FSaid;
};
