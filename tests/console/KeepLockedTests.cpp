// SPDX-License-Identifier: GPL-3.0-or-later
// "keep locked" through the window, against the controller model: off, a
// knock that loses the lock sends nothing; on, it is relocked on the same
// peak; and when the relocks fail, the status panel says so in red.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/SimpleMenuPanel.h"
#include "console/SystemSounds.h"
#include "console/model/LockSupervision.h"
#include "protocol/MainThreadCallList.h"
#include "sim/ControllerModel.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

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
}
