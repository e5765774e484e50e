// SPDX-License-Identifier: GPL-3.0-or-later
// Simulated bridges through real sockets in a private runtime directory.
#include "link/BridgeDirectory.h"
#include "link/ConnectionUnit.h"
#include "link/D2XX_Unit.h"
#include "link/SocketBridgeDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using TBytes = std::vector<uint8_t>;
using TStrings = std::vector<std::string>;

constexpr int WaitMs = 5000;

// A simulated controller: listens on its socket and serves one connection.
class TSimulator
{
public:
    explicit TSimulator(const std::string& description)
        : FPath(VarnelBridges::SocketPath(description))
    {
        EXPECT_TRUE(VarnelBridges::EnsureDirectory());
        FListener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        FPath.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(FListener, 4), 0);
    }
    ~TSimulator() { Vanish(); }

    bool Pending() const
    {
        pollfd entry{FListener, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 1;
    }

    bool Accept()
    {
        pollfd entry{FListener, POLLIN, 0};
        if (::poll(&entry, 1, WaitMs) != 1)
            return false;
        FPeer = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        return FPeer >= 0;
    }

    void Send(const TBytes& bytes)
    {
        ASSERT_EQ(::send(FPeer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // What arrives within the deadline, at most `count` bytes; an empty
    // result with `closed` set when the console hung up.
    TBytes Receive(std::size_t count, bool* closed = nullptr)
    {
        TBytes bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{FPeer, POLLIN, 0};
            if (::poll(&entry, 1, 100) != 1)
                continue;
            uint8_t chunk[256];
            const ssize_t got =
                ::recv(FPeer, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
            if (got <= 0) {
                if (closed)
                    *closed = got == 0;
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    // Stops listening without removing the socket file.
    void StopListening()
    {
        if (FListener >= 0)
            ::close(FListener);
        FListener = -1;
    }

    void Vanish()
    {
        if (FPeer >= 0)
            ::close(FPeer);
        FPeer = -1;
        StopListening();
        ::unlink(FPath.c_str());
    }

    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    int FListener = -1;
    int FPeer = -1;
};

class SimulatedBridge : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/varnel-link-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        FRuntime = pattern;
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            FOldRuntime = old;
        FHadRuntime = std::getenv("XDG_RUNTIME_DIR") != nullptr;
        ::setenv("XDG_RUNTIME_DIR", FRuntime.c_str(), 1);
        D2XX_SetDrivers({std::make_shared<TSocketBridgeDriver>()});
    }

    void TearDown() override
    {
        D2XX_RestoreDefaultDrivers();
        if (FHadRuntime)
            ::setenv("XDG_RUNTIME_DIR", FOldRuntime.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(FRuntime);
    }

    static TStrings Enumerate()
    {
        std::vector<TBridgeInfo> bridges;
        EXPECT_TRUE(TSocketBridgeDriver().Enumerate(bridges));
        TStrings names;
        for (const TBridgeInfo& bridge : bridges)
            names.push_back(bridge.Description);
        return names;
    }

    static FT_HANDLE Open(const char* description)
    {
        uint32_t count = 0;
        FT_HANDLE handle = 0;
        FT_CreateDeviceInfoList(count);
        FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, handle);
        return handle;
    }

    // Searches, selects and connects the manager to a listening simulator,
    // and lets the simulator take the connection.
    static bool ConnectTo(TConnection& manager, TSimulator& simulator, const QString& name)
    {
        QStringList names;
        manager.GetAvailableDevices(names);
        manager.SetDeviceID(name);
        return manager.Connect() && simulator.Accept();
    }

    // Polls the queue until `count` bytes wait or the deadline passes.
    static uint32_t WaitForBytes(FT_HANDLE handle, uint32_t count)
    {
        uint32_t waiting = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
        while (FT_GetQueueStatus(handle, waiting) && waiting < count &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(3ms);
        return waiting;
    }

    std::string FRuntime;
    std::string FOldRuntime;
    bool FHadRuntime = false;
};

TEST_F(SimulatedBridge, ListsOwnSocketsInNameOrderWithoutConnecting)
{
    EXPECT_TRUE(Enumerate().empty());
    struct stat st
    {
    };
    ASSERT_EQ(::stat(VarnelBridges::Directory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    TSimulator bench("KWTP Bench");
    TSimulator alpha("Alpha KWTP");
    const std::string dir = VarnelBridges::Directory();
    std::ofstream(dir + "/KWTP File.sock") << "not a socket";
    std::ofstream(dir + "/KWTP Plain") << "no suffix";
    std::filesystem::create_directory(dir + "/KWTP Dir.sock");
    std::filesystem::create_symlink(bench.Path(), dir + "/KWTP Link.sock");

    EXPECT_EQ(Enumerate(), (TStrings{"Alpha KWTP", "KWTP Bench"}));
    EXPECT_FALSE(bench.Pending());
    EXPECT_FALSE(alpha.Pending());

    // Only the console's own files count; this needs the rights to give one away.
    if (::chown(alpha.Path().c_str(), 65534, 65534) != 0)
        GTEST_SKIP() << "cannot hand a socket to another user here";
    EXPECT_EQ(Enumerate(), TStrings{"KWTP Bench"});
    EXPECT_EQ(Open("Alpha KWTP"), 0u);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(Enumerate().empty());
    EXPECT_EQ(Open("KWTP Bench"), 0u);
}

TEST_F(SimulatedBridge, RoundTripThroughTheConnectionManager)
{
    D2XX_RestoreDefaultDrivers();
    TSimulator simulator("KWTP Bench");
    TConnection manager;
    QStringList names;
    manager.GetAvailableDevices(names);
    ASSERT_TRUE(names.contains("KWTP Bench"));
    manager.SetDeviceID("KWTP Bench");
    ASSERT_TRUE(manager.Connect());
    ASSERT_TRUE(simulator.Accept());

    const uint8_t frame[5] = {0xBB, 34, 0, 6, 0x63};
    uint32_t size = 5;
    ASSERT_TRUE(manager.Send(frame, size));
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(simulator.Receive(5), TBytes(frame, frame + 5));

    const TBytes reply = {0xAA, 3, 3, 0, 0xA0, 0xAA, 18};
    simulator.Send(reply);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
    while (manager.GetReadDataCount(size) && size < reply.size() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(3ms);
    ASSERT_EQ(size, reply.size());
    uint8_t buffer[16] = {};
    ASSERT_TRUE(manager.Read(buffer, size));
    EXPECT_EQ(TBytes(buffer, buffer + size), reply);

    ASSERT_TRUE(manager.Disconnect());
    bool closed = false;
    EXPECT_TRUE(simulator.Receive(1, &closed).empty());
    EXPECT_TRUE(closed);
}

// A controller chosen by its description is opened only under that exact
// description: when it is gone, one whose description starts with or
// contains it is another laser and is left alone.
TEST_F(SimulatedBridge, ConnectOpensOnlyTheExactDescription)
{
    struct Case
    {
        const char* chosen;
        bool connects;
    } cases[] = {
        {"KWTP Bench", true},   // exact
        {"KWTP Bench 2", true}, // exact, the other one
        {"KWTP Ben", false},    // prefix only
        {"Bench", false},       // substring only
        {"KWTP Lab", false},    // none
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chosen);
        TSimulator bench("KWTP Bench");
        TSimulator bench2("KWTP Bench 2");
        TConnection manager;
        QStringList names;
        manager.GetAvailableDevices(names);
        ASSERT_EQ(names.size(), 2);
        EXPECT_EQ(manager.Connect(TDeviceID(_usb, c.chosen, 111111, "", "")), c.connects);
        const bool reached = bench.Pending() || bench2.Pending();
        EXPECT_EQ(reached, c.connects);
        manager.Disconnect();
    }

    // The sequence: "KWTP Bench" selected, its simulator stops, Connect.
    TSimulator bench("KWTP Bench");
    TSimulator bench2("KWTP Bench 2");
    TConnection manager;
    QStringList names;
    manager.GetAvailableDevices(names);
    manager.SetDeviceID("KWTP Bench");
    bench.Vanish();
    EXPECT_FALSE(manager.Connect());
    EXPECT_FALSE(manager.Connected());
    EXPECT_FALSE(bench2.Pending());
}

TEST_F(SimulatedBridge, SettingsSucceedPurgeDiscardsAndCycleHangsUp)
{
    TSimulator simulator("KWTP Bench");
    const FT_HANDLE handle = Open("KWTP Bench");
    ASSERT_NE(handle, 0u);
    ASSERT_TRUE(simulator.Accept());
    EXPECT_TRUE(FT_SetBaudRate(handle, 38400));
    EXPECT_TRUE(FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE));
    EXPECT_TRUE(FT_SetTimeouts(handle, 10000, 10000));
    EXPECT_TRUE(FT_SetLatencyTimer(handle, 16));

    simulator.Send({1, 2, 3});
    EXPECT_EQ(WaitForBytes(handle, 3), 3u);
    simulator.Send({4, 5});
    EXPECT_TRUE(FT_Purge(handle, FT_PURGE_TX));
    EXPECT_EQ(WaitForBytes(handle, 5), 5u);
    EXPECT_TRUE(FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX));
    uint32_t waiting = 9;
    EXPECT_TRUE(FT_GetQueueStatus(handle, waiting));
    EXPECT_EQ(waiting, 0u);

    EXPECT_TRUE(FT_CyclePort(handle));
    bool closed = false;
    EXPECT_TRUE(simulator.Receive(1, &closed).empty());
    EXPECT_TRUE(closed);
    EXPECT_FALSE(FT_GetQueueStatus(handle, waiting));
    EXPECT_TRUE(FT_Close(handle));
}

// The console's reader polls and reads on its own thread while the main
// thread writes; every byte the simulator echoes arrives once and in order.
TEST_F(SimulatedBridge, ReaderAndWriterShareTheBridge)
{
    TSimulator simulator("KWTP Bench");
    TConnection manager;
    ASSERT_TRUE(ConnectTo(manager, simulator, "KWTP Bench"));

    constexpr int Frames = 300;
    TBytes sent;
    for (int i = 0; i < Frames; ++i)
        for (int k = 0; k < 5; ++k)
            sent.push_back(static_cast<uint8_t>(i * 5 + k));

    std::thread echo([&] {
        const TBytes bytes = simulator.Receive(sent.size());
        simulator.Send(bytes);
    });
    TBytes received;
    std::thread reader([&] {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
            uint32_t size = 0;
            uint8_t buffer[512];
            if (manager.GetReadDataCount(size) && size > 0) {
                size = std::min<uint32_t>(size, sizeof buffer);
                if (manager.Read(buffer, size))
                    received.insert(received.end(), buffer, buffer + size);
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < Frames; ++i) {
        uint32_t size = 5;
        EXPECT_TRUE(manager.Send(sent.data() + i * 5, size));
        EXPECT_EQ(size, 5u);
    }
    echo.join();
    reader.join();
    EXPECT_EQ(received, sent);
    EXPECT_TRUE(manager.Disconnect());
}

TEST_F(SimulatedBridge, VanishedSimulatorMakesCallsFailWithoutHanging)
{
    TSimulator simulator("KWTP Bench");
    TConnection manager;
    ASSERT_TRUE(ConnectTo(manager, simulator, "KWTP Bench"));
    simulator.Send({0xAA, 3});
    simulator.Vanish();

    const auto started = std::chrono::steady_clock::now();
    uint32_t size = 0;
    uint8_t buffer[8] = {};
    // What was sent before the hang-up still arrives, then the calls fail.
    while (manager.GetReadDataCount(size) && size < 2 &&
           std::chrono::steady_clock::now() - started < std::chrono::milliseconds(WaitMs))
        std::this_thread::sleep_for(3ms);
    ASSERT_EQ(size, 2u);
    EXPECT_TRUE(manager.Read(buffer, size));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(buffer[1], 3);
    EXPECT_FALSE(manager.GetReadDataCount(size));
    EXPECT_EQ(size, 0u);
    size = 2;
    EXPECT_FALSE(manager.Read(buffer, size));
    EXPECT_EQ(size, 0u);
    size = 2;
    EXPECT_FALSE(manager.Send(buffer, size));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);

    EXPECT_FALSE(manager.Connect());
    EXPECT_FALSE(manager.Connected());
}

TEST_F(SimulatedBridge, RefusedOrOutsideConnectionsAreFailedOpens)
{
    // A socket file nobody serves any longer is no bridge.
    TSimulator stale("KWTP Stale");
    stale.StopListening();
    EXPECT_TRUE(Enumerate().empty());
    EXPECT_EQ(Open("KWTP Stale"), 0u);

    // Bound but not listening: listed, and the open is refused at once.
    const std::string path = VarnelBridges::SocketPath("KWTP Deaf");
    const int deaf = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(deaf, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(Enumerate(), TStrings{"KWTP Deaf"});
    EXPECT_EQ(Open("KWTP Deaf"), 0u);
    ::close(deaf);

    // A description never reaches outside the bridge directory.
    TSimulator bench("KWTP Bench");
    EXPECT_EQ(Open("../bridges/KWTP Bench"), 0u);
    EXPECT_FALSE(bench.Pending());
}

// Every name the operator sees must name exactly one bridge: text that is
// not UTF-8 would show as the same replacement character, and control or
// reordering characters would show as something else than the bridge's name.
// The same rule holds for USB bridges.
TEST_F(SimulatedBridge, OnlyDescriptionsThatNameOneBridgeAreListed)
{
    struct Case
    {
        const char* name;
        std::string description;
        bool listed;
    } cases[] = {
        {"plain", "KWTP Bench", true},
        {"non-ASCII UTF-8", "KWTP B\xc3\xa4nk \xe2\x82\xac \xf0\x9f\x94\xac", true},
        {"latin-1 byte", "KWTP \xfe", false},
        {"another latin-1 byte", "KWTP \xff", false},
        {"truncated sequence", "KWTP \xc3", false},
        {"overlong slash", "KWTP \xc0\xaf", false},
        {"surrogate", "KWTP \xed\xa0\x80", false},
        {"past U+10FFFF", "KWTP \xf4\x90\x80\x80", false},
        {"newline", "KWTP\nTwo", false},
        {"escape", "KWTP \x1b[31m", false},
        {"tab", "KWTP\tBench", false},
        {"delete", "KWTP \x7f", false},
        {"C1 control", "KWTP \xc2\x85", false},
        {"right-to-left override", "KWTP \xe2\x80\xae", false},
        {"left-to-right isolate", "KWTP \xe2\x81\xa6", false},
        {"right-to-left mark", "KWTP \xe2\x80\x8f", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DistinctDescription(c.description), c.listed);
        TSimulator simulator(c.description);
        EXPECT_EQ(Enumerate(), c.listed ? TStrings{c.description} : TStrings{});
    }

    // Only stream sockets are bridges: a datagram socket is not listed.
    const std::string path = VarnelBridges::SocketPath("KWTP Datagram");
    const int datagram = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(datagram, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(Enumerate().empty());
    EXPECT_EQ(Open("KWTP Datagram"), 0u);
    ::close(datagram);
}

// Writes never wait: they go into the send queue, and a write that does not
// fit (the simulator has stopped reading) fails at once and loses the link.
TEST_F(SimulatedBridge, WriteThatOverflowsTheSendQueueLosesTheLink)
{
    TSimulator simulator("KWTP Bench");
    const FT_HANDLE handle = Open("KWTP Bench");
    ASSERT_NE(handle, 0u);
    ASSERT_TRUE(simulator.Accept());
    const TBytes flood(16 << 20, 0x55);
    uint32_t written = 1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(FT_Write(handle, flood.data(), static_cast<uint32_t>(flood.size()), written));
    EXPECT_EQ(written, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, SendStallLimit);
    uint32_t waiting = 0;
    EXPECT_FALSE(FT_GetQueueStatus(handle, waiting));
    EXPECT_FALSE(FT_Write(handle, flood.data(), 5, written));
    EXPECT_TRUE(FT_Close(handle));
}

} // namespace
