// SPDX-License-Identifier: GPL-3.0-or-later
// The device panel and the connection timer against a fake line:
// changing controllers while connected, Disconnect with messages in transit,
// the timer's pauses, a controller that cannot be opened, a minimised
// window, a link that dies under a locked controller, and values the
// controller reports that the tables do not foresee.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"
#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using TFrame = std::vector<uint8_t>;
using TFrames = std::vector<TFrame>;
using TClock = std::chrono::steady_clock;

const QString ControllerA = QStringLiteral("KWTP Controller A");
const QString ControllerB = QStringLiteral("KWTP Controller B");
const std::vector<int> AfterConnectIds = {93, 71, 75, 80, 69};
const std::vector<int> AutoConnectIds = {93, 71, 75, 80, 69, 33, 33};

class DevicePanel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale::c());
        Bridge->SetDevices({ControllerA});
        Form = std::make_unique<TMainForm>(FakeLineEnvironment(Bridge));
    }

    void TearDown() override
    {
        Bridge->SetWriteHook({});
        Form->DisconnectButtonClick();
        QCoreApplication::processEvents();
        TMainThreadCallList::Instance().RunPending();
        Form.reset();
    }

    void ConnectByHand(int row = 0) { ::ConnectByHand(*Form, row); }
    void Deliver(const TFrames& frames) { ::Deliver(*Form, *Bridge, frames); }

    long CallCount(const std::string& call) const
    {
        const std::vector<std::string> calls = Bridge->Calls();
        return std::count(calls.begin(), calls.end(), call);
    }

    std::vector<std::string> CallsSince(size_t first) const
    {
        const std::vector<std::string> calls = Bridge->Calls();
        return {calls.begin() + static_cast<std::ptrdiff_t>(std::min(first, calls.size())),
                calls.end()};
    }

    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
    std::unique_ptr<TMainForm> Form;
};

TEST_F(DevicePanel, ConnectToAnotherControllerClosesTheHeldLinkAndOpensTheChosenOne)
{
    Bridge->SetDevices({ControllerA, ControllerB});
    for (const bool opens : {true, false}) {
        SCOPED_TRACE(opens ? "B opens" : "B cannot be opened");
        ConnectByHand(0);
        Deliver({DeviceFrameValue(69, 0x3FFF), DeviceFrame(3, 14, 0)});
        ASSERT_GT(Form->PeakListBox->count(), 0);

        Form->SearchUrzadzenButtonClick();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->SearchRunning(); }, 10000));
        Form->DeviceListListBox->setCurrentRow(1);
        Bridge->SetOpenFails(!opens);
        Bridge->ClearWritten();
        const size_t before = Bridge->Calls().size();
        Form->ConnectButtonClick();

        EXPECT_EQ(CallsSince(before), (std::vector<std::string>{"Close", "Enumerate", "Open"}));
        EXPECT_EQ(Form->Session().Connection().DeviceID().fullName(), ControllerB);
        EXPECT_EQ(Form->Session().Connection().Connected(), opens);
        EXPECT_EQ(Bridge->IsOpen(), opens);
        EXPECT_EQ(Form->DisconnectButton->isEnabled(), opens);
        EXPECT_EQ(Form->StartButton->isEnabled(), opens);
        EXPECT_EQ(Form->ConnectButton->isEnabled(), !opens);
        EXPECT_EQ(Form->PeakListBox->count(), 0);
        if (opens) {
            EXPECT_EQ(Form->StatusLabel->text(), "Connected");
            EXPECT_EQ(CommandIds(Bridge->Written()), AfterConnectIds);
        } else {
            EXPECT_EQ(Form->StatusLabel->text(), "Connection error");
            EXPECT_EQ(Form->SimpleStatusPanel->text(), "Connection error");
            EXPECT_TRUE(Bridge->Written().empty());
            // The reader had ended before the held link was closed.
            EXPECT_EQ(Bridge->PollCount(), Bridge->PollsAtLastDisconnect());
        }
        Bridge->SetOpenFails(false);
        Form->DisconnectButtonClick();
    }
}

// The reader has taken the frames and posted their messages, but the main
// thread has not run them yet when the operator disconnects.
TEST_F(DevicePanel, DisconnectResetsTheDisplaysAfterTheReadersLastMessages)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ConnectByHand();
        Form->State().LifetimePart1 = 0;
        std::vector<uint8_t> frames = DeviceFrameValue(69, 0x3FFF);
        for (const auto& frame : {DeviceFrameValue(123, 1), DeviceFrameValue(124, 300)})
            frames.insert(frames.end(), frame.begin(), frame.end());
        Bridge->Feed(frames);
        // Waits without running the event loop, so the messages stay posted
        // (one call for each read pass that took them).
        TMainThreadCallList& calls = TMainThreadCallList::Instance();
        const auto deadline = TClock::now() + std::chrono::seconds(10);
        while ((Bridge->Unread() > 0 || calls.PendingCount() == 0) && TClock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(Bridge->Unread(), 0u);
        ASSERT_GE(calls.PendingCount(), 1u);

        Form->DisconnectButtonClick();
        QCoreApplication::processEvents();
        calls.RunPending();

        EXPECT_EQ(Form->State().LifetimePart1, 65536u);
        EXPECT_EQ(Form->StatusLabel->text(), "Disconnected");
        EXPECT_EQ(Form->PeakListBox->count(), 0);
        EXPECT_EQ(Form->LifetimeLabel->text(), "00:00");
        EXPECT_EQ(Form->PeakLabel->text(), "--");
    }
}

// The timer's tick only searches; the connect and the two tuning enables
// follow from the event loop after their pauses.
TEST_F(DevicePanel, ConnectionTimerPausesWithoutHoldingUpTheWindow)
{
    std::mutex lock;
    std::vector<TClock::time_point> writes;
    Bridge->SetWriteHook([&](const uint8_t*, size_t) {
        std::lock_guard guard(lock);
        writes.push_back(TClock::now());
    });
    ASSERT_FALSE(Form->ConnectionTimer->isActive());

    const size_t before = Bridge->Calls().size();
    const TClock::time_point tick = TClock::now();
    Form->ConnectionTimerTimer();
    EXPECT_EQ(CallsSince(before), std::vector<std::string>{"Enumerate"});
    EXPECT_EQ(Form->StatusLabel->text(), "Search completed");

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return CommandIds(Bridge->Written()).size() >= AutoConnectIds.size(); }, 10000));
    EXPECT_EQ(CommandIds(Bridge->Written()), AutoConnectIds);
    EXPECT_EQ(Form->StatusLabel->text(), "Connected");
    std::lock_guard guard(lock);
    ASSERT_EQ(writes.size(), AutoConnectIds.size());
    EXPECT_GE(writes[0] - tick, std::chrono::milliseconds(95));
    EXPECT_GE(writes[5] - writes[4], std::chrono::milliseconds(45));
    EXPECT_GE(writes[6] - writes[5], std::chrono::milliseconds(45));
}

// The search runs on a thread of its own: the window shows its result only
// when the queued result has come back through the event loop. Clicks while
// it runs start no second search beside it, only one more after it; the
// simple menu's timer starts none while one runs, and connects after the
// result is in.
TEST_F(DevicePanel, SearchRunsBesideTheWindowAndIsNeverStartedTwice)
{
    Form.reset();
    TConsoleEnvironment environment = FakeLineEnvironment(Bridge);
    environment.SearchOnOwnThread = true;
    const long before = CallCount("Enumerate");
    Form = std::make_unique<TMainForm>(environment);
    EXPECT_TRUE(Form->SearchRunning());
    EXPECT_EQ(Form->StatusLabel->text(), "Searching...");
    EXPECT_EQ(Form->DeviceListListBox->count(), 0);
    Form->SearchUrzadzenButtonClick();
    Form->SearchUrzadzenButtonClick();
    Form->ConnectionTimerTimer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->SearchRunning(); }, 10000));
    EXPECT_EQ(CallCount("Enumerate") - before, 2);
    EXPECT_EQ(Form->DeviceListListBox->count(), 1);
    EXPECT_EQ(Form->StatusLabel->text(), "Search completed");
    EXPECT_FALSE(Form->Session().Connection().Connected());

    // The timer's search, once its result is in, leads to the connect.
    Form->ConnectionTimerTimer();
    EXPECT_TRUE(Form->SearchRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Session().Connection().Connected(); }, 10000));
    // The timer's search, and the connect's own listing before it opens.
    EXPECT_EQ(CallCount("Enumerate") - before, 4);
    EXPECT_EQ(Form->StatusLabel->text(), "Connected");
}

TEST_F(DevicePanel, ConnectionTimerTriesAControllerThatCannotBeOpenedEverySecond)
{
    Bridge->SetOpenFails(true);
    Form->show();
    ASSERT_TRUE(Form->ConnectionTimer->isActive());
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(QTest::qWaitFor([&] { return CallCount("Open") >= attempt; }, 10000));
        EXPECT_EQ(Form->StatusLabel->text(), "Connection error");
        EXPECT_FALSE(Form->Session().Connection().Connected());
        EXPECT_TRUE(Form->ConnectButton->isEnabled());
        EXPECT_FALSE(Form->StartButton->isEnabled());
        EXPECT_FALSE(Form->DisconnectButton->isEnabled());
    }
    // The next search comes after the attempt's tuning enables, dropped by
    // the closed link.
    const long searches = CallCount("Enumerate");
    ASSERT_TRUE(QTest::qWaitFor([&] { return CallCount("Enumerate") > searches; }, 10000));
    EXPECT_TRUE(Bridge->Written().empty());
}

TEST_F(DevicePanel, MinimisedWindowStillConnectsAndReconnectsByItself)
{
    Form->show();
    Form->showMinimized();
    EXPECT_TRUE(Form->isMinimized());
    EXPECT_TRUE(Form->ConnectionTimer->isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Session().Connection().Connected(); }, 10000));

    Bridge->SetUnplugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->Session().Connection().Connected(); }, 10000));
    Bridge->SetUnplugged(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Session().Connection().Connected(); }, 10000));

    Form->showNormal();
    EXPECT_TRUE(Form->ConnectionTimer->isActive());
    // Only the page switches stop and start it.
    Form->SimpleMenu().NextButtonClick();
    EXPECT_FALSE(Form->ConnectionTimer->isActive());
    Form->showMinimized();
    Form->showNormal();
    EXPECT_FALSE(Form->ConnectionTimer->isActive());
    Form->SimpleMenu().BackButtonClick();
    EXPECT_TRUE(Form->ConnectionTimer->isActive());
}

// A controller that comes back already locked leaves the simple menu usable.
TEST_F(DevicePanel, AfterALinkLossThePeakButtonsAreAsAtStart)
{
    ConnectByHand();
    QToolButton* f = Form->SimpleFPeakPngSpeedButton;
    QToolButton* j = Form->SimpleJPeakPngSpeedButton;
    Deliver({DeviceFrameValue(69, 0x3FFF), DeviceFrame(3, 0, 0)});
    ASSERT_FALSE(f->isEnabled());
    Deliver({DeviceFrame(3, 14, 0)});
    j->click();
    ASSERT_TRUE(j->isChecked());

    Bridge->SetUnplugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->Session().Connection().Connected(); }, 10000));
    EXPECT_TRUE(f->isEnabled());
    EXPECT_TRUE(j->isEnabled());
    EXPECT_FALSE(f->isChecked());
    EXPECT_FALSE(j->isChecked());

    Bridge->SetUnplugged(false);
    ConnectByHand();
    Deliver({DeviceFrameValue(69, 0x3FFF), DeviceFrame(18, 6, 0), DeviceFrame(3, 3, 0)});
    EXPECT_TRUE(f->isEnabled());
    EXPECT_TRUE(f->isChecked());
    Bridge->ClearWritten();
    j->click();
    EXPECT_EQ(Bridge->Written(), (std::vector<uint8_t>{0xBB, 34, 0, 10, 0x19}));
    EXPECT_FALSE(f->isChecked());
}

TEST_F(DevicePanel, WorkingTimeIsAnUnsignedCountAndUnknownStatusesAreNamed)
{
    ConnectByHand();
    struct TLifetimeCase
    {
        uint16_t High;
        uint16_t Low;
        const char* Shown;
    };
    const TLifetimeCase lifetimes[] = {
        {0, 59, "00:59"},
        {32767, 65535, "35791394:07"},
        {32768, 0, "35791394:08"},
        {65535, 65535, "71582788:15"},
    };
    for (const TLifetimeCase& c : lifetimes) {
        SCOPED_TRACE(c.Shown);
        Deliver({DeviceFrameValue(123, c.High), DeviceFrameValue(124, c.Low)});
        EXPECT_EQ(Form->LifetimeLabel->text(), c.Shown);
    }

    struct TStatusCase
    {
        uint8_t Code;
        const char* Status;
    };
    const TStatusCase statuses[] = {
        {9, ""}, {14, "wait for user"}, {15, "status 15"}, {255, "status 255"}};
    for (const TStatusCase& c : statuses) {
        SCOPED_TRACE(c.Code);
        Deliver({DeviceFrame(3, c.Code, 0)});
        EXPECT_EQ(Form->StatusLabel->text(), c.Status);
        EXPECT_EQ(Form->SimpleStatusPanel->text(),
                  c.Code == 14 ? "wait for user" : "wait for device");
    }
}

} // namespace
