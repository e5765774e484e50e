// SPDX-License-Identifier: GPL-3.0-or-later
// The bridge layer and the device functions under it, over scripted bridges.
#include "ScriptedBridgeDriver.h"

#include "link/D2XX_Unit.h"
#include "link/Phy_USB_Unit.h"

#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using TStrings = std::vector<std::string>;

class UsbConnection : public ::testing::Test
{
protected:
    void SetUp() override { D2XX_SetDrivers({Bridges}); }
    void TearDown() override
    {
        Layer.IODisconnect();
        D2XX_RestoreDefaultDrivers();
    }

    // Opens the one bridge present, named "KWTP", and forgets the log.
    void OpenKwtp()
    {
        Bridges->SetBridges({"KWTP"});
        ASSERT_EQ(Layer.IOConnect(TDeviceID(_usb, "KWTP", 111111, "", "")), _ok);
        Bridges->ClearLog();
    }

    std::shared_ptr<TScriptedBridgeDriver> Bridges = std::make_shared<TScriptedBridgeDriver>();
    TUSBConnection Layer;
};

// The messages of the console's own log categories.
std::vector<std::pair<QtMsgType, std::string>>& VarnelMessages()
{
    static std::vector<std::pair<QtMsgType, std::string>> messages;
    return messages;
}

void CollectVarnelMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (QLatin1String(context.category).startsWith(QLatin1String("varnel.")))
        VarnelMessages().emplace_back(type, context.category + (": " + text.toStdString()));
}

// An open that works says nothing by default; with the link's information
// turned on, it says which bridge it configured, under varnel.link.
TEST_F(UsbConnection, OpenIsLoggedOnlyWhenTheLinkCategoryIsOn)
{
    Bridges->SetBridges({"KWTP"});
    VarnelMessages().clear();
    const QtMessageHandler previous = qInstallMessageHandler(CollectVarnelMessages);
    const TDeviceID kwtp(_usb, "KWTP", 111111, "", "");
    EXPECT_EQ(Layer.IOConnect(kwtp), _ok);
    EXPECT_EQ(Layer.IODisconnect(), _ok);
    const auto quiet = VarnelMessages();
    QLoggingCategory::setFilterRules(QStringLiteral("varnel.link.info=true"));
    EXPECT_EQ(Layer.IOConnect(kwtp), _ok);
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);

    EXPECT_TRUE(quiet.empty()) << quiet.front().second;
    ASSERT_EQ(VarnelMessages().size(), 1u);
    EXPECT_EQ(VarnelMessages()[0].first, QtInfoMsg);
    EXPECT_EQ(VarnelMessages()[0].second.rfind("varnel.link: Bridge KWTP configured", 0), 0u)
        << VarnelMessages()[0].second;
}

TStrings Names(const TDevicesIDList& list)
{
    TStrings names;
    for (const auto& item : list)
        names.push_back(item->fullName().toStdString());
    return names;
}

TEST_F(UsbConnection, ListsTaggedBridgesWholeAndInBusOrder)
{
    const std::string longest = "KWTP" + std::string(60, 'x');
    const std::string tooLong = "KWTP" + std::string(70, 'y');
    struct Case
    {
        TStrings bridges;
        TStrings listed;
    } cases[] = {
        {{}, {}},
        {{"FT232R USB UART", "kwtp bench"}, {}},
        {{"Bench KWTP-2 left", "FT232R USB UART", "KWTP"}, {"Bench KWTP-2 left", "KWTP"}},
        {{"KWTP", "KWTP"}, {"KWTP", "KWTP"}},
        {{longest}, {longest}},
        // The device table keeps 64 bytes of a description.
        {{tooLong}, {tooLong.substr(0, 64)}},
    };
    for (const auto& c : cases) {
        Bridges->SetBridges(c.bridges);
        TDevicesIDList list;
        EXPECT_EQ(Layer.IOEnumDevices(list), _ok);
        EXPECT_EQ(Names(list), c.listed) << testing::PrintToString(c.bridges);
    }
}

TEST_F(UsbConnection, ListedIdentitiesCarryFixedSerialAndKindAndAreAppended)
{
    Bridges->SetBridges({"KWTP A"});
    TDevicesIDList list;
    list.Add(std::make_unique<TDeviceID>(_bt, "earlier", 7, "radio", "address"));
    ASSERT_EQ(Layer.IOEnumDevices(list), _ok);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0].fullName(), "earlier");
    EXPECT_EQ(list[1].connectionType(), _usb);
    EXPECT_EQ(list[1].serialNumber(), 111111);
    EXPECT_TRUE(list[1].btRadio().isEmpty());
    EXPECT_TRUE(list[1].btAddress().isEmpty());
}

TEST_F(UsbConnection, FailedQueryIsAnErrorAndNothingIsListed)
{
    Bridges->SetBridges({"KWTP"});
    Bridges->Fail(_bc_enumerate);
    TDevicesIDList list;
    EXPECT_EQ(Layer.IOEnumDevices(list), _error);
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(UsbConnection, DeviceTableHoldsFiftyBridges)
{
    TStrings bridges;
    for (int i = 0; i < 55; ++i)
        bridges.push_back("KWTP " + std::to_string(i));
    Bridges->SetBridges(bridges);
    TDevicesIDList list;
    ASSERT_EQ(Layer.IOEnumDevices(list), _ok);
    ASSERT_EQ(list.Count(), 50);
    EXPECT_EQ(list[49].fullName(), "KWTP 49");
}

// USB bridges come first; a driver that cannot be queried hides only its own.
TEST_F(UsbConnection, DriversAreListedInOrderAndAFailingOneHidesOnlyItsOwn)
{
    auto simulated = std::make_shared<TScriptedBridgeDriver>(TStrings{"KWTP Sim"});
    Bridges->SetBridges({"KWTP Usb"});
    D2XX_SetDrivers({Bridges, simulated});

    TDevicesIDList list;
    ASSERT_EQ(Layer.IOEnumDevices(list), _ok);
    EXPECT_EQ(Names(list), (TStrings{"KWTP Usb", "KWTP Sim"}));

    Bridges->Fail(_bc_enumerate);
    list.Clear();
    ASSERT_EQ(Layer.IOEnumDevices(list), _ok);
    EXPECT_EQ(Names(list), TStrings{"KWTP Sim"});
    ASSERT_EQ(Layer.IOConnect(TDeviceID(_usb, "KWTP Sim", 111111, "", "")), _ok);
    EXPECT_TRUE(simulated->IsOpen(0));
}

// Each configuration step that fails leaves no bridge open, yet the latency
// timer is still set before the close.
TEST_F(UsbConnection, ConnectConfiguresOrClosesAgain)
{
    const TStrings configured = {"enumerate",
                                 "open KWTP",
                                 "0:baud 38400",
                                 "0:characteristics 8 0 0",
                                 "0:timeouts 10000 10000",
                                 "0:purge 3",
                                 "0:latency 16"};
    auto upTo = [&](std::size_t steps, TStrings tail) {
        TStrings log(configured.begin(), configured.begin() + static_cast<long>(steps));
        log.insert(log.end(), tail.begin(), tail.end());
        return log;
    };
    struct Case
    {
        const char* name;
        TBridgeCall failing;
        TConnectionError result;
        TStrings log;
    } cases[] = {
        {"nothing", _bc_library_version, _ok, configured},
        {"enumerate", _bc_enumerate, _error, {"enumerate"}},
        {"open", _bc_open, _error, upTo(2, {})},
        {"baud", _bc_baud_rate, _error, upTo(3, {"0:latency 16", "0:close"})},
        {"characteristics", _bc_data_characteristics, _error, upTo(4, {"0:latency 16", "0:close"})},
        {"timeouts", _bc_timeouts, _error, upTo(5, {"0:latency 16", "0:close"})},
        {"purge", _bc_purge, _error, upTo(6, {"0:latency 16", "0:close"})},
        {"latency", _bc_latency_timer, _ok, configured},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bridges = std::make_shared<TScriptedBridgeDriver>(TStrings{"KWTP"});
        bridges->Fail(c.failing);
        D2XX_SetDrivers({bridges});
        TUSBConnection layer;
        EXPECT_EQ(layer.IOConnect(TDeviceID(_usb, "KWTP", 111111, "", "")), c.result);
        EXPECT_EQ(bridges->Log(), c.log);
        EXPECT_EQ(layer.USBHandle() != 0, c.result == _ok);
        EXPECT_EQ(bridges->IsOpen(0), c.result == _ok);
        layer.IODisconnect();
    }
}

// Only the exact description opens a bridge: a bridge whose description
// starts with or contains the chosen one is another controller.
TEST_F(UsbConnection, ConnectOpensOnlyTheExactDescription)
{
    const TStrings bridges = {"KWTP Bench 2", "KWTP Bench", "Lab KWTP"};
    struct Case
    {
        TStrings bridges;
        QString name;
        int opened;
    } cases[] = {
        // exact
        {bridges, "KWTP Bench", 1},
        {bridges, "KWTP Bench 2", 0},
        {bridges, "Lab KWTP", 2},
        // prefix only: "KWTP Bench" gone, "KWTP Bench 2" left
        {{"KWTP Bench 2"}, "KWTP Bench", -1},
        {{"KWTP Controller B"}, "KWTP Controller", -1},
        // substring only
        {bridges, "Bench", -1},
        {bridges, "Lab", -1},
        // none
        {bridges, "kwtp", -1},
        {bridges, "", -1},
        {bridges, "Other", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        Bridges->SetBridges(c.bridges);
        TUSBConnection layer;
        const TConnectionError result = layer.IOConnect(TDeviceID(_usb, c.name, 111111, "", ""));
        EXPECT_EQ(result, c.opened >= 0 ? _ok : _error);
        EXPECT_EQ(Bridges->OpenCount(), c.opened >= 0 ? 1 : 0);
        if (c.opened >= 0) {
            EXPECT_TRUE(Bridges->IsOpen(static_cast<std::size_t>(c.opened)));
        }
        layer.IODisconnect();
    }
}

TEST_F(UsbConnection, ConnectClosesAHandleStillHeldBeforeOpening)
{
    const TDeviceID kwtp(_usb, "KWTP", 111111, "", "");
    Bridges->SetBridges({"KWTP", "KWTP"});
    ASSERT_EQ(Layer.IOConnect(kwtp), _ok);
    ASSERT_TRUE(Bridges->IsOpen(0));

    // The bridge held no longer answers; the next connect lets go of it first.
    Bridges->Unplug(0);
    Bridges->ClearLog();
    ASSERT_EQ(Layer.IOConnect(kwtp), _ok);
    const TStrings log = Bridges->Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(TStrings(log.begin(), log.begin() + 3),
              (TStrings{"0:close", "enumerate", "open KWTP"}));
    EXPECT_FALSE(Bridges->IsOpen(0));
    EXPECT_TRUE(Bridges->IsOpen(1));

    // A held handle that cannot be closed blocks a new open.
    Bridges->Fail(_bc_close);
    Bridges->ClearLog();
    const uint32_t held = Layer.USBHandle();
    EXPECT_EQ(Layer.IOConnect(kwtp), _error);
    EXPECT_EQ(Bridges->Log(), TStrings{"1:close"});
    EXPECT_EQ(Layer.USBHandle(), held);
    Bridges->Fail(_bc_close, false);
}

TEST_F(UsbConnection, DisconnectAndResetWithAndWithoutADevice)
{
    Bridges->Fail(_bc_cycle_port);
    EXPECT_EQ(Layer.IOReset(), _ok);
    EXPECT_EQ(Layer.IODisconnect(), _ok);
    EXPECT_TRUE(Bridges->Log().empty());

    OpenKwtp();
    EXPECT_EQ(Layer.IOReset(), _error);
    Bridges->Fail(_bc_cycle_port, false);
    EXPECT_EQ(Layer.IOReset(), _ok);

    Bridges->Fail(_bc_close);
    EXPECT_EQ(Layer.IODisconnect(), _error);
    EXPECT_NE(Layer.USBHandle(), 0u);
    Bridges->Fail(_bc_close, false);
    EXPECT_EQ(Layer.IODisconnect(), _ok);
    EXPECT_EQ(Layer.USBHandle(), 0u);
    EXPECT_FALSE(Bridges->IsOpen(0));
    Bridges->ClearLog();
    EXPECT_EQ(Layer.IODisconnect(), _ok);
    EXPECT_TRUE(Bridges->Log().empty());
}

TEST_F(UsbConnection, MovesBytesAndGivesZeroCountsOnFailure)
{
    uint8_t buffer[16] = {};
    uint32_t size = 5;
    EXPECT_EQ(Layer.IOWrite(buffer, size), _error);
    EXPECT_EQ(size, 0u);
    size = 5;
    EXPECT_EQ(Layer.IORead(buffer, size), _error);
    EXPECT_EQ(size, 0u);
    size = 5;
    EXPECT_EQ(Layer.IOGetReadDataCount(size), _error);
    EXPECT_EQ(size, 0u);

    OpenKwtp();
    const uint8_t frame[5] = {0xBB, 34, 0, 6, 0x63};
    size = 5;
    EXPECT_EQ(Layer.IOWrite(frame, size), _ok);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(Bridges->Written(0), std::vector<uint8_t>(frame, frame + 5));

    size = 0;
    EXPECT_EQ(Layer.IORead(buffer, size), _ok);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Bridges->Log().back(), "0:read 0");

    Bridges->Receive(0, {0xAA, 3, 3, 0, 0xA0, 0xAA});
    EXPECT_EQ(Layer.IOGetReadDataCount(size), _ok);
    EXPECT_EQ(size, 6u);
    size = 5;
    EXPECT_EQ(Layer.IORead(buffer, size), _ok);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5),
              (std::vector<uint8_t>{0xAA, 3, 3, 0, 0xA0}));

    for (TBridgeCall call : {_bc_read, _bc_write, _bc_queue_status})
        Bridges->Fail(call);
    size = 1;
    EXPECT_EQ(Layer.IORead(buffer, size), _error);
    EXPECT_EQ(size, 0u);
    size = 5;
    EXPECT_EQ(Layer.IOWrite(frame, size), _error);
    EXPECT_EQ(size, 0u);
    size = 9;
    EXPECT_EQ(Layer.IOGetReadDataCount(size), _error);
    EXPECT_EQ(size, 0u);
}

TEST_F(UsbConnection, DriverVersionNeedsNoDeviceAndIsZeroWhenUnknown)
{
    EXPECT_EQ(Layer.IOGetDriverVersion(), "FTDI dll version: 66816");
    Bridges->SetLibraryVersion(0xFFFFFFFFu);
    EXPECT_EQ(Layer.IOGetDriverVersion(), "FTDI dll version: 4294967295");
    Bridges->Fail(_bc_library_version);
    EXPECT_EQ(Layer.IOGetDriverVersion(), "FTDI dll version: 0");
}

TEST_F(UsbConnection, LatencySettersReachTheOpenBridge)
{
    OpenKwtp();
    Layer.SetHighLatencyTimer();
    Layer.SetLowLatencyTimer();
    Layer.SetDefaultLatencyTimer();
    EXPECT_EQ(Bridges->Log(), (TStrings{"0:latency 20", "0:latency 5", "0:latency 16"}));
}

TEST(D2XXFunctions, RejectWhatTheyCannotServe)
{
    auto bridges = std::make_shared<TScriptedBridgeDriver>(TStrings{"KWTP"});
    D2XX_SetDrivers({bridges});
    FT_HANDLE handle = 77;
    EXPECT_FALSE(FT_OpenEx("KWTP", FT_OPEN_BY_SERIAL_NUMBER, handle));
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, handle));
    EXPECT_FALSE(FT_Close(0));
    EXPECT_FALSE(FT_Close(12345));

    // The table is never written past the room the caller gives.
    uint32_t count = 0;
    ASSERT_TRUE(FT_CreateDeviceInfoList(count));
    FT_DEVICE_LIST_INFO_NODE table[2] = {};
    table[1].Description[0] = 'z';
    count = 1;
    ASSERT_TRUE(FT_GetDeviceInfoList(table, count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(table[1].Description[0], 'z');

    // Handles are never reused while open and never 0. A bridge is opened
    // as the last search found it; a new one needs a new search.
    FT_HANDLE first = 0, second = 0;
    bridges->SetBridges({"KWTP", "KWTP"});
    ASSERT_TRUE(FT_CreateDeviceInfoList(count));
    ASSERT_TRUE(FT_OpenEx("KWTP", FT_OPEN_BY_DESCRIPTION, first));
    ASSERT_TRUE(FT_OpenEx("KWTP", FT_OPEN_BY_DESCRIPTION, second));
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_FALSE(FT_OpenEx("KWTP", FT_OPEN_BY_DESCRIPTION, handle));
    EXPECT_TRUE(FT_Close(first));
    EXPECT_FALSE(FT_Close(first));
    EXPECT_TRUE(FT_Close(second));
    D2XX_RestoreDefaultDrivers();
}

} // namespace
