// SPDX-License-Identifier: GPL-3.0-or-later
// What the publishers tell the window shows on the device panel's status
// line: the metrics endpoint's address, and the status bus's problem, which
// share the line.
#include "console/publish/MetricsEndpoint.h"

#include "console/MainUnit.h"
#include "console/SystemSounds.h"

#include "ConsoleTestSupport.h"

#include <gtest/gtest.h>

#include <QLabel>

TEST(MetricsNoticeOnTheWindow, TheStatusLineTellsWhereTheEndpointServesNextToTheBusProblem)
{
    auto bridge = std::make_shared<TFakeLine>();
    TConsoleEnvironment environment = FakeLineEnvironment(bridge);
    environment.PlaySound = [](TSystemSound) {};
    TMainForm form(environment);
    form.show();
    const QRect statusPlace = form.StatusLabel->geometry();

    TMetricsEndpoint everywhere(QStringLiteral("0.0.0.0:0"));
    ASSERT_TRUE(everywhere.IsListening()) << everywhere.Error().toStdString();
    const TMetricsNotice warning = DescribeMetricsEndpoint(everywhere, QStringLiteral("0.0.0.0:0"));
    form.ShowMetricsNotice(warning.Text, warning.Details, warning.Warning);
    ASSERT_NE(form.StatusBusLabel(), nullptr);
    const QLabel& line = *form.StatusBusLabel();
    EXPECT_FALSE(line.isHidden());
    EXPECT_TRUE(line.text().contains(QStringLiteral("every interface")))
        << line.text().toStdString();
    EXPECT_TRUE(line.styleSheet().contains(QStringLiteral("#b00000")));
    EXPECT_TRUE(line.toolTip().contains(QStringLiteral("127.0.0.1")));

    // The bus's problem and the endpoint share the line; each goes alone.
    form.ShowStatusBusProblem(QStringLiteral("Status bus: name held by another program"));
    EXPECT_TRUE(line.text().startsWith(QStringLiteral("Status bus"))) << line.text().toStdString();
    EXPECT_TRUE(line.toolTip().contains(QStringLiteral("every interface")));
    const TMetricsNotice plain = DescribeMetricsEndpoint(
        TMetricsEndpoint(QStringLiteral("127.0.0.1:0")), QStringLiteral("127.0.0.1:0"));
    form.ShowMetricsNotice(plain.Text, plain.Details, plain.Warning);
    form.ShowStatusBusProblem(QString());
    EXPECT_FALSE(line.isHidden());
    EXPECT_TRUE(line.text().startsWith(QStringLiteral("Metrics at http://127.0.0.1:")))
        << line.text().toStdString();
    EXPECT_FALSE(line.styleSheet().contains(QStringLiteral("#b00000")));
    form.ShowMetricsNotice(QString(), QString(), false);
    EXPECT_TRUE(line.isHidden());
    EXPECT_EQ(form.StatusLabel->geometry(), statusPlace);
    form.close();
}
