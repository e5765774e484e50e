// SPDX-License-Identifier: GPL-3.0-or-later
#include "RecordingHandlers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <vector>

namespace {

enum TDeliveryKind
{
    _dk_queued,
    _dk_waited
};

// Runs every delivery at once and notes how it was asked for.
class TDirectSink : public TVarnelFrameSink
{
public:
    explicit TDirectSink(TRecordingHandlers& handlers) : FHandlers(handlers) {}

    std::vector<TDeliveryKind> Deliveries;
    int CRCErrors = 0;

    void Queue(TSyncProc1P proc, uint32_t p1) override
    {
        Deliveries.push_back(_dk_queued);
        (FHandlers.*proc)(p1);
    }
    void Queue(TSyncProc2P proc, uint32_t p1, uint32_t p2) override
    {
        Deliveries.push_back(_dk_queued);
        (FHandlers.*proc)(p1, p2);
    }
    void Synchronize(TSyncProc1P proc, uint32_t p1) override
    {
        Deliveries.push_back(_dk_waited);
        (FHandlers.*proc)(p1);
    }
    void Synchronize(TSyncProc2P proc, uint32_t p1, uint32_t p2) override
    {
        Deliveries.push_back(_dk_waited);
        (FHandlers.*proc)(p1, p2);
    }
    void QueueCRCError() override { ++CRCErrors; }

private:
    TRecordingHandlers& FHandlers;
};

struct TExpectedMessage
{
    const char* Handler;
    enum
    {
        _value,
        _b2,
        _b2b3
    } Passes;
    TDeliveryKind Delivery;
};

// Every message id the controller sends; ids 2 and 73 are accepted and go
// nowhere.
const std::map<int, std::optional<TExpectedMessage>> ExpectedMessages = {
    {1, TExpectedMessage{"ScopeSample", TExpectedMessage::_value, _dk_waited}},
    {2, std::nullopt},
    {3, TExpectedMessage{"DeviceStatus", TExpectedMessage::_b2b3, _dk_waited}},
    {4, TExpectedMessage{"TuningMirrorPosition", TExpectedMessage::_b2, _dk_queued}},
    {5, TExpectedMessage{"StabilizationMirrorPosition", TExpectedMessage::_b2, _dk_queued}},
    {6, TExpectedMessage{"DeviceEvent", TExpectedMessage::_b2b3, _dk_queued}},
    {8, TExpectedMessage{"CFTTemperature", TExpectedMessage::_value, _dk_queued}},
    {9, TExpectedMessage{"ServiceSample", TExpectedMessage::_value, _dk_queued}},
    {18, TExpectedMessage{"PeakId", TExpectedMessage::_b2, _dk_waited}},
    {53, TExpectedMessage{"PhaseValue", TExpectedMessage::_value, _dk_queued}},
    {55, TExpectedMessage{"DelayValue", TExpectedMessage::_value, _dk_queued}},
    {57, TExpectedMessage{"PathGainValue", TExpectedMessage::_value, _dk_queued}},
    {59, TExpectedMessage{"CFTValue", TExpectedMessage::_value, _dk_queued}},
    {61, TExpectedMessage{"PValue", TExpectedMessage::_value, _dk_queued}},
    {63, TExpectedMessage{"IValue", TExpectedMessage::_value, _dk_queued}},
    {65, TExpectedMessage{"DValue", TExpectedMessage::_value, _dk_queued}},
    {67, TExpectedMessage{"PIDGainValue", TExpectedMessage::_value, _dk_queued}},
    {69, TExpectedMessage{"ExpectedPeaksValue", TExpectedMessage::_value, _dk_queued}},
    {71, TExpectedMessage{"ScopeScaleValue", TExpectedMessage::_value, _dk_queued}},
    {73, std::nullopt},
    {77, TExpectedMessage{"SetPointValue", TExpectedMessage::_b2, _dk_queued}},
    {80, TExpectedMessage{"HarmonicValue", TExpectedMessage::_value, _dk_queued}},
    {83, TExpectedMessage{"CFTTemp10Value", TExpectedMessage::_value, _dk_queued}},
    {85, TExpectedMessage{"CFTTemp40Value", TExpectedMessage::_value, _dk_queued}},
    {87, TExpectedMessage{"CFTOffsetValue", TExpectedMessage::_value, _dk_queued}},
    {89, TExpectedMessage{"CFTRawValue", TExpectedMessage::_value, _dk_queued}},
    {91, TExpectedMessage{"ModulationValue", TExpectedMessage::_value, _dk_queued}},
    {93, TExpectedMessage{"FOffsetValue", TExpectedMessage::_value, _dk_queued}},
    {123, TExpectedMessage{"LifetimeHigh", TExpectedMessage::_value, _dk_queued}},
    {124, TExpectedMessage{"LifetimeLow", TExpectedMessage::_value, _dk_queued}},
};

// Each of the 256 ids, framed with b2 = 0x34 and b3 = 0x12, reaches exactly
// the handler of the table with the right values and delivery, or nothing.
TEST(DeviceFrames, EveryIdFollowsTheMessageTable)
{
    ASSERT_EQ(ExpectedMessages.size(), 30u);
    for (int id = 0; id < 256; ++id) {
        SCOPED_TRACE(id);
        TRecordingHandlers handlers;
        TDirectSink sink(handlers);
        TReadVarnelFrame decoder(sink);
        const auto frame = DeviceFrame(static_cast<uint8_t>(id), 0x34, 0x12);
        int count = -1;
        ASSERT_TRUE(decoder.Decode(frame.data(), 5, count));
        EXPECT_EQ(count, 5);
        EXPECT_EQ(sink.CRCErrors, 0);

        const auto found = ExpectedMessages.find(id);
        if (found == ExpectedMessages.end() || !found->second) {
            EXPECT_TRUE(handlers.Calls.empty());
            EXPECT_TRUE(sink.Deliveries.empty());
            continue;
        }
        const TExpectedMessage& expected = *found->second;
        THandlerCall call{expected.Handler, 0x1234, 0};
        if (expected.Passes == TExpectedMessage::_b2)
            call.P1 = 0x34;
        if (expected.Passes == TExpectedMessage::_b2b3)
            call = {expected.Handler, 0x34, 0x12};
        EXPECT_EQ(handlers.Calls, std::vector<THandlerCall>{call});
        EXPECT_EQ(sink.Deliveries, std::vector<TDeliveryKind>{expected.Delivery});
    }
}

struct TDecodeCase
{
    const char* What;
    std::vector<uint8_t> Bytes;
    bool Result;
    int Consumed;
    std::vector<THandlerCall> Calls;
    int CRCErrors;
};

TEST(DeviceFrames, DecodeCases)
{
    const std::vector<TDecodeCase> cases = {
        {"status 3 waits", {0xAA, 0x03, 0x03, 0x00, 0x50}, true, 5, {{"DeviceStatus", 3, 0}}, 0},
        {"low byte first", {0xAA, 0x7C, 0x2C, 0x01, 0xAD}, true, 5, {{"LifetimeLow", 300}}, 0},
        {"full range", {0xAA, 0x7C, 0xFF, 0xFF, 0xDC}, true, 5, {{"LifetimeLow", 65535}}, 0},
        {"bad checksum", {0xAA, 0x03, 0x03, 0x00, 0x51}, true, 5, {}, 1},
        {"bad checksum, id outside the table", {0xAA, 0x07, 0x00, 0x00, 0x00}, true, 5, {}, 1},
        {"id 7 dropped", DeviceFrame(7, 1, 2), true, 5, {}, 0},
        {"four bytes", {0xAA, 0x03, 0x03, 0x00}, false, 0, {}, 0},
        {"one byte", {0xAA}, false, 0, {}, 0},
    };
    for (const TDecodeCase& c : cases) {
        SCOPED_TRACE(c.What);
        TRecordingHandlers handlers;
        TDirectSink sink(handlers);
        TReadVarnelFrame decoder(sink);
        int count = -1;
        EXPECT_EQ(decoder.Decode(c.Bytes.data(), static_cast<uint32_t>(c.Bytes.size()), count),
                  c.Result);
        EXPECT_EQ(count, c.Consumed);
        EXPECT_EQ(handlers.Calls, c.Calls);
        EXPECT_EQ(sink.CRCErrors, c.CRCErrors);
    }
}

struct TScanCase
{
    const char* What;
    std::vector<uint8_t> Bytes;
    std::vector<THandlerCall> Calls;
    int CRCErrors;
    std::vector<uint8_t> Carried;
};

TEST(DeviceFrames, ScanCases)
{
    const std::vector<TScanCase> cases = {
        {"noise before a frame",
         Bytes({{0x01, 0x02, 0xAB, 0x00}, DeviceFrame(4, 50, 0)}),
         {{"TuningMirrorPosition", 50}},
         0,
         {}},
        {"two frames in order",
         Bytes({DeviceFrame(124, 5, 0), DeviceFrame(3, 14, 0)}),
         {{"LifetimeLow", 5}, {"DeviceStatus", 14, 0}},
         0,
         {}},
        {"lone start byte carried",
         Bytes({DeviceFrame(18, 6, 0), {0xAA}}),
         {{"PeakId", 6}},
         0,
         {0xAA}},
        {"four bytes carried",
         Bytes({DeviceFrame(18, 6, 0), {0xAA, 0x03, 0x03, 0x00}}),
         {{"PeakId", 6}},
         0,
         {0xAA, 0x03, 0x03, 0x00}},
        {"start byte inside a frame is not a start",
         Bytes({DeviceFrame(1, 0xAA, 0), DeviceFrame(4, 7, 0)}),
         {{"ScopeSample", 0xAA}, {"TuningMirrorPosition", 7}},
         0,
         {}},
        {"bad then good",
         Bytes({{0xAA, 0x03, 0x03, 0x00, 0x51}, DeviceFrame(5, 9, 0)}),
         {{"StabilizationMirrorPosition", 9}},
         1,
         {}},
        {"bad frame consumed whole, no step back",
         Bytes({{0xAA, 0x01, 0xAA, 0x03, 0x00}, {0x0A, 0x49}}),
         {},
         1,
         {}},
        {"noise only", {0x00, 0x55, 0xAB, 0xFF}, {}, 0, {}},
        {"a cut frame swallows the head of the next, then the scan recovers",
         Bytes({{0xAA, 0x04}, DeviceFrame(4, 1, 0), DeviceFrame(4, 2, 0)}),
         {{"TuningMirrorPosition", 2}},
         1,
         {}},
    };
    for (const TScanCase& c : cases) {
        SCOPED_TRACE(c.What);
        TRecordingHandlers handlers;
        TDirectSink sink(handlers);
        std::vector<uint8_t> buffer = c.Bytes;
        const uint32_t carry =
            ScanVarnelFrames(buffer.data(), static_cast<uint32_t>(buffer.size()), sink);
        EXPECT_EQ(handlers.Calls, c.Calls);
        EXPECT_EQ(sink.CRCErrors, c.CRCErrors);
        ASSERT_EQ(carry, c.Carried.size());
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + carry), c.Carried);
    }
}

// Records every delivery, checksum errors included, in one sequence.
class TSequenceSink : public TVarnelFrameSink
{
public:
    std::vector<THandlerCall> Events;

    void Queue(TSyncProc1P, uint32_t p1) override { Events.push_back({"queued", p1}); }
    void Queue(TSyncProc2P, uint32_t p1, uint32_t p2) override
    {
        Events.push_back({"queued", p1, p2});
    }
    void Synchronize(TSyncProc1P, uint32_t p1) override { Events.push_back({"waited", p1}); }
    void Synchronize(TSyncProc2P, uint32_t p1, uint32_t p2) override
    {
        Events.push_back({"waited", p1, p2});
    }
    void QueueCRCError() override { Events.push_back({"crc"}); }
};

// Feeds the stream to the scan the way the reader does, in reads that end at
// the given cut positions, keeping the carry-over at the buffer's start.
std::vector<THandlerCall> ScanInReads(const std::vector<uint8_t>& stream,
                                      const std::vector<std::size_t>& cuts)
{
    TSequenceSink sink;
    std::vector<uint8_t> buffer(stream.size() + 5);
    uint32_t carry = 0;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        const std::size_t length = cut - from;
        std::memcpy(buffer.data() + carry, stream.data() + from, length);
        from = cut;
        const auto count = static_cast<uint32_t>(carry + length);
        carry = ScanVarnelFrames(buffer.data(), count, sink);
        EXPECT_LE(carry, 4u);
        if (carry > 0) {
            EXPECT_EQ(buffer[0], 0xAA);
        }
    }
    return sink.Events;
}

// Where the reads of the line happen to end must not change what is
// delivered: random streams of frames, broken frames, cut frames and noise
// (rich in start bytes), scanned whole and cut at every position.
TEST(DeviceFrames, DeliveriesDoNotDependOnWhereReadsEnd)
{
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> stream;
        while (stream.size() < 120) {
            const auto frame = DeviceFrame(static_cast<uint8_t>(random() % 8),
                                           static_cast<uint8_t>(random()), 0xAA);
            const std::size_t keep = random() % 4 == 0 ? random() % 5 : 5;
            stream.insert(stream.end(), frame.begin(), frame.begin() + keep);
            if (random() % 3 == 0)
                stream.push_back(random() % 2 ? 0xAA : static_cast<uint8_t>(random()));
        }
        const std::vector<THandlerCall> whole = ScanInReads(stream, {stream.size()});
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << "round " << round << " cut " << cut);
            ASSERT_EQ(ScanInReads(stream, {cut, stream.size()}), whole);
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t n = 1; n <= stream.size(); ++n)
            everyByte.push_back(n);
        ASSERT_EQ(ScanInReads(stream, everyByte), whole) << "round " << round << ", byte by byte";
    }
}

} // namespace
