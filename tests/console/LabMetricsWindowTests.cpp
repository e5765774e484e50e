// SPDX-License-Identifier: GPL-3.0-or-later
// The console's metrics as a lab's Prometheus sees them while the window
// connects to the controller model, locks and loses its lock.
#include "ConsoleTestSupport.h"
#include "PrometheusWait.h"

#include "console/MainUnit.h"
#include "console/SystemSounds.h"
#include "console/publish/LabMetrics.h"
#include "protocol/MainThreadCallList.h"
#include "sim/ControllerModel.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using VarnelHttp::TPrometheusProcess;

TEST(LabMetrics, PrometheusSeesTheLockAndItsLoss)
{
    if (TPrometheusProcess::Program().empty())
        GTEST_SKIP() << "prometheus is not installed (scripts/deps installs it)";
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
    TLabMetrics metrics(form->LockHistory(), QStringLiteral("127.0.0.1:0"), QStringLiteral("test"));
    ASSERT_TRUE(metrics.Endpoint().IsListening()) << metrics.Endpoint().Error().toStdString();

    QTemporaryDir folder;
    TPrometheusProcess prometheus(folder.path().toStdString());
    ASSERT_TRUE(prometheus.Start({{metrics.Endpoint().Address().toStdString(), {}}}))
        << prometheus.Log();

    // Connected by the simple menu, not locked: Prometheus says so.
    form->show();
    EXPECT_EQ(WaitForValue(prometheus, "varnel_connected", [](double v) { return v == 1; }), 1);
    EXPECT_EQ(WaitForValue(prometheus, "varnel_locked", [](double v) { return v == 0; }), 0);

    QTest::mouseClick(form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
    EXPECT_EQ(WaitForValue(prometheus, "varnel_locked", [](double v) { return v == 1; }), 1);
    std::vector<TPrometheusProcess::TSeries> peak;
    ASSERT_TRUE(prometheus.Query("varnel_locked_peak_info", peak));
    ASSERT_EQ(peak.size(), 1u);
    EXPECT_EQ(peak[0].Labels.at("peak"), "f");

    // Knocked until a knock is not ridden out; the loss is confirmed and
    // counted, and Prometheus sees the counter rise.
    for (int knock = 0; knock < 20 && form->LockHistory().Facts().Supervision.LockLosses == 0;
         ++knock) {
        (void)QTest::qWaitFor([&] { return form->LockHistory().Facts().Locked; }, 10000);
        model.Knock();
        QTest::qWait(5000);
    }
    ASSERT_GE(form->LockHistory().Facts().Supervision.LockLosses, 1u);
    EXPECT_GE(WaitForValue(prometheus, "varnel_lock_losses_total", [](double v) { return v >= 1; }),
              1);
    std::string raw;
    std::vector<TPrometheusProcess::TSeries> result;
    prometheus.Query("varnel_lock_losses_total", result, &raw);
    std::printf("Prometheus answered: %s\n", raw.c_str());

    form->close();
    QCoreApplication::processEvents();
    TMainThreadCallList::Instance().RunPending();
}
