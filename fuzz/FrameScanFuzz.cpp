// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary byte streams, cut into reads at arbitrary points, through
// the reader's scan and dispatch the way the reader thread does: carried-over
// bytes stay at the start of a buffer of the reader's size, each read is
// placed right after them and capped at the free room, and what does not fit
// stays in the driver for the next pass.
//
// After every pass the calls made so far must be exactly those a plain scan
// of all bytes read so far finds, and the carry-over must be its unfinished
// tail: 0 to 4 bytes, starting with 0xAA when there are any. So every frame
// is consumed whole and decoded once, as soon as its last byte is read,
// whatever the cuts; and handlers are called only for ids of the message
// table, with the values and the delivery the table gives.
#include "fuzz/FuzzInput.h"
#include "protocol/ReadFrameUnit.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using H = TVarnelMessageHandlers;

enum TCallKind
{
    _ck_queued,
    _ck_waits,
    _ck_crc
};

struct TCall
{
    TCallKind Kind = _ck_crc;
    TSyncProc1P Proc1 = nullptr;
    TSyncProc2P Proc2 = nullptr;
    uint32_t P1 = 0;
    uint32_t P2 = 0;

    bool operator==(const TCall&) const = default;
};

class TRecordingSink final : public TVarnelFrameSink
{
public:
    void Queue(TSyncProc1P proc, uint32_t p1) override
    {
        Calls.push_back({_ck_queued, proc, nullptr, p1, 0});
    }
    void Queue(TSyncProc2P proc, uint32_t p1, uint32_t p2) override
    {
        Calls.push_back({_ck_queued, nullptr, proc, p1, p2});
    }
    void Synchronize(TSyncProc1P proc, uint32_t p1) override
    {
        Calls.push_back({_ck_waits, proc, nullptr, p1, 0});
    }
    void Synchronize(TSyncProc2P proc, uint32_t p1, uint32_t p2) override
    {
        Calls.push_back({_ck_waits, nullptr, proc, p1, p2});
    }
    void QueueCRCError() override { Calls.push_back({}); }

    std::vector<TCall> Calls;
};

// The message table written out a second time, independently of the
// decoder's, as the reference the decoder is held to.
enum TPasses
{
    _pa_value,
    _pa_b2,
    _pa_b2b3
};

struct TExpectedMessage
{
    uint8_t Id;
    TPasses Passes;
    TCallKind Delivery;
    TSyncProc1P Proc1;
    TSyncProc2P Proc2;
};

constexpr TExpectedMessage ExpectedMessages[] = {
    {1, _pa_value, _ck_waits, &H::HandleScopeSample, nullptr},
    {2, _pa_b2b3, _ck_queued, nullptr, nullptr},
    {3, _pa_b2b3, _ck_waits, nullptr, &H::HandleDeviceStatus},
    {4, _pa_b2, _ck_queued, &H::HandleTuningMirrorPosition, nullptr},
    {5, _pa_b2, _ck_queued, &H::HandleStabilizationMirrorPosition, nullptr},
    {6, _pa_b2b3, _ck_queued, nullptr, &H::HandleDeviceEvent},
    {8, _pa_value, _ck_queued, &H::HandleCFTTemperature, nullptr},
    {9, _pa_value, _ck_queued, &H::HandleServiceSample, nullptr},
    {18, _pa_b2, _ck_waits, &H::HandlePeakId, nullptr},
    {53, _pa_value, _ck_queued, &H::HandlePhaseValue, nullptr},
    {55, _pa_value, _ck_queued, &H::HandleDelayValue, nullptr},
    {57, _pa_value, _ck_queued, &H::HandlePathGainValue, nullptr},
    {59, _pa_value, _ck_queued, &H::HandleCFTValue, nullptr},
    {61, _pa_value, _ck_queued, &H::HandlePValue, nullptr},
    {63, _pa_value, _ck_queued, &H::HandleIValue, nullptr},
    {65, _pa_value, _ck_queued, &H::HandleDValue, nullptr},
    {67, _pa_value, _ck_queued, &H::HandlePIDGainValue, nullptr},
    {69, _pa_value, _ck_queued, &H::HandleExpectedPeaksValue, nullptr},
    {71, _pa_value, _ck_queued, &H::HandleScopeScaleValue, nullptr},
    {73, _pa_value, _ck_queued, nullptr, nullptr},
    {77, _pa_b2, _ck_queued, &H::HandleSetPointValue, nullptr},
    {80, _pa_value, _ck_queued, &H::HandleHarmonicValue, nullptr},
    {83, _pa_value, _ck_queued, &H::HandleCFTTemp10Value, nullptr},
    {85, _pa_value, _ck_queued, &H::HandleCFTTemp40Value, nullptr},
    {87, _pa_value, _ck_queued, &H::HandleCFTOffsetValue, nullptr},
    {89, _pa_value, _ck_queued, &H::HandleCFTRawValue, nullptr},
    {91, _pa_value, _ck_queued, &H::HandleModulationValue, nullptr},
    {93, _pa_value, _ck_queued, &H::HandleFOffsetValue, nullptr},
    {123, _pa_value, _ck_queued, &H::HandleLifetimeHigh, nullptr},
    {124, _pa_value, _ck_queued, &H::HandleLifetimeLow, nullptr},
};

// Message id -> its entry, or nullptr for an id outside the table.
const std::array<const TExpectedMessage*, 256> ExpectedById = [] {
    std::array<const TExpectedMessage*, 256> byId{};
    for (const TExpectedMessage& message : ExpectedMessages)
        byId[message.Id] = &message;
    return byId;
}();

// One frame the plain scan takes from the whole stream; the last one may run
// past the end of the stream.
struct TReferenceFrame
{
    std::size_t Start;
    bool Calls;
    TCall Call;
};

// Skip to a start byte, take five bytes as a frame, check, dispatch. The
// scan of any prefix of the stream takes the same frames up to the first one
// the prefix does not hold whole, which makes that frame's bytes in the
// prefix its unfinished tail.
std::vector<TReferenceFrame> ScanReference(const uint8_t* bytes, std::size_t size)
{
    std::vector<TReferenceFrame> frames;
    std::size_t pos = 0;
    while (pos < size) {
        if (bytes[pos] != 0xAA) {
            ++pos;
            continue;
        }
        TReferenceFrame& frame = frames.emplace_back(TReferenceFrame{pos, false, {}});
        if (size - pos < 5)
            break;
        const uint8_t* f = bytes + pos;
        pos += 5;
        if ((f[0] + f[1] + f[2] + f[3] + f[4]) % 256 != 0) {
            frame.Calls = true; // a checksum error
            continue;
        }
        const TExpectedMessage* entry = ExpectedById[f[1]];
        if (entry == nullptr || (!entry->Proc1 && !entry->Proc2))
            continue;
        const uint32_t b2 = f[2];
        const uint32_t b3 = f[3];
        frame.Calls = true;
        if (entry->Passes == _pa_b2b3)
            frame.Call = {entry->Delivery, nullptr, entry->Proc2, b2, b3};
        else
            frame.Call = {entry->Delivery, entry->Proc1, nullptr,
                          entry->Passes == _pa_b2 ? b2 : b2 + 256 * b3, 0};
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const TFuzzInput input = SplitFuzzInput(data, size);
    constexpr uint32_t bufferSize = TReadVarnelFrameThread::BufferSize;
    std::vector<uint8_t> buffer(bufferSize, 0);
    TRecordingSink sink;
    const std::vector<TReferenceFrame> reference = ScanReference(input.Stream, input.StreamSize);
    std::size_t nextFrame = 0; // the first reference frame not yet read whole
    std::size_t checkedCalls = 0;

    std::size_t arrived = 0; // bytes handed to the driver so far
    std::size_t read = 0;    // bytes the reader has taken from it
    uint32_t carry = 0;
    for (std::size_t arrival : input.Arrivals) {
        arrived += arrival;
        // One pass per arrival, more while the driver holds more than fits.
        do {
            const uint32_t requested =
                static_cast<uint32_t>(std::min<std::size_t>(arrived - read, bufferSize - carry));
            std::memcpy(buffer.data() + carry, input.Stream + read, requested);
            read += requested;
            const uint32_t dataCount = carry + requested;
            if (dataCount == 0)
                continue;

            std::array<uint8_t, 4> tail{};
            const uint32_t tailSize = std::min<uint32_t>(dataCount, 4);
            std::memcpy(tail.data(), buffer.data() + dataCount - tailSize, tailSize);

            carry = ScanVarnelFrames(buffer.data(), dataCount, sink);

            FUZZ_CHECK(carry <= tailSize);
            FUZZ_CHECK(carry == 0 || buffer[0] == 0xAA);
            FUZZ_CHECK(std::memcmp(buffer.data(), tail.data() + tailSize - carry, carry) == 0);
            for (; nextFrame < reference.size() && reference[nextFrame].Start + 5 <= read;
                 ++nextFrame) {
                if (!reference[nextFrame].Calls)
                    continue;
                FUZZ_CHECK(checkedCalls < sink.Calls.size());
                FUZZ_CHECK(sink.Calls[checkedCalls] == reference[nextFrame].Call);
                ++checkedCalls;
            }
            FUZZ_CHECK(checkedCalls == sink.Calls.size());
            const bool inFrame = nextFrame < reference.size() && reference[nextFrame].Start < read;
            FUZZ_CHECK(carry == (inFrame ? read - reference[nextFrame].Start : 0));
        } while (read < arrived);
    }
    return 0;
}
