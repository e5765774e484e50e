// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusBusSupport.h"

#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

QString BusAddress;

const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

bool Published(const TStatusService& service)
{
    return QTest::qWaitFor([&] { return service.State() != _bs_starting; }, 30000) &&
           service.IsPublished();
}

// What the signals have told so far, one value per property.
QVariantMap Announced(const std::vector<QVariantMap>& signalList)
{
    QVariantMap all;
    for (const QVariantMap& changed : signalList)
        for (auto it = changed.begin(); it != changed.end(); ++it)
            all.insert(it.key(), it.value());
    return all;
}

int RunOnPrivateBus()
{
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
