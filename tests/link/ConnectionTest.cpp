// SPDX-License-Identifier: GPL-3.0-or-later
// The connection manager over the bridge layer and scripted bridges.
#include "ScriptedBridgeDriver.h"

#include "link/ConnectionUnit.h"
#include "link/D2XX_Unit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using TStrings = std::vector<std::string>;

class Connection : public ::testing::Test
{
protected:
    void SetUp() override { D2XX_SetDrivers({Bridges}); }
    void TearDown() override
    {
        Manager.Disconnect();
        D2XX_RestoreDefaultDrivers();
    }

    void Search(QStringList* names = nullptr)
    {
        QStringList found;
        Manager.GetAvailableDevices(names ? *names : found);
    }

    long Count(const std::string& entry) const
    {
        const TStrings log = Bridges->Log();
        return std::count(log.begin(), log.end(), entry);
    }

    std::shared_ptr<TScriptedBridgeDriver> Bridges =
        std::make_shared<TScriptedBridgeDriver>(TStrings{"KWTP A", "KWTP B"});
    TConnection Manager;
};

TEST_F(Connection, SearchAppendsNamesAndKeepsTheSelection)
{
    QStringList names{"earlier line"};
    Search(&names);
    EXPECT_EQ(names, (QStringList{"earlier line", "KWTP A", "KWTP B"}));

    Manager.SetDeviceID("KWTP B");
    Manager.SetDeviceID("KWTP C");
    EXPECT_EQ(Manager.DeviceID().fullName(), "KWTP B");
    EXPECT_EQ(Manager.DeviceID().serialNumber(), 111111);

    // A later search, even a failed one, leaves the selection alone.
    Bridges->Fail(_bc_enumerate);
    names.clear();
    Search(&names);
    EXPECT_TRUE(names.isEmpty());
    EXPECT_EQ(Manager.DeviceID().fullName(), "KWTP B");
    Bridges->Fail(_bc_enumerate, false);
    ASSERT_TRUE(Manager.Connect());
    EXPECT_TRUE(Bridges->IsOpen(1));
}

TEST_F(Connection, ConnectWithoutSelectionAsksNothing)
{
    Manager.SetDeviceID("KWTP A");
    EXPECT_FALSE(Manager.Connect());
    EXPECT_FALSE(Manager.Connected());
    EXPECT_EQ(Manager.Error(), _ok);
    EXPECT_TRUE(Bridges->Log().empty());
    EXPECT_TRUE(Manager.GetDriverVersion().isEmpty());
}

TEST_F(Connection, ConnectAgainProbesAndDoesNotReopenALiveLink)
{
    Bridges->SetBridges({"KWTP A", "KWTP A"});
    Search();
    Manager.SetDeviceID("KWTP A");
    ASSERT_TRUE(Manager.Connect());
    ASSERT_TRUE(Manager.Connect());
    EXPECT_TRUE(Manager.Connected());
    EXPECT_EQ(Count("open KWTP A"), 1);

    // Once the bridge stops answering, Connect lets go of the dead handle and
    // opens anew.
    Bridges->Unplug(0);
    Bridges->ClearLog();
    EXPECT_FALSE(Manager.CheckConnection());
    ASSERT_TRUE(Manager.Connect());
    EXPECT_EQ(Count("0:close"), 1);
    EXPECT_EQ(Count("open KWTP A"), 1);
    EXPECT_TRUE(Bridges->IsOpen(1));
    EXPECT_EQ(Bridges->OpenCount(), 1);
}

// Connect while connected to another device: the held link is closed and the
// chosen device opened, so what is sent next reaches the chosen one; when it
// cannot be opened, the result says so and nothing counts as connected.
TEST_F(Connection, ConnectToAnotherDeviceLeavesTheOpenOne)
{
    const uint8_t frame[5] = {0xBB, 93, 0, 0, 0xA8};
    for (const bool opens : {true, false}) {
        SCOPED_TRACE(opens ? "B opens" : "B cannot be opened");
        Search();
        Manager.SetDeviceID("KWTP A");
        ASSERT_TRUE(Manager.Connect());
        ASSERT_TRUE(Bridges->IsOpen(0));

        Bridges->Fail(_bc_open, !opens);
        Search();
        Manager.SetDeviceID("KWTP B");
        EXPECT_EQ(Manager.Connect(), opens);
        EXPECT_EQ(Manager.Connected(), opens);
        EXPECT_EQ(Manager.Error(), opens ? _ok : _error);
        EXPECT_FALSE(Bridges->IsOpen(0));
        EXPECT_EQ(Bridges->IsOpen(1), opens);
        EXPECT_EQ(Bridges->OpenCount(), opens ? 1 : 0);

        uint32_t size = 5;
        EXPECT_EQ(Manager.Send(frame, size), opens);
        EXPECT_TRUE(Bridges->Written(0).empty());
        EXPECT_EQ(Bridges->Written(1).size(), opens ? 5u : 0u);

        Bridges->Fail(_bc_open, false);
        ASSERT_TRUE(Manager.Disconnect());
        Bridges->SetBridges({"KWTP A", "KWTP B"});
    }
}

// A bridge that opens but cannot be configured is not a connection, now or
// on the next try.
TEST_F(Connection, HalfConfiguredBridgeNeverCountsAsConnected)
{
    Search();
    Manager.SetDeviceID("KWTP A");
    Bridges->Fail(_bc_baud_rate);
    EXPECT_FALSE(Manager.Connect());
    EXPECT_FALSE(Manager.Connected());
    EXPECT_EQ(Manager.Error(), _error);
    EXPECT_EQ(Bridges->OpenCount(), 0);
    EXPECT_FALSE(Manager.Connect());
    EXPECT_FALSE(Manager.Connected());
    EXPECT_EQ(Count("open KWTP A"), 2);

    Bridges->Fail(_bc_baud_rate, false);
    EXPECT_TRUE(Manager.Connect());
}

TEST_F(Connection, TransfersNeedALink)
{
    uint8_t buffer[8] = {};
    uint32_t size = 5;
    EXPECT_FALSE(Manager.Send(buffer, size));
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(Manager.Error(), _error);
    EXPECT_FALSE(Manager.Read(buffer, size));
    EXPECT_EQ(size, 0u);
    size = 3;
    EXPECT_FALSE(Manager.GetReadDataCount(size));
    EXPECT_EQ(size, 0u);

    EXPECT_TRUE(Manager.Disconnect());
    EXPECT_EQ(Manager.Error(), _ok);

    Search();
    Manager.SetDeviceID("KWTP A");
    ASSERT_TRUE(Manager.Connect());
    const uint8_t frame[5] = {0xBB, 93, 0, 0, 0xA8};
    size = 5;
    EXPECT_TRUE(Manager.Send(frame, size));
    EXPECT_EQ(Bridges->Written(0), std::vector<uint8_t>(frame, frame + 5));
    Bridges->Receive(0, {0xAA, 93, 1, 0, 0xB8});
    ASSERT_TRUE(Manager.GetReadDataCount(size));
    ASSERT_EQ(size, 5u);
    ASSERT_TRUE(Manager.Read(buffer, size));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size),
              (std::vector<uint8_t>{0xAA, 93, 1, 0, 0xB8}));
}

TEST_F(Connection, FailedDisconnectStaysConnected)
{
    Search();
    Manager.SetDeviceID("KWTP A");
    ASSERT_TRUE(Manager.Connect());
    Bridges->Fail(_bc_close);
    EXPECT_FALSE(Manager.Disconnect());
    EXPECT_TRUE(Manager.Connected());
    Bridges->Fail(_bc_close, false);
    EXPECT_TRUE(Manager.Disconnect());
    EXPECT_FALSE(Manager.Connected());
    EXPECT_EQ(Bridges->OpenCount(), 0);
    // The version line outlives the open device.
    EXPECT_EQ(Manager.GetDriverVersion(), "FTDI dll version: 66816");
}

TEST_F(Connection, ReconnectFailuresBeforeTheWait)
{
    EXPECT_FALSE(Manager.Reconnect());
    Search();
    Manager.SetDeviceID("KWTP A");
    // No layer yet: nothing was ever opened.
    EXPECT_FALSE(Manager.Reconnect());
    EXPECT_TRUE(Bridges->Log() == TStrings{"enumerate"});

    ASSERT_TRUE(Manager.Connect());
    Bridges->Fail(_bc_cycle_port);
    EXPECT_FALSE(Manager.Reconnect());
    EXPECT_TRUE(Manager.Connected());
    Bridges->Fail(_bc_cycle_port, false);
    Bridges->Fail(_bc_close);
    EXPECT_FALSE(Manager.Reconnect());
    EXPECT_TRUE(Manager.Connected());
    Bridges->Fail(_bc_close, false);
}

// Each Reconnect here waits the pause for the bridge to come back, shortened.
TEST_F(Connection, ReconnectReopensAndTellsTheTruthWhenTheBridgeStaysAway)
{
    constexpr std::chrono::milliseconds pause{50};
    Manager.SetReconnectDelay(pause);
    Search();
    Manager.SetDeviceID("KWTP A");
    ASSERT_TRUE(Manager.Connect());
    Bridges->ClearLog();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Manager.Reconnect());
    EXPECT_GE(std::chrono::steady_clock::now() - start, pause);
    EXPECT_TRUE(Manager.Connected());
    const TStrings log = Bridges->Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(TStrings(log.begin(), log.begin() + 4),
              (TStrings{"0:cycle", "0:close", "enumerate", "open KWTP A"}));
    EXPECT_TRUE(Bridges->IsOpen(0));

    Bridges->Fail(_bc_open);
    EXPECT_FALSE(Manager.Reconnect());
    EXPECT_FALSE(Manager.Connected());
    EXPECT_EQ(Bridges->OpenCount(), 0);
}

} // namespace
