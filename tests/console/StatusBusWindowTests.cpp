// SPDX-License-Identifier: GPL-3.0-or-later
// The console's status on a private session bus while a real window runs:
// the values follow the window through connect, lock and link loss against
// the controller model and the lab page's script sees the lock; a program
// that took the name shows in the window and fools no script.
#include "ConsoleTestSupport.h"
#include "StatusBusSupport.h"

#include "console/MainUnit.h"
#include "console/SystemSounds.h"
#include "console/model/LockHistory.h"
#include "protocol/MainThreadCallList.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Runs the lab page's script to its end; its exit code, or -1 when it did not
// end in time. The console's program is this test's.
int RunScript(const QString& script, const QString& limit, QByteArray& said)
{
    QProcess lab;
    lab.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VARNEL_EXE"), QCoreApplication::applicationFilePath());
    lab.setProcessEnvironment(environment);
    lab.start(QStringLiteral("python3"), {script, limit});
    if (!lab.waitForStarted(30000) ||
        !QTest::qWaitFor([&] { return lab.state() == QProcess::NotRunning; }, 120000))
        return -1;
    said = lab.readAll();
    return lab.exitStatus() == QProcess::NormalExit ? lab.exitCode() : -1;
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

QString WriteScript(const QTemporaryDir& dir)
{
    const QString script = PageScript();
    QFile file(dir.filePath(QStringLiteral("wait-for-lock.py")));
    if (script.isEmpty() || !file.open(QIODevice::WriteOnly))
        return {};
    file.write(script.toUtf8());
    return file.fileName();
}

TEST(StatusBus, FollowsTheConsoleThroughConnectLockAndLinkLossAndTheLabScriptSeesTheLock)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = WriteScript(dir);
    ASSERT_FALSE(script.isEmpty()) << "no python block on the lab page";

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
    ASSERT_TRUE(Published(*service));
    TClient client(QStringLiteral("lab"));

    // Before any controller: idle values.
    ASSERT_TRUE(client.WaitFor([](const QVariantMap& p) { return p.size() == 31; }))
        << client.Last.size();
    EXPECT_EQ(client.Last.value(QStringLiteral("Connected")), QVariant(false));
    EXPECT_EQ(client.Last.value(QStringLiteral("Device")), QVariant(QString()));
    EXPECT_EQ(client.Last.value(QStringLiteral("Locked")), QVariant(false));
    // Counts start at nothing; a figure not known yet reads NaN, never a 0.
    for (const char* count : {"OperatorLocks", "RelockFailures", "RelockAttemptsFailed"})
        EXPECT_EQ(client.Last.value(QLatin1String(count)), QVariant(qulonglong(0))) << count;
    for (const char* figure : {"LastRelockSeconds", "SlowestRelockSeconds",
                               "StabilizationHeadroomPercent", "LockedFractionHour"})
        EXPECT_TRUE(std::isnan(client.Last.value(QLatin1String(figure)).toDouble())) << figure;

    // The lab's script waits for the lock on f while the console connects.
    QProcess lab;
    lab.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment labEnvironment = QProcessEnvironment::systemEnvironment();
    labEnvironment.insert(QStringLiteral("VARNEL_EXE"), QCoreApplication::applicationFilePath());
    lab.setProcessEnvironment(labEnvironment);
    lab.start(QStringLiteral("python3"), {script, QStringLiteral("300")});
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
    // The status "locked" comes before the lock report that names the peak:
    // a reader may see the one without the other for a moment.
    ASSERT_TRUE(client.WaitFor(
        [](const QVariantMap& p) {
            return p.value(QStringLiteral("Locked")).toBool() &&
                   !p.value(QStringLiteral("LockedPeak")).toString().isEmpty();
        },
        60000));
    EXPECT_EQ(client.Last.value(QStringLiteral("LockedPeak")), QVariant(QStringLiteral("f")));
    EXPECT_EQ(client.Last.value(QStringLiteral("LockedFrequency")).toDouble(),
              form->State().Peaks().GetFPeakValue());
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

TEST(StatusBus, ANameTakenByAnotherProgramShowsInTheWindowAndTheLabScriptDoesNotBelieveIt)
{
    TOtherProgram squatter(BusAddress, {QStringLiteral("squat")});
    ASSERT_TRUE(squatter.Ready());

    auto bridge = std::make_shared<TFakeLine>();
    TConsoleEnvironment environment = FakeLineEnvironment(bridge);
    environment.PlaySound = [](TSystemSound) {};
    auto form = std::make_unique<TMainForm>(environment);
    form->show();
    const QRect statusPlace = form->StatusLabel->geometry();
    auto service = std::make_unique<TStatusService>(form->LockHistory());
    form->WatchStatusBus(*service);
    EXPECT_FALSE(Published(*service));
    EXPECT_EQ(service->State(), _bs_name_taken);

    // The device panel says so, under the status, naming the process.
    ASSERT_NE(form->StatusBusLabel(), nullptr);
    const QLabel& line = *form->StatusBusLabel();
    EXPECT_FALSE(line.isHidden());
    EXPECT_EQ(line.parentWidget(), form->StatusPolaczeniaGroupBox);
    const QString pid = QString::number(squatter.Process().processId());
    EXPECT_TRUE(line.text().contains(QStringLiteral("held by another program")))
        << line.text().toStdString();
    EXPECT_TRUE(line.text().contains(pid)) << line.text().toStdString();
    EXPECT_TRUE(line.toolTip().contains(QStringLiteral(VARNEL_STATUSBUS_CLIENT)))
        << line.toolTip().toStdString();
    // Both lines can be read: the status keeps the upper part of its place.
    EXPECT_FALSE(line.geometry().intersects(form->StatusLabel->geometry()));
    EXPECT_TRUE(statusPlace.contains(line.geometry()));
    form->StatusLabel->setText(QStringLiteral("Search completed"));
    EXPECT_FALSE(line.isHidden());

    // The impostor answers Locked=true on f; the lab's script checks who it
    // is and keeps waiting.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = WriteScript(dir);
    ASSERT_FALSE(script.isEmpty());
    QByteArray said;
    EXPECT_EQ(RunScript(script, QStringLiteral("3"), said), 1) << said.toStdString();
    EXPECT_TRUE(said.contains("not locked on f")) << said.toStdString();

    // A problem gone takes its line away and gives the status its place back.
    form->ShowStatusBusProblem(QString());
    EXPECT_TRUE(line.isHidden());
    EXPECT_EQ(form->StatusLabel->geometry(), statusPlace);
    service.reset();
    form.reset();
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RunOnPrivateBus();
}
