// SPDX-License-Identifier: GPL-3.0-or-later
// The console's metrics as a lab's Prometheus sees them, without a window:
// Debian's prometheus scraping the metrics of a lock history fed directly,
// its counters across reconnects and the figures it does not know, and two
// console programs on two simulators, told apart by their devices.
#include "HttpClient.h"
#include "PrometheusWait.h"
#include "SimProcess.h"

#include "console/model/LockHistory.h"
#include "console/model/LockSupervision.h"
#include "console/publish/LabMetrics.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using VarnelHttp::TPrometheusProcess;

// The line's faults restart at every connect in the facts; Prometheus must
// see its counters rise only (no reset in its eyes), and no value at all for
// the headroom and the locked fraction while they are not known.
TEST(LabMetrics, PrometheusSeesTheCountersRiseAcrossReconnectsAndNoUnknownFigure)
{
    if (TPrometheusProcess::Program().empty())
        GTEST_SKIP() << "prometheus is not installed (scripts/deps installs it)";
    TLockHistory history;
    TLockSupervision supervision(history);
    TLabMetrics metrics(history, QStringLiteral("127.0.0.1:0"), QStringLiteral("test"));
    ASSERT_TRUE(metrics.Endpoint().IsListening()) << metrics.Endpoint().Error().toStdString();
    QTemporaryDir folder;
    TPrometheusProcess prometheus(folder.path().toStdString());
    ASSERT_TRUE(prometheus.Start({{metrics.Endpoint().Address().toStdString(), {}}}))
        << prometheus.Log();
    const auto absent = [&prometheus](const std::string& query) {
        std::vector<TPrometheusProcess::TSeries> series;
        std::string raw;
        EXPECT_TRUE(prometheus.Query(query, series, &raw)) << raw;
        return series.empty();
    };

    const auto connect = [&] {
        history.Connected(QStringLiteral("KWTP Bench"), QStringLiteral("KW000001"));
        supervision.LinkUp(QStringLiteral("KWTP Bench"), QStringLiteral("KW000001"));
    };
    connect();
    history.CRCErrors(3);
    history.LineErrors(0, 0, 2, 0);
    EXPECT_EQ(WaitForValue(prometheus, "varnel_crc_errors_total", [](double v) { return v == 3; }),
              3);
    // Linked, but nothing heard of the controller yet.
    EXPECT_TRUE(absent("varnel_stabilization_headroom_percent"));
    EXPECT_TRUE(absent("varnel_locked_fraction"));
    EXPECT_TRUE(absent("varnel_error_signal_rms"));

    for (int again = 0; again < 2; ++again) {
        history.Disconnected();
        supervision.LinkDown();
        EXPECT_EQ(WaitForValue(prometheus, "varnel_connected", [](double v) { return v == 0; }), 0);
        connect();
        history.CRCErrors(1);
        history.LineErrors(0, 0, 1, 0);
    }
    EXPECT_EQ(WaitForValue(prometheus, "varnel_crc_errors_total", [](double v) { return v == 5; }),
              5);
    EXPECT_EQ(WaitForValue(prometheus, R"(varnel_line_errors_total{kind="framing"})",
                           [](double v) { return v == 4; }),
              4);
    EXPECT_EQ(WaitForValue(prometheus, "resets(varnel_crc_errors_total[10m])",
                           [](double) { return true; }),
              0);
    EXPECT_EQ(WaitForValue(prometheus, R"(resets(varnel_line_errors_total{kind="framing"}[10m]))",
                           [](double) { return true; }),
              0);

    // Heard and a mirror position: the figures appear.
    supervision.Status(3);
    supervision.StabilizationMirror(40);
    EXPECT_EQ(WaitForValue(prometheus, "varnel_stabilization_headroom_percent",
                           [](double v) { return v == 40; }),
              40);
    EXPECT_EQ(WaitForValue(prometheus, R"(varnel_locked_fraction{window="1h"})",
                           [](double v) { return v == 1; }),
              1);
    // Gone with the link again.
    history.Disconnected();
    supervision.LinkDown();
    EXPECT_EQ(WaitForValue(prometheus, "varnel_connected", [](double v) { return v == 0; }), 0);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return absent("varnel_stabilization_headroom_percent"); }, 30000));
}

TEST(LabMetrics, PrometheusTellsTwoConsoleProgramsApartByTheirDevices)
{
    if (TPrometheusProcess::Program().empty())
        GTEST_SKIP() << "prometheus is not installed (scripts/deps installs it)";
    struct TLaser
    {
        std::string Device;
        QTemporaryDir Runtime;
        std::unique_ptr<VarnelSim::TSimProcess> Sim;
        QProcess Console;
        int Port = 0;
    };
    std::vector<std::unique_ptr<TLaser>> lasers;
    for (const char* device : {"KWTP Lab A", "KWTP Lab B"}) {
        auto laser = std::make_unique<TLaser>();
        laser->Device = device;
        ASSERT_TRUE(laser->Runtime.isValid());
        // Each console and its simulator meet in a runtime folder of their own.
        const QByteArray runtime = laser->Runtime.path().toLocal8Bit();
        setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
        laser->Sim = std::make_unique<VarnelSim::TSimProcess>(VARNEL_SIM_BINARY, device);
        ASSERT_TRUE(laser->Sim->Start({"--scope-rate", "50"},
                                      (laser->Runtime.path() + "/sim.log").toStdString()));
        laser->Port = VarnelHttp::FreePort();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), laser->Runtime.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
        laser->Console.setProcessEnvironment(environment);
        laser->Console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        laser->Console.start(
            QStringLiteral(VARNEL_CONSOLE_BINARY),
            {QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:%1").arg(laser->Port)});
        ASSERT_TRUE(laser->Console.waitForStarted(30000));
        lasers.push_back(std::move(laser));
    }

    QTemporaryDir folder;
    TPrometheusProcess prometheus(folder.path().toStdString());
    std::vector<TPrometheusProcess::TTarget> targets;
    for (const auto& laser : lasers)
        targets.push_back(
            {"127.0.0.1:" + std::to_string(laser->Port), {{"laser", laser->Device.substr(5)}}});
    ASSERT_TRUE(prometheus.Start(targets)) << prometheus.Log();

    // Both connect by themselves (the simple menu's search finds the one
    // simulator each) and name their device.
    std::vector<TPrometheusProcess::TSeries> series;
    std::string raw;
    (void)QTest::qWaitFor(
        [&] {
            return prometheus.Query(
                       "varnel_connected * on(instance) group_left(device) varnel_info", series,
                       &raw) &&
                   series.size() == 2 && series[0].Value == 1 && series[1].Value == 1;
        },
        60000);
    ASSERT_EQ(series.size(), 2u) << raw;
    std::map<std::string, std::string> deviceOfLaser;
    for (const auto& s : series) {
        EXPECT_EQ(s.Value, 1) << raw;
        deviceOfLaser[s.Labels.at("laser")] = s.Labels.at("device");
    }
    EXPECT_EQ(deviceOfLaser["Lab A"], "KWTP Lab A");
    EXPECT_EQ(deviceOfLaser["Lab B"], "KWTP Lab B");

    for (auto& laser : lasers) {
        laser->Console.terminate();
        EXPECT_TRUE(laser->Console.waitForFinished(30000));
        laser->Sim->Stop();
    }
}
