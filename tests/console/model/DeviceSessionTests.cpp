// SPDX-License-Identifier: GPL-3.0-or-later
// The device session against the fake line, without a window: the search
// and a search asked for while one runs, connect and disconnect, the
// automatic connect's steps, and a link lost and opened again.
#include "DeviceFrames.h"
#include "FakeLine.h"
#include "RecordingHandlers.h"
#include "RecordingJournal.h"
#include "WaitUntil.h"

#include "console/model/DeviceSession.h"
#include "console/model/LockHistory.h"
#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const QString ControllerA = QStringLiteral("KWTP Controller A");
const QString ControllerB = QStringLiteral("KWTP Controller B");
const std::vector<int> AfterConnectIds = {93, 71, 75, 80, 69};

std::vector<int> CommandIds(const std::vector<uint8_t>& written)
{
    std::vector<int> ids;
    for (size_t i = 0; i + 5 <= written.size(); i += 5)
        ids.push_back(written[i + 1]);
    return ids;
}

// Handlers that pass the reader's link-loss notice on to the session, as
// the console's do.
class TSessionHandlers : public TRecordingHandlers
{
public:
    TDeviceSession* Session = nullptr;
    void HandleLinkLost() override
    {
        TRecordingHandlers::HandleLinkLost();
        if (Session)
            Session->HandleLinkLost();
    }
};

class DeviceSession : public ::testing::Test
{
protected:
    void Make(bool searchOnOwnThread)
    {
        TDeviceSessionTimings timings;
        timings.AutoConnectPause = 1;
        timings.TuningEnablePause = 1;
        timings.SearchOnOwnThread = searchOnOwnThread;
        PlugIn(Line);
        Session = std::make_unique<TDeviceSession>(Handlers, History, timings);
        Handlers.Session = Session.get();
        QObject::connect(Session.get(), &TDeviceSession::Opened, [this] { ++Opened; });
        QObject::connect(Session.get(), &TDeviceSession::ConnectFailed, [this] { ++Failed; });
        QObject::connect(Session.get(), &TDeviceSession::LinkClosed, [this] { ++Closed; });
    }

    void TearDown() override
    {
        if (Session)
            Session->Close();
        Handlers.Session = nullptr;
        if (Session) {
            EXPECT_EQ(Session->Reader(), nullptr);
        }
        TMainThreadCallList::Instance().RunPending();
    }

    long CallCount(const std::string& call) const
    {
        const std::vector<std::string> calls = Line->Calls();
        return std::count(calls.begin(), calls.end(), call);
    }

    void SearchAndConnect(const QString& device)
    {
        Session->Search();
        ASSERT_TRUE(WaitUntil([&] { return !Session->Searching(); }));
        ASSERT_TRUE(Session->Connect(device));
    }

    std::shared_ptr<TFakeLine> Line = std::make_shared<TFakeLine>();
    TSessionHandlers Handlers;
    TLockHistory History;
    std::unique_ptr<TDeviceSession> Session;
    int Opened = 0;
    int Failed = 0;
    int Closed = 0;
};

TEST_F(DeviceSession, SearchListsTheDevicesAndSaysWhatItFound)
{
    Make(true);
    struct TCase
    {
        QStringList Devices;
    };
    for (const TCase& c : {TCase{{}}, TCase{{ControllerA}}, TCase{{ControllerA, ControllerB}}}) {
        SCOPED_TRACE(c.Devices.join(',').toStdString());
        Line->SetDevices(c.Devices);
        Session->Search();
        EXPECT_TRUE(Session->Searching());
        EXPECT_EQ(Session->StatusText(), "Searching...");
        ASSERT_TRUE(WaitUntil([&] { return !Session->Searching(); }));
        EXPECT_EQ(Session->Devices(), c.Devices);
        EXPECT_EQ(Session->StatusText(), "Search completed");
        EXPECT_FALSE(Session->Connected());
    }
}

// A search asked for while one runs is not started beside it: one more runs
// after it, and the list shows what that one found.
TEST_F(DeviceSession, ASearchAskedForDuringASearchFollowsIt)
{
    Make(true);
    Line->SetDevices({ControllerA});
    QStringList shown;
    int lists = 0;
    QObject::connect(Session.get(), &TDeviceSession::DevicesChanged,
                     [&](const QStringList& devices) {
                         shown = devices;
                         ++lists;
                     });
    Session->Search();
    Line->SetDevices({ControllerA, ControllerB});
    Session->Search();
    Session->Search();
    EXPECT_TRUE(Session->Searching());
    ASSERT_TRUE(WaitUntil([&] { return !Session->Searching(); }));
    EXPECT_EQ(CallCount("Enumerate"), 2);
    EXPECT_EQ(lists, 1);
    EXPECT_EQ(shown, (QStringList{ControllerA, ControllerB}));
}

TEST_F(DeviceSession, ConnectStartsTheReaderAndDisconnectStopsItFirst)
{
    Make(false);
    Line->SetDevices({ControllerA});
    SearchAndConnect(ControllerA);
    EXPECT_EQ(Opened, 1);
    EXPECT_EQ(Session->StatusText(), "Connected");
    EXPECT_NE(Session->Reader(), nullptr);
    EXPECT_EQ(CommandIds(Line->Written()), AfterConnectIds);
    EXPECT_TRUE(History.Facts().Connected);

    Line->Feed(DeviceFrame(3, 14, 0));
    ASSERT_TRUE(WaitUntil([&] { return Handlers.Count() == 1; }));
    EXPECT_EQ(Handlers.Calls[0], (THandlerCall{"DeviceStatus", 14, 0}));

    Session->Disconnect();
    EXPECT_FALSE(Session->Connected());
    EXPECT_FALSE(Line->IsOpen());
    EXPECT_EQ(Session->Reader(), nullptr);
    EXPECT_EQ(Line->PollCount(), Line->PollsAtLastDisconnect());
    EXPECT_TRUE(Session->Devices().isEmpty());
    EXPECT_EQ(Session->StatusText(), "Disconnected");
    EXPECT_FALSE(History.Facts().Connected);
}

TEST_F(DeviceSession, AConnectThatFailsSaysSo)
{
    Make(false);
    Line->SetDevices({ControllerA});
    Session->Search();

    EXPECT_FALSE(Session->Connect(QString()));
    EXPECT_EQ(Session->StatusText(), "Select device");

    Line->SetOpenFails(true);
    EXPECT_FALSE(Session->Connect(ControllerA));
    EXPECT_EQ(Failed, 1);
    EXPECT_EQ(Closed, 0);
    EXPECT_EQ(Session->StatusText(), "Connection error");
    EXPECT_TRUE(Line->Written().empty());

    // With a link open, a failed connect to another device has closed it.
    Line->SetOpenFails(false);
    Line->SetDevices({ControllerA, ControllerB});
    Session->Search();
    ASSERT_TRUE(Session->Connect(ControllerA));
    Line->SetOpenFails(true);
    EXPECT_FALSE(Session->Connect(ControllerB));
    EXPECT_EQ(Closed, 1);
    EXPECT_FALSE(Session->Connected());
    EXPECT_EQ(Session->StatusText(), "Connection error");
    EXPECT_EQ(Line->PollCount(), Line->PollsAtLastDisconnect());
}

// A tick searches; with exactly one device found the connect and the two
// tuning enables follow, each after its pause. With two, nothing is opened.
TEST_F(DeviceSession, AutomaticConnectOpensTheOnlyDeviceAndEnablesTuningTwice)
{
    Make(true);
    for (const bool two : {true, false}) {
        SCOPED_TRACE(two ? "two devices" : "one device");
        Line->SetDevices(two ? QStringList{ControllerA, ControllerB} : QStringList{ControllerA});
        const long searches = CallCount("Enumerate");
        // Ticks as the connection timer gives them: one that comes during
        // the pause after the last search's result is left out, the next
        // one searches.
        ASSERT_TRUE(WaitUntil([&] {
            Session->AutoConnectTick();
            return CallCount("Enumerate") > searches;
        }));
        EXPECT_NE(Session->StatusText(), "Searching...");
        if (two) {
            ASSERT_TRUE(WaitUntil([&] { return !Session->Searching(); }));
            QCoreApplication::processEvents();
            EXPECT_EQ(CallCount("Open"), 0);
            continue;
        }
        const std::vector<int> expected = {93, 71, 75, 80, 69, 33, 33};
        ASSERT_TRUE(WaitUntil([&] { return CommandIds(Line->Written()) == expected; }));
        EXPECT_TRUE(Session->Connected());
        // Connected: further ticks do nothing.
        const long before = CallCount("Enumerate");
        Session->AutoConnectTick();
        EXPECT_EQ(CallCount("Enumerate"), before);
    }
}

// Connect pressed again on the controller already open keeps its link: the
// link is not closed and opened, and the history keeps its connection and
// what it knows (a lock included) without a new record.
TEST_F(DeviceSession, ConnectOnTheControllerAlreadyOpenKeepsTheLink)
{
    Make(false);
    Line->SetDevices({ControllerA});
    auto sink = std::make_shared<TRecordingSink>();
    History.SetJournalSink(sink);
    SearchAndConnect(ControllerA);
    History.Status(3, QStringLiteral("tuning - locked"));
    History.LockReported(6, 473612353.597);
    const long opens = CallCount("Open");
    const size_t records = sink->Records.size();

    ASSERT_TRUE(Session->Connect(ControllerA));
    EXPECT_TRUE(Session->Connection().KeptOpenLink());
    EXPECT_EQ(Opened, 2);
    EXPECT_EQ(CallCount("Open"), opens);
    EXPECT_TRUE(Line->IsOpen());
    EXPECT_NE(Session->Reader(), nullptr);
    EXPECT_TRUE(History.Facts().Connected);
    EXPECT_TRUE(History.Facts().Locked);
    EXPECT_EQ(History.Facts().LockedPeak, "f");
    EXPECT_EQ(sink->Records.size(), records) << "no disconnected or connected record";
}

TEST_F(DeviceSession, ALostLinkIsClosedAndTheNextAutomaticConnectOpensItAgain)
{
    Make(false);
    Line->SetDevices({ControllerA});
    SearchAndConnect(ControllerA);

    Line->SetUnplugged(true);
    ASSERT_TRUE(WaitUntil([&] { return Closed == 1; }));
    EXPECT_FALSE(Session->Connected());
    EXPECT_FALSE(Line->IsOpen());
    EXPECT_EQ(Session->Reader(), nullptr);
    EXPECT_EQ(Session->StatusText(), "Connection error");
    EXPECT_FALSE(History.Facts().Connected);

    Line->SetUnplugged(false);
    Line->ClearWritten();
    Session->AutoConnectTick();
    ASSERT_TRUE(WaitUntil([&] { return CommandIds(Line->Written()).size() == 7; }));
    EXPECT_TRUE(Session->Connected());
    EXPECT_EQ(Opened, 2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
