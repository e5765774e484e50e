// SPDX-License-Identifier: GPL-3.0-or-later
// The console's USB driver (libftdi over libusb, both real) against emulated
// bridges on a virtual USB bus: what it lists, what it puts on the wire when
// it opens a bridge, and how the link behaves while the controller streams,
// when it is closed and when the bridge is pulled out.
#include "DeniedNode.h"
#include "link/ConnectionUnit.h"
#include "link/D2XX_Unit.h"
#include "link/FtdiBridgeDriver.h"
#include "link/Phy_USB_Unit.h"
#include "protocol/ReadFrameUnit.h"
#include "sim/usb/UsbEmulator.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using VarnelUsb::TBridgeOptions;
using VarnelUsb::TClock;
using VarnelUsb::TWireRequest;

namespace {

double Ms(TClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Runs the main thread's event loop, as the console does: the reader hands
// every scope sample to it and waits (QTest::qWait would sleep in between).
void RunEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Scope samples as the handlers get them, with the time they arrived.
class TScopeHandlers : public TVarnelMessageHandlers
{
public:
    std::vector<std::pair<uint16_t, TClock::time_point>> Samples;
    int LinkLost = 0;
    int CRCErrors = 0;

    void HandleScopeSample(uint32_t v) override
    {
        Samples.emplace_back(static_cast<uint16_t>(v), TClock::now());
    }
    void HandleDeviceStatus(uint32_t, uint32_t) override {}
    void HandleTuningMirrorPosition(uint32_t) override {}
    void HandleStabilizationMirrorPosition(uint32_t) override {}
    void HandleDeviceEvent(uint32_t, uint32_t) override {}
    void HandleCFTTemperature(uint32_t) override {}
    void HandleServiceSample(uint32_t) override {}
    void HandlePeakId(uint32_t) override {}
    void HandlePhaseValue(uint32_t) override {}
    void HandleDelayValue(uint32_t) override {}
    void HandlePathGainValue(uint32_t) override {}
    void HandleCFTValue(uint32_t) override {}
    void HandlePValue(uint32_t) override {}
    void HandleIValue(uint32_t) override {}
    void HandleDValue(uint32_t) override {}
    void HandlePIDGainValue(uint32_t) override {}
    void HandleExpectedPeaksValue(uint32_t) override {}
    void HandleScopeScaleValue(uint32_t) override {}
    void HandleSetPointValue(uint32_t) override {}
    void HandleHarmonicValue(uint32_t) override {}
    void HandleCFTTemp10Value(uint32_t) override {}
    void HandleCFTTemp40Value(uint32_t) override {}
    void HandleCFTOffsetValue(uint32_t) override {}
    void HandleCFTRawValue(uint32_t) override {}
    void HandleModulationValue(uint32_t) override {}
    void HandleFOffsetValue(uint32_t) override {}
    void HandleLifetimeHigh(uint32_t) override {}
    void HandleLifetimeLow(uint32_t) override {}
    void HandleCRCError() override { ++CRCErrors; }
    void HandleLinkLost() override { ++LinkLost; }
};

// A controller that fills the line with scope samples 0, 1, 2, ...
TBridgeOptions Streaming(const std::string& description = "KWTP Stream")
{
    TBridgeOptions options;
    options.Description = description;
    options.Model.ScopeOnly = true;
    options.Model.ScopePattern = VarnelSim::_sp_ramp;
    options.Model.ScopeRate = 768;
    return options;
}

// Descriptions the console lists, sorted (the bus has its own order).
std::vector<std::string> ListedBridges()
{
    TUSBConnection layer;
    TDevicesIDList list;
    EXPECT_EQ(layer.IOEnumDevices(list), _ok);
    std::vector<std::string> names;
    for (const auto& device : list)
        names.push_back(device->fullName().toStdString());
    std::sort(names.begin(), names.end());
    return names;
}

class UsbBridge : public ::testing::Test
{
protected:
    void SetUp() override { D2XX_RestoreDefaultDrivers(); }
    VarnelUsb::TUsbTestbed Bus;
};

TEST_F(UsbBridge, ListsTaggedBridgesWithTheirWholeDescription)
{
    const std::string longest = "KWTP " + std::string(59, 'x');
    ASSERT_EQ(longest.size(), 64u);
    TBridgeOptions plain;
    plain.Description = "Some other serial bridge";
    TBridgeOptions foreign;
    foreign.Vendor = 0x1d50;
    foreign.Product = 0x6018;
    foreign.Description = "KWTP on another maker's chip";
    foreign.Foreign = true;
    TBridgeOptions first, second;
    first.Description = "KWTP Bench";
    second.Description = longest;
    for (const auto& options : {first, plain, foreign, second})
        Bus.AddBridge(options);

    EXPECT_EQ(ListedBridges(), (std::vector<std::string>{"KWTP Bench", longest}));
    uint32_t count = 0;
    ASSERT_TRUE(FT_CreateDeviceInfoList(count));
    EXPECT_EQ(count, 3u) << "the device of another maker is not a bridge";
}

// The emulated chip itself, through plain libusb: packets of at most 64
// bytes, each led by the modem status; a status-only packet every latency
// period while the line is idle; the stream whole when it is not; a request
// the chip does not know is stalled.
TEST_F(UsbBridge, EmulatedChipSendsPacketsAsTheChipDoes)
{
    TBridgeOptions idle;
    idle.Description = "KWTP Idle";
    idle.Model.ScopeOnly = true;
    idle.Model.ScopeRate = 0;
    Bus.AddBridge(idle);
    TBridgeOptions streaming = Streaming();
    streaming.Product = 0x6015; // told apart from the idle one by its product id
    Bus.AddBridge(streaming);

    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), 0);
    struct TChip
    {
        libusb_device_handle* Handle;
        bool Vendor(uint8_t request, uint16_t value, uint16_t index = 1)
        {
            return libusb_control_transfer(Handle, 0x40, request, value, index, nullptr, 0, 1000) ==
                   0;
        }
        // One bulk-in transfer of one packet.
        std::vector<uint8_t> Packet()
        {
            std::vector<uint8_t> packet(64);
            int got = 0;
            const int result = libusb_bulk_transfer(Handle, 0x81, packet.data(), 64, &got, 1000);
            packet.resize(result == 0 ? static_cast<std::size_t>(got) : 0);
            return packet;
        }
    };
    auto open = [&](uint16_t product) {
        TChip chip{libusb_open_device_with_vid_pid(context, 0x0403, product)};
        EXPECT_NE(chip.Handle, nullptr);
        if (chip.Handle) {
            EXPECT_EQ(libusb_claim_interface(chip.Handle, 0), 0);
            EXPECT_TRUE(chip.Vendor(VarnelUsb::_sio_set_baudrate, 0xC04E, 0));
            EXPECT_TRUE(chip.Vendor(VarnelUsb::_sio_set_latency_timer, 16));
        }
        return chip;
    };

    TChip quiet = open(0x6001);
    ASSERT_NE(quiet.Handle, nullptr);
    EXPECT_EQ(libusb_control_transfer(quiet.Handle, 0x40, 0x55, 0, 1, nullptr, 0, 1000),
              LIBUSB_ERROR_PIPE);
    quiet.Packet();
    const auto started = TClock::now();
    constexpr int Packets = 10;
    for (int i = 0; i < Packets; ++i)
        EXPECT_EQ(quiet.Packet(), (std::vector<uint8_t>{0x01, 0x60}));
    // An idle chip answers a read once per latency-timer period (16 ms),
    // never at once; how much later depends on a machine that may be busy,
    // so only a stall is an error.
    const double period = Ms(TClock::now() - started) / Packets;
    EXPECT_GT(period, 12.0);
    EXPECT_LT(period, 1000.0);
    libusb_close(quiet.Handle);

    TChip loud = open(0x6015);
    ASSERT_NE(loud.Handle, nullptr);
    EXPECT_TRUE(loud.Vendor(VarnelUsb::_sio_reset, VarnelUsb::_reset_purge_to_host));
    std::vector<uint8_t> stream;
    while (stream.size() < 2000) {
        const std::vector<uint8_t> packet = loud.Packet();
        ASSERT_GE(packet.size(), 2u);
        ASSERT_LE(packet.size(), 64u);
        ASSERT_EQ(packet[0], 0x01);
        ASSERT_EQ(packet[1], 0x60);
        stream.insert(stream.end(), packet.begin() + 2, packet.end());
    }
    libusb_close(loud.Handle);
    libusb_exit(context);
    // Whole frames from the first start byte on, their ramp values in steps of one.
    const auto start = std::find(stream.begin(), stream.end(), 0xAA);
    ASSERT_LT(start - stream.begin(), 5);
    std::vector<uint16_t> values;
    for (auto at = start; stream.end() - at >= 5; at += 5) {
        ASSERT_EQ(at[0], 0xAA);
        ASSERT_EQ(at[1], MessageIdByte(TMessageId::ScopeSample));
        values.push_back(static_cast<uint16_t>(at[2] | at[3] << 8));
    }
    for (std::size_t i = 1; i < values.size(); ++i)
        ASSERT_EQ(values[i], static_cast<uint16_t>(values[i - 1] + 1)) << "at frame " << i;
}

// What the console's open puts on the wire, after libftdi's own reset and
// default line set-up.
TEST_F(UsbBridge, OpeningConfiguresTheLineAsTheWireShows)
{
    auto& bridge = Bus.AddBridge({});
    TUSBConnection layer;
    ASSERT_EQ(layer.IOConnect(TDeviceID(_usb, "KWTP Emulated Controller", 0, {}, {})), _ok);
    const auto wire = bridge.WireRequests();
    const auto firstOurs = std::find_if(wire.begin(), wire.end(), [](const TWireRequest& r) {
        return r.Request == VarnelUsb::_sio_set_baudrate &&
               r.Value != 0x4138; // 9600: libftdi's default
    });
    ASSERT_NE(firstOurs, wire.end());
    const std::vector<TWireRequest> ours(firstOurs, wire.end());
    const std::vector<TWireRequest> expected = {
        {0x40, VarnelUsb::_sio_set_baudrate, 0xC04E, 0},
        {0x40, VarnelUsb::_sio_set_data, 0x0008, 1},
        {0x40, VarnelUsb::_sio_reset, VarnelUsb::_reset_purge_to_controller, 1},
        {0x40, VarnelUsb::_sio_reset, VarnelUsb::_reset_purge_to_host, 1},
        {0x40, VarnelUsb::_sio_set_latency_timer, 16, 1},
    };
    auto print = [](const std::vector<TWireRequest>& list) {
        std::string text;
        for (const auto& r : list) {
            char item[48];
            std::snprintf(item, sizeof item, " %02x/%u/%04x/%u", r.RequestType, r.Request, r.Value,
                          r.Index);
            text += item;
        }
        return text;
    };
    EXPECT_EQ(ours, expected) << "wire:" << print(wire);
    EXPECT_EQ(bridge.BaudRate(), 38400u);
    EXPECT_EQ(bridge.LatencyMs(), 16);
    EXPECT_EQ(layer.IODisconnect(), _ok);
}

// A bridge that cannot be configured is let go of again and the connect
// reports the failure; so is one that another program holds.
TEST_F(UsbBridge, BridgeThatRefusesIsClosedAndTheConnectFails)
{
    TBridgeOptions stalling;
    stalling.Description = "KWTP Stalls";
    stalling.StallBaudRate = true;
    Bus.AddBridge(stalling);
    TUSBConnection layer;
    EXPECT_EQ(layer.IOConnect(TDeviceID(_usb, "KWTP Stalls", 0, {}, {})), _error);
    EXPECT_EQ(layer.USBHandle(), 0u) << "the bridge is still open";
    TConnection connection;

    TBridgeOptions held;
    held.Description = "KWTP Held";
    auto& busy = Bus.AddBridge(held);
    busy.SetClaimRefusal(EBUSY);
    EXPECT_FALSE(connection.Connect(TDeviceID(_usb, "KWTP Held", 0, {}, {})));
    EXPECT_FALSE(connection.Connected());
    ASSERT_EQ(connection.Problems().size(), 1u) << "the connect does not say the bridge is busy";
    EXPECT_EQ(connection.Problems()[0].Kind, _bp_busy);
    EXPECT_EQ(connection.Problems()[0].Where, busy.DeviceNode());
    busy.SetClaimRefusal(0);
    EXPECT_TRUE(connection.Connect(TDeviceID(_usb, "KWTP Held", 0, {}, {})));
    EXPECT_TRUE(connection.Problems().empty());
    EXPECT_TRUE(busy.Claimed());
    EXPECT_TRUE(connection.Disconnect());
    EXPECT_FALSE(busy.Claimed());
}

// A bridge whose device node the user may not open (no udev rule): libusb
// refuses it with "access denied", libftdi cannot read its description, and
// a connect to it and the search name it as a problem, and the search lists
// the others as ever. With access back, it is listed again and the problem
// is gone. An FTDI device that is not the controller's and that the user
// may not open is never a problem.
TEST_F(UsbBridge, BridgeTheUserMayNotOpenIsNamedAsAProblem)
{
    TBridgeOptions open, denied, other;
    open.Description = "KWTP Open";
    denied.Description = "KWTP Denied";
    other.Description = "FT232R USB UART";
    Bus.AddBridge(open);
    auto& bridge = Bus.AddBridge(denied);
    // Another FTDI device the udev rule does not grant: no problem of the
    // console's, as sysfs names its product.
    auto& cable = Bus.AddBridge(other);
    TDeniedNode cableNoAccess(Bus.RootDir() + cable.DeviceNode());
    TConnection connection;
    QStringList names;
    connection.GetAvailableDevices(names);
    ASSERT_EQ(names.size(), 2);
    const auto deniedHere = [&] {
        return connection.Problems().size() == 1 &&
               connection.Problems()[0].Kind == _bp_no_access &&
               connection.Problems()[0].Where == bridge.DeviceNode();
    };
    {
        TDeniedNode noAccess(Bus.RootDir() + bridge.DeviceNode());
        ASSERT_TRUE(noAccess.Refused()) << "the node of the testbed can still be opened";

        ftdi_context* ftdi = ftdi_new();
        ASSERT_NE(ftdi, nullptr);
        ftdi_device_list* list = nullptr;
        ASSERT_EQ(ftdi_usb_find_all(ftdi, &list, 0, 0), 3);
        int refused = 0;
        for (ftdi_device_list* item = list; item; item = item->next) {
            char node[32];
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u",
                          libusb_get_bus_number(item->dev), libusb_get_device_address(item->dev));
            if (node != bridge.DeviceNode())
                continue;
            ++refused;
            libusb_device_handle* handle = nullptr;
            EXPECT_EQ(libusb_open(item->dev, &handle), LIBUSB_ERROR_ACCESS);
            // libftdi's code for a failed libusb_open, which the driver relies on.
            char description[128];
            EXPECT_EQ(ftdi_usb_get_strings(ftdi, item->dev, nullptr, 0, description,
                                           sizeof description, nullptr, 0),
                      -4)
                << ftdi_get_error_string(ftdi);
        }
        ftdi_list_free(&list);
        ftdi_free(ftdi);
        EXPECT_EQ(refused, 1);

        connection.SetDeviceID("KWTP Denied");
        EXPECT_FALSE(connection.Connect());
        EXPECT_TRUE(deniedHere()) << "the connect does not say why";
        names.clear();
        connection.GetAvailableDevices(names);
        EXPECT_EQ(names, QStringList{"KWTP Open"});
        EXPECT_TRUE(deniedHere()) << "the search does not say why";
    }
    names.clear();
    connection.GetAvailableDevices(names);
    names.sort();
    EXPECT_EQ(names, (QStringList{"KWTP Denied", "KWTP Open"}));
    EXPECT_TRUE(connection.Problems().empty());
}

struct TStream
{
    TConnection Connection;
    TScopeHandlers Handlers;
    std::unique_ptr<TReadVarnelFrameThread> Reader;

    bool Start(const char* description)
    {
        if (!Connection.Connect(TDeviceID(_usb, description, 0, {}, {})))
            return false;
        Reader = std::make_unique<TReadVarnelFrameThread>(Connection, Handlers);
        return true;
    }
};

// A bridge whose serial port (/dev/ttyUSB*) a program has open is in use,
// as one held through libusb: the driver leaves it to that program and
// says so; once the program lets go, the bridge opens.
TEST_F(UsbBridge, BridgeWhoseSerialPortIsOpenElsewhereIsInUse)
{
    auto& bridge = Bus.AddBridge(TBridgeOptions{});
    const std::filesystem::path root = Bus.RootDir() + "/fake-roots";
    auto driver =
        std::make_shared<TFtdiBridgeDriver>((root / "sys").string(), (root / "proc").string());
    std::vector<TBridgeInfo> found;
    ASSERT_TRUE(driver->Enumerate(found));
    ASSERT_EQ(found.size(), 1u);
    std::filesystem::create_directories(root / "sys/bus/usb/devices" / (found[0].Locator + ":1.0") /
                                        "ttyUSB3");
    std::filesystem::create_directories(root / "proc/4242/fd");
    std::filesystem::create_symlink("/dev/ttyUSB3", root / "proc/4242/fd/7");
    D2XX_SetDrivers({driver});

    TConnection connection;
    QStringList names;
    connection.GetAvailableDevices(names);
    ASSERT_EQ(names, QStringList{"KWTP Emulated Controller"});
    connection.SetDeviceID(names[0]);
    EXPECT_FALSE(connection.Connect());
    EXPECT_FALSE(bridge.Claimed());
    ASSERT_EQ(connection.Problems().size(), 1u);
    EXPECT_EQ(connection.Problems()[0].Kind, _bp_busy);
    EXPECT_EQ(connection.Problems()[0].Where, "/dev/ttyUSB3");

    std::filesystem::remove(root / "proc/4242/fd/7");
    EXPECT_TRUE(connection.Connect());
    EXPECT_TRUE(bridge.Claimed());
    EXPECT_TRUE(connection.Problems().empty());
    EXPECT_TRUE(connection.Disconnect());
    D2XX_RestoreDefaultDrivers();
}

// Warnings of varnel.link, from whatever thread logs them.
struct TLinkWarnings
{
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& Messages()
    {
        static std::vector<std::string> messages;
        return messages;
    }
    static void Collect(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (type != QtWarningMsg || QLatin1String(context.category) != QLatin1String("varnel.link"))
            return;
        std::lock_guard lock(Lock());
        Messages().push_back(text.toStdString());
    }
};

// Each kind of error the chip reports in a packet's line status byte is
// counted on its own; the other bits of that byte are no error. The counts
// are the link's, for the console to offer, and a warning tells them at
// most once a second.
TEST_F(UsbBridge, LineErrorsAreCountedPerKindAndWarnedAtMostOnceASecond)
{
    auto& bridge = Bus.AddBridge(TBridgeOptions{});
    TConnection connection;
    ASSERT_TRUE(connection.Connect(TDeviceID(_usb, "KWTP Emulated Controller", 0, {}, {})));
    EXPECT_EQ(connection.LineErrors(), TLineErrors{});
    {
        std::lock_guard lock(TLinkWarnings::Lock());
        TLinkWarnings::Messages().clear();
    }
    const QtMessageHandler previous = qInstallMessageHandler(TLinkWarnings::Collect);

    struct Case
    {
        uint8_t bits;
        unsigned packets;
        TLineErrors total; // after this case
    } cases[] = {
        {0x02, 2, {2, 0, 0, 0}},
        {0x04, 1, {2, 1, 0, 0}},
        {0x08, 3, {2, 1, 3, 0}},
        {0x10, 1, {2, 1, 3, 1}},
        // data ready, transmitter empty and the FIFO summary bit are no errors
        {0xe1 | 0x02, 1, {3, 1, 3, 1}},
        {0x1e, 2, {5, 3, 5, 3}},
    };
    const auto started = TClock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.bits));
        bridge.MarkLineErrors(c.bits, c.packets);
        const auto deadline = TClock::now() + 5s;
        while (connection.LineErrors() != c.total && TClock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        const TLineErrors counted = connection.LineErrors();
        EXPECT_EQ(counted.Overrun, c.total.Overrun);
        EXPECT_EQ(counted.Parity, c.total.Parity);
        EXPECT_EQ(counted.Framing, c.total.Framing);
        EXPECT_EQ(counted.Break, c.total.Break);
    }
    // The last counts are told within a second or so of the last error.
    const auto deadline = TClock::now() + 5s;
    const std::string last = "line errors so far: 5 overrun, 3 parity, 5 framing, 3 break";
    auto lastTold = [&] {
        std::lock_guard lock(TLinkWarnings::Lock());
        return !TLinkWarnings::Messages().empty() &&
               TLinkWarnings::Messages().back().find(last) != std::string::npos;
    };
    while (!lastTold() && TClock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const double seconds = std::chrono::duration<double>(TClock::now() - started).count();
    qInstallMessageHandler(previous);
    EXPECT_TRUE(lastTold());
    std::lock_guard lock(TLinkWarnings::Lock());
    EXPECT_GE(TLinkWarnings::Messages().size(), 1u);
    EXPECT_LE(static_cast<double>(TLinkWarnings::Messages().size()), seconds + 1)
        << "more than one warning a second";

    EXPECT_TRUE(connection.Disconnect());
    EXPECT_EQ(connection.LineErrors(), TLineErrors{});
}

// At the line's full rate every scope sample reaches its handler, in order,
// soon after its last byte left the controller.
TEST_F(UsbBridge, EveryFrameArrivesInOrderAtLineRate)
{
    auto& bridge = Bus.AddBridge(Streaming());
    TStream stream;
    ASSERT_TRUE(stream.Start("KWTP Stream"));
    RunEventLoop(2000);
    StopFrameReader(stream.Reader);
    stream.Connection.Disconnect();

    const auto& received = stream.Handlers.Samples;
    ASSERT_GT(received.size(), 700u);
    for (std::size_t i = 1; i < received.size(); ++i)
        ASSERT_EQ(received[i].first, static_cast<uint16_t>(received[i - 1].first + 1))
            << "sample " << i << " lost or out of order";
    std::map<uint16_t, TClock::time_point> sent;
    for (const auto& sample : bridge.TakeSentSamples())
        sent.emplace(sample.Raw, sample.When);
    std::vector<double> latencies;
    for (const auto& [raw, when] : received) {
        auto found = sent.find(raw);
        ASSERT_NE(found, sent.end());
        latencies.push_back(Ms(when - found->second));
    }
    const double first = latencies.front();
    const double last = latencies.back();
    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies[latencies.size() / 2];
    const double p99 = latencies[latencies.size() * 99 / 100];
    const double worst = latencies.back();
    std::printf(
        "line rate through the emulated bridge: %zu samples, latency p50 %.1f ms, p99 %.1f "
        "ms, max %.1f ms, first %.1f ms, last %.1f ms (goal: latency timer 16 ms + 10 ms)\n",
        latencies.size(), p50, p99, worst, first, last);
    RecordProperty("latency_p99_ms", std::to_string(p99));
    // Generous: the goal is 26 ms, but the machine may be busy.
    EXPECT_LT(p99, 500.0);
    EXPECT_EQ(stream.Handlers.CRCErrors, 0);
}

// Closing, opening and closing again while the controller streams: none
// waits for the stream.
TEST_F(UsbBridge, DisconnectAndConnectReturnPromptlyWhileStreaming)
{
    Bus.AddBridge(Streaming());
    TStream stream;
    ASSERT_TRUE(stream.Start("KWTP Stream"));
    RunEventLoop(300);
    auto started = TClock::now();
    StopFrameReader(stream.Reader);
    EXPECT_TRUE(stream.Connection.Disconnect());
    const double disconnect = Ms(TClock::now() - started);
    started = TClock::now();
    ASSERT_TRUE(stream.Start("KWTP Stream"));
    const double connect = Ms(TClock::now() - started);
    RunEventLoop(300);
    started = TClock::now();
    StopFrameReader(stream.Reader);
    EXPECT_TRUE(stream.Connection.Disconnect());
    const double again = Ms(TClock::now() - started);
    std::printf("while streaming: disconnect %.1f ms, connect %.1f ms, disconnect again %.1f ms "
                "(goal: 100 ms each)\n",
                disconnect, connect, again);
    // Five times the goal of 100 ms, for a busy machine.
    EXPECT_LT(disconnect, 500.0);
    EXPECT_LT(connect, 500.0);
    EXPECT_LT(again, 500.0);
}

// Pulled out while streaming: the reader reports the lost link soon, and
// closing the dead bridge does not hang.
TEST_F(UsbBridge, UnplugWhileStreamingIsALostLink)
{
    auto& bridge = Bus.AddBridge(Streaming());
    TStream stream;
    ASSERT_TRUE(stream.Start("KWTP Stream"));
    RunEventLoop(300);
    const auto unplugged = TClock::now();
    bridge.Unplug();
    EXPECT_TRUE(QTest::qWaitFor([&] { return stream.Handlers.LinkLost > 0; }, 3000));
    const double noticed = Ms(TClock::now() - unplugged);
    const auto closing = TClock::now();
    StopFrameReader(stream.Reader);
    stream.Connection.Disconnect();
    const double closed = Ms(TClock::now() - closing);
    std::printf("unplugged while streaming: link lost after %.1f ms, closed in %.1f ms\n", noticed,
                closed);
    EXPECT_LT(noticed, 1000.0);
    EXPECT_LT(closed, 1000.0);
    EXPECT_TRUE(ListedBridges().empty());

    bridge.Replug();
    EXPECT_EQ(ListedBridges(), std::vector<std::string>{"KWTP Stream"});
    ASSERT_TRUE(stream.Start("KWTP Stream"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return stream.Handlers.Samples.size() > 100; }, 3000));
    StopFrameReader(stream.Reader);
    stream.Connection.Disconnect();
}

// A bridge that stops taking bytes toward the controller: sending never
// blocks, and the link soon counts as lost.
TEST_F(UsbBridge, BridgeThatStopsTakingBytesIsALostLink)
{
    auto& bridge = Bus.AddBridge(Streaming());
    TStream stream;
    ASSERT_TRUE(stream.Start("KWTP Stream"));
    const uint8_t command[] = {0xBB, 53, 0, 0, 0xF0};
    uint32_t size = sizeof command;
    ASSERT_TRUE(stream.Connection.Send(command, size));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.BytesToController() == sizeof command; }, 2000))
        << "the command did not reach the controller";
    bridge.SetOutStalled(true);
    const auto stalled = TClock::now();
    double slowestSend = 0;
    while (stream.Handlers.LinkLost == 0 && TClock::now() - stalled < std::chrono::seconds(5)) {
        size = sizeof command;
        const auto sending = TClock::now();
        stream.Connection.Send(command, size);
        slowestSend = std::max(slowestSend, Ms(TClock::now() - sending));
        RunEventLoop(20);
    }
    const double lost = Ms(TClock::now() - stalled);
    std::printf("bridge stopped taking bytes: link lost after %.1f ms, slowest send %.1f ms\n",
                lost, slowestSend);
    EXPECT_GT(stream.Handlers.LinkLost, 0);
    EXPECT_LT(slowestSend, 500.0);
    StopFrameReader(stream.Reader);
    stream.Connection.Disconnect();
}

} // namespace
