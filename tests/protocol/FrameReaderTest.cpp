// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeLine.h"
#include "RecordingHandlers.h"

#include "link/BridgeDirectory.h"
#include "link/D2XX_Unit.h"
#include "link/SocketBridgeDriver.h"
#include "protocol/MainThreadCallList.h"

#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::size_t Pending()
{
    return TMainThreadCallList::Instance().PendingCount();
}

// Waits, without running the main thread's calls, until the condition holds.
bool WaitWithoutEvents(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QThread::msleep(1);
    }
    return true;
}

// Lets the reader take in every scripted byte and the main thread run every
// call that came of it.
void Settle(const TFakeConnection& fake)
{
    ASSERT_TRUE(WaitUntil([&] { return fake.Line->Unread() == 0; }));
    // Two more count queries: the pass that read the last bytes has finished
    // its scan.
    const std::size_t queries = fake.Line->CountQueries();
    ASSERT_TRUE(
        WaitUntil([&] { return fake.Line->CountQueries() >= queries + 2 && Pending() == 0; }));
}

struct TReaderCase
{
    const char* What;
    std::vector<std::vector<uint8_t>> Reads;
    std::vector<THandlerCall> Calls;
    int CRCErrors;
};

// Each inner vector arrives as one read of the reader.
TEST(FrameReader, ByteStreamCases)
{
    const std::vector<TReaderCase> cases = {
        {"frame split over two reads, 3 + 2",
         {{0xAA, 0x7C, 0x2C}, {0x01, 0xAD}},
         {{"LifetimeLow", 300}},
         0},
        {"frame split 4 + 1", {{0xAA, 0x7C, 0x2C, 0x01}, {0xAD}}, {{"LifetimeLow", 300}}, 0},
        {"noise before a frame",
         {Bytes({{0x00, 0x13, 0xAB, 0xFF}, DeviceFrame(4, 40, 0)})},
         {{"TuningMirrorPosition", 40}},
         0},
        {"two frames in one read, queued then waited",
         {Bytes({DeviceFrame(124, 5, 0), DeviceFrame(3, 3, 0)})},
         {{"LifetimeLow", 5}, {"DeviceStatus", 3, 0}},
         0},
        {"lone start byte carried into the next read",
         {Bytes({DeviceFrame(18, 6, 0), {0xAA}}), {0x7C, 0x2C, 0x01, 0xAD}},
         {{"PeakId", 6}, {"LifetimeLow", 300}},
         0},
        {"start byte as a frame's value",
         {Bytes({DeviceFrame(1, 0xAA, 0), DeviceFrame(4, 7, 0)})},
         {{"ScopeSample", 0xAA}, {"TuningMirrorPosition", 7}},
         0},
        {"bad then good",
         {Bytes({{0xAA, 0x03, 0x03, 0x00, 0x51}, DeviceFrame(5, 9, 0)})},
         {{"StabilizationMirrorPosition", 9}},
         1},
        {"split bad frame counts once", {{0xAA, 0x03, 0x03}, {0x00, 0x51}}, {}, 1},
    };
    for (const TReaderCase& c : cases) {
        SCOPED_TRACE(c.What);
        TFakeConnection fake;
        for (const auto& read : c.Reads)
            fake.Line->Arrive(read);
        TRecordingHandlers handlers;
        auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
        Settle(fake);
        EXPECT_FALSE(reader->Error);
        StopFrameReader(reader);
        EXPECT_EQ(reader, nullptr);
        EXPECT_EQ(handlers.Calls, c.Calls);
        EXPECT_EQ(handlers.CRCErrors, c.CRCErrors);
        EXPECT_EQ(handlers.OffMainThread, 0);
    }
}

TEST(FrameReader, ReadsNeverAskForMoreThanTheFreeRoom)
{
    // Four bytes carried over, then far more waiting than the buffer holds.
    constexpr int frames = 2401;
    std::vector<uint8_t> stream;
    for (int i = 0; i < frames; ++i) {
        const auto frame =
            DeviceFrame(124, static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    TFakeConnection fake;
    fake.Line->Arrive({stream.begin(), stream.begin() + 4});
    fake.Line->Arrive({stream.begin() + 4, stream.end()});

    TRecordingHandlers handlers;
    auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
    Settle(fake);
    StopFrameReader(reader);

    const std::vector<uint32_t> requests = fake.Line->ReadRequests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0], 4u);
    EXPECT_EQ(requests[1], TReadVarnelFrameThread::BufferSize - 4);
    EXPECT_EQ(requests[2], stream.size() - 4 - requests[1]);
    for (uint32_t request : requests)
        EXPECT_LE(request, TReadVarnelFrameThread::BufferSize);

    ASSERT_EQ(handlers.Calls.size(), static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i)
        ASSERT_EQ(handlers.Calls[i], (THandlerCall{"LifetimeLow", static_cast<uint32_t>(i)}));
    EXPECT_EQ(handlers.CRCErrors, 0);
}

TEST(FrameReader, FailingDriverSetsErrorAndReportsTheLostLinkOncePerStreak)
{
    TFakeConnection fake;
    fake.Line->Arrive(DeviceFrame(124, 1, 0));
    fake.Line->SetUnplugged(true);
    TRecordingHandlers handlers;
    const auto started = std::chrono::steady_clock::now();
    auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);

    ASSERT_TRUE(WaitUntil([&] { return handlers.LinkLost == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, TReadVarnelFrameThread::LinkLostAfter);
    EXPECT_TRUE(reader->Error);
    // Still failing, still polling for longer than a streak takes to be
    // reported: no second notice, nothing decoded.
    const std::size_t queries = fake.Line->CountQueries();
    const auto noticed = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] {
        return fake.Line->CountQueries() > queries + 2 &&
               std::chrono::steady_clock::now() - noticed >
                   2 * TReadVarnelFrameThread::LinkLostAfter;
    }));
    EXPECT_TRUE(reader->Error);
    EXPECT_EQ(handlers.LinkLost, 1);
    EXPECT_TRUE(handlers.Calls.empty());
    EXPECT_EQ(handlers.CRCErrors, 0);

    // A good pass ends the streak; the next streak is reported again.
    fake.Line->SetUnplugged(false);
    ASSERT_TRUE(WaitUntil([&] { return !reader->Error && handlers.Count() == 1; }));
    fake.Line->SetUnplugged(true);
    ASSERT_TRUE(WaitUntil([&] { return handlers.LinkLost == 2; }));

    StopFrameReader(reader);
    EXPECT_EQ(handlers.Calls, (std::vector<THandlerCall>{{"LifetimeLow", 1}}));
}

// Every frame of one read goes to the main thread as one call. A pass with a
// ScopeSample, DeviceStatus or PeakId keeps the reader from reading again
// until the main thread has run it; any other pass leaves it reading on.
TEST(FrameReader, APassIsOneCallAndTheReaderWaitsOnlyForAPassWithAWaitedMessage)
{
    const std::vector<uint8_t> badFrame = {0xAA, 0x03, 0x03, 0x00, 0x51};
    struct TPassCase
    {
        const char* What;
        std::vector<uint8_t> Pass;
        bool Waits;
        std::vector<THandlerCall> Calls;
        int CRCErrors;
    };
    const std::vector<TPassCase> cases = {
        {"queued messages and a bad frame",
         Bytes({DeviceFrame(124, 5, 0), badFrame, DeviceFrame(4, 7, 0), DeviceFrame(6, 1, 2)}),
         false,
         {{"LifetimeLow", 5}, {"TuningMirrorPosition", 7}, {"DeviceEvent", 1, 2}},
         1},
        {"a scope sample last",
         Bytes({DeviceFrame(8, 250, 0), DeviceFrame(1, 0x34, 0x12)}),
         true,
         {{"CFTTemperature", 250}, {"ScopeSample", 0x1234}},
         0},
        {"a device status first, queued messages after it",
         Bytes({DeviceFrame(3, 14, 0), DeviceFrame(5, 9, 0), badFrame, DeviceFrame(124, 1, 0)}),
         true,
         {{"DeviceStatus", 14, 0}, {"StabilizationMirrorPosition", 9}, {"LifetimeLow", 1}},
         1},
        {"a peak id between two scope samples",
         Bytes({DeviceFrame(1, 1, 0), DeviceFrame(18, 6, 0), DeviceFrame(1, 2, 0)}),
         true,
         {{"ScopeSample", 1}, {"PeakId", 6}, {"ScopeSample", 2}},
         0},
    };
    const THandlerCall next{"LifetimeHigh", 3};
    for (const TPassCase& c : cases) {
        SCOPED_TRACE(c.What);
        TFakeConnection fake;
        fake.Line->Arrive(c.Pass);
        fake.Line->Arrive(DeviceFrame(123, 3, 0));
        TRecordingHandlers handlers;
        auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
        ASSERT_TRUE(WaitWithoutEvents([] { return Pending() > 0; }));
        if (c.Waits) {
            // The reader is blocked: more passes (a pass every few
            // milliseconds) would have read the next arrival.
            const std::size_t queries = fake.Line->CountQueries();
            QThread::msleep(50);
            EXPECT_EQ(Pending(), 1u);
            EXPECT_GT(fake.Line->Unread(), 0u);
            EXPECT_EQ(fake.Line->CountQueries(), queries);
        } else {
            // Reads on, and hands the next pass over behind the first.
            ASSERT_TRUE(WaitWithoutEvents([&] { return fake.Line->Unread() == 0; }));
            ASSERT_TRUE(WaitWithoutEvents([] { return Pending() == 2; }));
        }
        EXPECT_TRUE(handlers.Calls.empty());
        // One call ran every handler of the pass, in order.
        ASSERT_TRUE(TMainThreadCallList::Instance().RunPending());
        std::vector<THandlerCall> calls = c.Calls;
        EXPECT_EQ(std::vector<THandlerCall>(
                      handlers.Calls.begin(),
                      handlers.Calls.begin() +
                          static_cast<long>(std::min(handlers.Calls.size(), calls.size()))),
                  calls);
        EXPECT_EQ(handlers.CRCErrors, c.CRCErrors);
        Settle(fake);
        StopFrameReader(reader);
        calls.push_back(next);
        EXPECT_EQ(handlers.Calls, calls);
        EXPECT_EQ(handlers.OffMainThread, 0);
    }
}

// A handler that makes the main thread run its pending calls (a nested event
// loop, a reader stopped and waited for) still sees every message in order:
// the rest of its own pass before the next pass.
TEST(FrameReader, AHandlerThatRunsThePendingCallsKeepsTheArrivalOrder)
{
    TFakeConnection fake;
    fake.Line->Arrive(Bytes({DeviceFrame(124, 1, 0), DeviceFrame(124, 2, 0)}));
    fake.Line->Arrive(DeviceFrame(124, 3, 0));
    TRecordingHandlers handlers;
    auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
    ASSERT_TRUE(WaitWithoutEvents([&] { return fake.Line->Unread() == 0 && Pending() == 2; }));
    handlers.AfterCall = [&] {
        if (handlers.Count() == 1)
            TMainThreadCallList::Instance().RunPending();
    };
    TMainThreadCallList::Instance().RunPending();
    StopFrameReader(reader);
    EXPECT_EQ(handlers.Calls, (std::vector<THandlerCall>{
                                  {"LifetimeLow", 1}, {"LifetimeLow", 2}, {"LifetimeLow", 3}}));
}

// Stopped in the middle of its passes, the reader's last pass still runs
// whole; what it had not read yet is never delivered.
TEST(FrameReader, StoppingMidPassStillRunsWhatTheReaderDelivered)
{
    struct TStopCase
    {
        const char* What;
        std::vector<uint8_t> Pass;
        std::vector<THandlerCall> Calls;
    };
    const std::vector<TStopCase> cases = {
        {"waiting for a pass with a scope sample in the middle",
         Bytes({DeviceFrame(124, 1, 0), DeviceFrame(1, 2, 0), DeviceFrame(4, 3, 0)}),
         {{"LifetimeLow", 1}, {"ScopeSample", 2}, {"TuningMirrorPosition", 3}}},
        {"waiting for a pass with a device status last",
         Bytes({DeviceFrame(4, 3, 0), DeviceFrame(3, 10, 0)}),
         {{"TuningMirrorPosition", 3}, {"DeviceStatus", 10, 0}}},
        {"a queued pass not run yet",
         Bytes({DeviceFrame(124, 1, 0), DeviceFrame(4, 3, 0)}),
         {{"LifetimeLow", 1}, {"TuningMirrorPosition", 3}}},
    };
    for (const TStopCase& c : cases) {
        SCOPED_TRACE(c.What);
        TFakeConnection fake;
        fake.Line->Arrive(c.Pass);
        TRecordingHandlers handlers;
        auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
        ASSERT_TRUE(WaitWithoutEvents([] { return Pending() == 1; }));
        // Arrives once the pass is out: a waiting reader never reads it.
        fake.Line->Arrive(DeviceFrame(123, 9, 0));
        StopFrameReader(reader);
        TMainThreadCallList::Instance().RunPending();
        std::vector<THandlerCall> calls = c.Calls;
        // A reader that did not wait may have read it before it saw the stop.
        if (handlers.Calls.size() == calls.size() + 1)
            calls.push_back({"LifetimeHigh", 9});
        EXPECT_EQ(handlers.Calls, calls);
        EXPECT_EQ(Pending(), 0u);
    }
}

// A plain join would hang here: the reader waits for the main thread, the
// main thread for the reader.
TEST(FrameReader, StopsWhileWaitingInASynchronisedDelivery)
{
    TFakeConnection fake;
    TRecordingHandlers handlers;
    for (int i = 0; i < 300; ++i) {
        fake.Line->Arrive(DeviceFrame(3, 3, 0));
        const std::size_t before = handlers.Count();
        auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
        // Every other round the stop meets a reader that is surely blocked;
        // the others stop it at whatever point it has reached.
        const bool blocked = i % 2 == 0;
        if (blocked) {
            ASSERT_TRUE(WaitWithoutEvents([] { return Pending() > 0; })) << "round " << i;
        }
        StopFrameReader(reader);
        ASSERT_EQ(reader, nullptr);
        if (blocked) {
            ASSERT_GT(handlers.Count(), before) << "round " << i;
        }
    }
    ASSERT_TRUE(WaitUntil([] { return Pending() == 0; }));
    EXPECT_LE(handlers.Count(), 300u);
    EXPECT_EQ(handlers.OffMainThread, 0);
}

TEST(FrameReader, HandlerCallsOutliveTheReaderButItsCRCNoticeDoesNot)
{
    TFakeConnection fake;
    fake.Line->Arrive(Bytes({DeviceFrame(124, 0x2C, 0x01), {0xAA, 0x03, 0x03, 0x00, 0x51}}));
    TRecordingHandlers handlers;
    auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, handlers);
    // One pass, one call.
    ASSERT_TRUE(WaitWithoutEvents([] { return Pending() == 1; }));
    // End the thread first so that destroying it runs nothing on the way.
    reader->requestInterruption();
    reader->wait();
    reader.reset();

    ASSERT_TRUE(WaitUntil([&] { return handlers.Count() == 1 && Pending() == 0; }));
    EXPECT_EQ(handlers.Calls, (std::vector<THandlerCall>{{"LifetimeLow", 300}}));
    EXPECT_EQ(handlers.CRCErrors, 0);
}

// The window may go before its reader or after it. Calls posted for handlers
// that are gone, pending or posted later, never reach them (under the
// sanitizers a call that did would be a use after free).
TEST(FrameReader, DestroyedHandlersGetNoCallWhateverTheTeardownOrder)
{
    class TCountingHandlers : public TRecordingHandlers
    {
    public:
        explicit TCountingHandlers(int& reached) : FReached(reached)
        {
            AfterCall = [this] { ++FReached; };
        }
        void HandleCRCError() override { ++FReached; }

    private:
        int& FReached;
    };
    const std::vector<uint8_t> badFrame = {0xAA, 0x03, 0x03, 0x00, 0x51};
    for (const bool readerFirst : {false, true}) {
        SCOPED_TRACE(readerFirst ? "reader stopped first" : "handlers destroyed first");
        TFakeConnection fake;
        // A queued call, a checksum notice, then a waited call that blocks
        // the reader until the main thread runs its calls.
        fake.Line->Arrive(Bytes({DeviceFrame(124, 0x2C, 0x01), badFrame, DeviceFrame(3, 3, 0)}));
        int reached = 0;
        auto handlers = std::make_unique<TCountingHandlers>(reached);
        auto reader = std::make_unique<TReadVarnelFrameThread>(fake.Connection, *handlers);
        ASSERT_TRUE(WaitWithoutEvents([] { return Pending() == 1; }));
        if (readerFirst) {
            // Stopped without running anything: destroying the reader drops
            // its notice, the handlers then drop the rest.
            reader->requestInterruption();
            handlers.reset();
            reader->wait();
            reader.reset();
            EXPECT_EQ(Pending(), 0u);
        } else {
            handlers.reset();
            // Released from its wait, the reader goes on and posts more.
            fake.Line->Arrive(Bytes({DeviceFrame(124, 1, 0), badFrame, DeviceFrame(3, 3, 0)}));
            ASSERT_TRUE(WaitUntil([&] { return fake.Line->Unread() == 0; }));
            StopFrameReader(reader);
        }
        ASSERT_TRUE(WaitUntil([] { return Pending() == 0; }));
        EXPECT_EQ(reached, 0);
    }
}

void CheckPeerThatStopsReading(int burst, std::chrono::milliseconds spacing)
{
    char runtime[] = "/tmp/varnel-reader-XXXXXX";
    ASSERT_NE(::mkdtemp(runtime), nullptr);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", runtime, 1);
    D2XX_SetDrivers({std::make_shared<TSocketBridgeDriver>()});
    ASSERT_TRUE(VarnelBridges::EnsureDirectory());
    const std::string path = VarnelBridges::SocketPath("KWTP Peer");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    TConnection connection;
    QStringList names;
    connection.GetAvailableDevices(names);
    connection.SetDeviceID("KWTP Peer");
    ASSERT_TRUE(connection.Connect());
    pollfd pending{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&pending, 1, 5000), 1);
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);

    TRecordingHandlers handlers;
    auto reader = std::make_unique<TReadVarnelFrameThread>(connection, handlers);
    const auto frame = DeviceFrame(124, 7, 0);
    ASSERT_EQ(::send(peer, frame.data(), frame.size(), MSG_NOSIGNAL), 5);
    ASSERT_TRUE(WaitUntil([&] { return handlers.Count() == 1; }));

    const auto started = std::chrono::steady_clock::now();
    auto lastSend = started - spacing;
    std::chrono::steady_clock::duration longestSend{};
    const uint8_t command[5] = {0xBB, 34, 0, 6, 0x63};
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (std::chrono::steady_clock::now() - lastSend < spacing)
                return handlers.LinkLost == 1;
            lastSend = std::chrono::steady_clock::now();
            for (int i = 0; i < burst && handlers.LinkLost == 0; ++i) {
                uint32_t size = 5;
                const auto before = std::chrono::steady_clock::now();
                connection.Send(command, size);
                longestSend = std::max(longestSend, std::chrono::steady_clock::now() - before);
            }
            return handlers.LinkLost == 1;
        },
        20s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, TReadVarnelFrameThread::LinkLostAfter);
    EXPECT_LT(longestSend, SendStallLimit);
    EXPECT_TRUE(reader->Error);
    uint32_t size = 5;
    EXPECT_FALSE(connection.Send(command, size));

    StopFrameReader(reader);
    EXPECT_TRUE(connection.Disconnect());
    ::close(peer);
    ::close(listener);
    D2XX_RestoreDefaultDrivers();
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(runtime);
}

// A simulated controller that takes the connection, sends one frame and
// then stops reading: the socket fills, and the link must count as lost as
// a dead read does, while no send ever holds the main thread up. Commands
// in bursts overflow the send queue; commands at the pace of key presses
// fill it too slowly for that and are caught by the stall limit.
TEST(FrameReader, PeerThatStopsReadingIsALostLinkAndNeverBlocksASend)
{
    for (const auto& [name, burst, spacing] :
         {std::tuple{"burst", 100, 0ms}, std::tuple{"key presses", 1, 10ms}}) {
        SCOPED_TRACE(name);
        CheckPeerThatStopsReading(burst, spacing);
    }
}

} // namespace
