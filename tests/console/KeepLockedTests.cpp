// SPDX-License-Identifier: GPL-3.0-or-later
// "keep locked" through the window, against the controller model: off, a
// knock that loses the lock sends nothing; on, it is relocked on the same
// peak; and when the relocks fail, the status panel says so in red.
#include "ConsoleConnect.h"
#include "ConsoleTestSupport.h"
#include "PrivateRuntimeDir.h"
#include "RecordingJournal.h"
#include "SimProcess.h"

#include "console/MainUnit.h"
#include "console/ServicePanel.h"
#include "console/SimpleMenuPanel.h"
#include "console/SystemSounds.h"
#include "console/model/LockSupervision.h"
#include "link/D2XX_Unit.h"
#include "protocol/MainThreadCallList.h"
#include "sim/ControllerModel.h"

#include <QCoreApplication>
#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

constexpr int TuningTarget = 34;
const QColor Red(255, 0, 0);

class KeepLocked : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Bridge->SetDevices({QStringLiteral("KWTP Controller")});
        VarnelSim::TModelOptions options;
        options.ScopeRate = 0;
        options.ServiceRate = 0;
        Model = std::make_unique<VarnelSim::TControllerModel>(options);
        Line = std::make_unique<TModelLine>(*Bridge, *Model);
        TConsoleEnvironment environment = FakeLineEnvironment(Bridge);
        environment.PlaySound = [this](TSystemSound sound) {
            if (sound == _snd_critical_stop)
                ++Alarms;
        };
        Form = std::make_unique<TMainForm>(environment);
        // The supervisor's times, shortened so that a test waits seconds.
        TLockSupervisorSettings settings;
        settings.LossConfirmMsec = 300;
        settings.LockWaitMsec = 3000;
        settings.BackoffMsec = {200, 200, 200};
        Form->Supervision().Supervisor().SetSettings(settings);
        Form->show();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Form->SimpleStatusPanel->text() == "wait for user"; }, 30000));
        QTest::mouseClick(Form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->LockHistory().Facts().Locked; }, 60000));
        EXPECT_EQ(Form->LockHistory().Facts().LockedPeak, "f");
    }

    void TearDown() override
    {
        Line.reset();
        Form->DisconnectButtonClick();
        QCoreApplication::processEvents();
        TMainThreadCallList::Instance().RunPending();
        Form.reset();
    }

    // Knocks until a knock is not ridden out (about two in three are not),
    // then clears what the console wrote so far.
    void LoseTheLock()
    {
        for (int i = 0; i < 60; ++i) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return Form->LockHistory().Facts().Locked; }, 10000));
            Bridge->ClearWritten();
            if (Model->Knock() == VarnelSim::_ko_lost)
                return;
            // Ridden out, or the model not yet settled in its lock.
            QTest::qWait(1500);
        }
        FAIL() << "every knock was ridden out";
    }

    long TargetsSent() const
    {
        const std::vector<int> ids = CommandIds(Bridge->Written());
        return std::count(ids.begin(), ids.end(), TuningTarget);
    }

    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
    std::unique_ptr<VarnelSim::TControllerModel> Model;
    std::unique_ptr<TModelLine> Line;
    std::unique_ptr<TMainForm> Form;
    int Alarms = 0;
};

} // namespace

TEST_F(KeepLocked, OffByDefaultALostLockStaysLostAndNothingIsSent)
{
    EXPECT_FALSE(Form->KeepLockedCheckBox->isChecked());
    LoseTheLock();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->LockHistory().Facts().Supervision.LockLosses == 1; }, 10000));
    QTest::qWait(3000);
    EXPECT_EQ(TargetsSent(), 0);
    EXPECT_TRUE(Bridge->Written().empty());
    EXPECT_FALSE(Form->LockHistory().Facts().Locked);
    EXPECT_EQ(Alarms, 0);
}

TEST_F(KeepLocked, OnALostLockIsRelockedOnTheSamePeak)
{
    QTest::mouseClick(Form->KeepLockedCheckBox, Qt::LeftButton, {}, QPoint(8, 12));
    ASSERT_TRUE(Form->KeepLockedCheckBox->isChecked());
    EXPECT_TRUE(Form->LockHistory().Facts().Supervision.KeepLocked);
    LoseTheLock();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->LockHistory().Facts().Supervision.Relocks == 1; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->LockHistory().Facts().Locked; }, 10000));
    EXPECT_EQ(Form->LockHistory().Facts().LockedPeak, "f");
    EXPECT_EQ(TargetsSent(), 1);
    const auto frames = CommandFrames(Bridge->Written());
    for (const auto& frame : frames) {
        if (frame[1] == TuningTarget) {
            EXPECT_EQ(frame[3], 6) << "the f peak's id";
        }
    }
    EXPECT_TRUE(Form->LockHealthLabel->text().contains("1 relock"))
        << Form->LockHealthLabel->text().toStdString();
    EXPECT_EQ(Alarms, 0);
}

TEST_F(KeepLocked, RelocksThatFailRaiseTheAlarmOnTheStatusPanel)
{
    QTest::mouseClick(Form->KeepLockedCheckBox, Qt::LeftButton, {}, QPoint(8, 12));
    // The controller stops answering tuning commands: nothing relocks.
    Line.reset();
    Bridge->ClearWritten();
    // The lock lost, as the controller reports it.
    TFakeLine& line = *Bridge;
    auto status = [&line](uint8_t code) {
        line.Feed(DeviceFrame(3, code, 0));
    }; // the status message
    status(4);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->SimpleStatusPanel->text() == "lock lost - relock failed"; }, 30000))
        << Form->SimpleStatusPanel->text().toStdString();
    EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Red);
    EXPECT_EQ(Form->LockHistory().Facts().Supervision.LockState, "failed");
    EXPECT_EQ(TargetsSent(), 3);
    EXPECT_GE(Alarms, 1);
    // A status that comes after it does not hide it.
    status(4);
    QTest::qWait(200);
    EXPECT_EQ(Form->SimpleStatusPanel->text(), "lock lost - relock failed");
    // Nor does a link lost and back (the controller still unlocked).
    Bridge->SetUnplugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->LockHistory().Facts().Connected; }, 30000));
    Bridge->SetUnplugged(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->LockHistory().Facts().Connected; }, 30000));
    QTest::qWait(500);
    EXPECT_EQ(Form->SimpleStatusPanel->text(), "lock lost - relock failed");
    EXPECT_EQ(Form->LockHistory().Facts().Supervision.LockState, "failed");
    EXPECT_EQ(TargetsSent(), 3);
    // Unticked, the alarm is over and the status shows again.
    QTest::mouseClick(Form->KeepLockedCheckBox, Qt::LeftButton, {}, QPoint(8, 12));
    EXPECT_EQ(Form->SimpleStatusPanel->text(), "wait for device");
    EXPECT_EQ(Form->LockHistory().Facts().Supervision.LockState, "unlocked");
}

// While the service panel is open the service staff are at work: a loss is
// theirs, nothing is relocked, and the box says so. Closed, supervision
// watches again: the next lock is kept.
TEST_F(KeepLocked, WhileTheServicePanelIsOpenSupervisionPauses)
{
    QTest::mouseClick(Form->KeepLockedCheckBox, Qt::LeftButton, {}, QPoint(8, 12));
    for (const char key : std::string("51730264"))
        Form->FormKeyPress(QChar(key));
    ASSERT_TRUE(Form->ServicePanel->isVisibleTo(Form.get()));
    EXPECT_TRUE(Form->Supervision().Supervisor().Paused());
    EXPECT_EQ(Form->KeepLockedCheckBox->text(),
              "keep locked - paused while the service panel is open");
    LoseTheLock();
    QTest::qWait(2000);
    EXPECT_EQ(TargetsSent(), 0);
    EXPECT_EQ(Form->LockHistory().Facts().Supervision.LockLosses, 0u);

    Form->Service().HideButtonClick();
    EXPECT_FALSE(Form->Supervision().Supervisor().Paused());
    EXPECT_EQ(Form->KeepLockedCheckBox->text(), "keep locked");
    QTest::qWait(1000);
    EXPECT_EQ(TargetsSent(), 0) << "the loss was the service staff's";

    // The operator locks on f again (the button still down from the last
    // lock goes up first).
    if (Form->SimpleFPeakPngSpeedButton->isChecked())
        QTest::mouseClick(Form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
    QTest::mouseClick(Form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->LockHistory().Facts().Locked; }, 60000));
    LoseTheLock();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->LockHistory().Facts().Supervision.Relocks == 1; }, 30000));
    EXPECT_EQ(TargetsSent(), 1);
}

namespace {

// The window on varnel-sim over a simulated bridge, the simulator keeping
// its controller's state while no console is connected, as a real controller
// does when its bridge is pulled out.
class KeepLockedOnSimulator : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Runtime.IsValid());
        D2XX_RestoreDefaultDrivers();
        ASSERT_TRUE(Sim.Start({"--keep-state", "--scope-rate", "0"},
                              (Runtime.Path() + "/sim.log").toStdString()));
        TConsoleEnvironment environment = TConsoleEnvironment::Default();
        environment.Journal = Journal;
        environment.PlaySound = [](TSystemSound) {};
        Form = std::make_unique<TMainForm>(environment);
        Form->show();
        // The simple menu connects by itself to the one simulator.
        ASSERT_TRUE(QTest::qWaitFor([&] { return Facts().Connected; }, 30000));
        QTest::mouseClick(Form->KeepLockedCheckBox, Qt::LeftButton, {}, QPoint(8, 12));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Form->SimpleStatusPanel->text() == "wait for user"; }, 30000));
        QTest::mouseClick(Form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return LockedOnF(); }, 60000));
        // The main page: the operator's Connect, no automatic one.
        Form->SimpleMenu().NextButtonClick();
        QObject::connect(&Form->LockHistory(), &TLockHistory::FactsChanged, [this] {
            if (Form && Facts().Connected && !Facts().Locked)
                ++UnlockedWhileConnected;
        });
    }

    void TearDown() override
    {
        if (Form) {
            Form->close();
            Form.reset();
        }
        TMainThreadCallList::Instance().RunPending();
        Sim.Stop();
    }

    const TConsoleFacts& Facts() const { return Form->LockHistory().Facts(); }

    bool LockedOnF() const
    {
        return Facts().Connected && Facts().Locked && Facts().LockedPeak == "f" &&
               Facts().Supervision.LockState == "locked";
    }

    long Events(const char* event) const
    {
        return std::count_if(Journal->Records.begin(), Journal->Records.end(),
                             [event](const TJournalRecord& record) {
                                 return JournalField(record, "VARNEL_EVENT") == event;
                             });
    }

    TPrivateRuntimeDir Runtime;
    VarnelSim::TSimProcess Sim{VARNEL_SIM_BINARY, "KWTP Keep"};
    std::shared_ptr<TRecordingSink> Journal = std::make_shared<TRecordingSink>();
    std::unique_ptr<TMainForm> Form;
    int UnlockedWhileConnected = 0;
};

} // namespace

// Locked on f with keep locked on: Connect pressed again on the controller
// already open, then Disconnect and Connect. The controller stays locked and
// says nothing of it; the console still says locked on f everywhere, and a
// loss after the reconnect is relocked on f.
TEST_F(KeepLockedOnSimulator, AReconnectKeepsTheLockAndALossAfterItIsRelocked)
{
    const QList<QListWidgetItem*> rows =
        Form->DeviceListListBox->findItems(QStringLiteral("KWTP Keep"), Qt::MatchExactly);
    ASSERT_EQ(rows.size(), 1);
    Form->DeviceListListBox->setCurrentItem(rows.first());
    Form->ConnectButtonClick();
    QTest::qWait(1500);
    EXPECT_TRUE(LockedOnF());
    EXPECT_EQ(Events("disconnected"), 0) << "the link was kept";
    EXPECT_EQ(Events("connected"), 1);

    Form->DisconnectButtonClick();
    ASSERT_FALSE(Facts().Connected);
    ASSERT_TRUE(ConnectToSimulator(*Form, "KWTP Keep"));
    EXPECT_TRUE(LockedOnF());
    // Longer than a loss takes to be confirmed: nothing changes.
    QTest::qWait(5000);
    EXPECT_TRUE(LockedOnF());
    EXPECT_EQ(UnlockedWhileConnected, 0);
    EXPECT_EQ(Form->State().StatusCode(), 3u);
    // The lock's duration runs on from before the reconnect.
    EXPECT_GT(Form->Supervision().Health().LockDurationMsec(), 6500);

    // Knocks until one is not ridden out: the loss is relocked on f.
    for (int knock = 0; knock < 20 && Facts().Supervision.Relocks == 0; ++knock) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return LockedOnF(); }, 30000));
        ASSERT_TRUE(Sim.Knock());
        (void)QTest::qWaitFor([&] { return Facts().Supervision.Relocks > 0; }, 6000);
    }
    ASSERT_EQ(Facts().Supervision.Relocks, 1u);
    EXPECT_EQ(Facts().Supervision.LockLosses, 1u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return LockedOnF(); }, 30000));
    EXPECT_EQ(Journal->EventField("relock-attempt", "VARNEL_PEAK"), "f");
    EXPECT_EQ(Journal->EventField("relock-attempt", "VARNEL_DEVICE"), "KWTP Keep");
}
