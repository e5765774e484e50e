// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeLine.h"

#include "protocol/SendFrameUnit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct TCommandCase
{
    const char* What;
    TCommandId Id;
    TPayload Payload;
    std::vector<uint8_t> Expected;
};

TEST(CommandFrames, LeaveAsTheExactFiveBytes)
{
    const std::vector<TCommandCase> cases = {
        {"lock, empty payload",
         TCommandId::TuningLock,
         EmptyPayload(),
         {0xBB, 0x24, 0x00, 0x00, 0x21}},
        {"target peak f",
         TCommandId::TuningTarget,
         OneBytePayload(6),
         {0xBB, 0x22, 0x00, 0x06, 0x1D}},
        {"start flag", TCommandId::TuningStart, FlagPayload(), {0xBB, 0x20, 0x00, 0x01, 0x24}},
        {"f offset -250, 16-bit two's complement",
         TCommandId::WriteFOffset,
         Word16Payload(PrepareValue(-250.0)),
         {0xBB, 0x5E, 0xFF, 0x06, 0xE2}},
        {"path gain 2000 with stabilization check",
         TCommandId::WritePathGain,
         Word16Payload(PrepareValue(2000.0, 1, 2000)),
         {0xBB, 0x3A, 0x0F, 0xA0, 0x5C}},
        {"checksum byte 0",
         TCommandId::ReadExpectedPeaks,
         EmptyPayload(),
         {0xBB, 0x45, 0x00, 0x00, 0x00}},
        {"set point -200, 8-bit two's complement",
         TCommandId::WriteSetPoint,
         OneBytePayload(PrepareValue(-200.0)),
         {0xBB, 0x4E, 0x00, 0x38, 0xBF}},
        {"CFT 12.34 in tenths",
         TCommandId::WriteCFT,
         OneBytePayload(PrepareValue(12.34, 10)),
         {0xBB, 0x3C, 0x00, 0x7B, 0x8E}},
        {"CFT 30.0 cut to 8 bits",
         TCommandId::WriteCFT,
         OneBytePayload(PrepareValue(30.0, 10)),
         {0xBB, 0x3C, 0x00, 0x2C, 0xDD}},
        {"phase 359.9 truncated",
         TCommandId::WritePhase,
         Word16Payload(PrepareValue(359.9)),
         {0xBB, 0x36, 0x01, 0x67, 0xA7}},
    };
    for (const TCommandCase& c : cases) {
        SCOPED_TRACE(c.What);
        TFakeConnection fake;
        SendCommand(fake.Connection, c.Id, c.Payload);
        EXPECT_EQ(fake.Line->Written(), c.Expected);
    }
}

TEST(CommandFrames, EveryFrameIsFiveBytesSummingToZero)
{
    const uint8_t samples[] = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF};
    for (int id = 0; id < 256; ++id)
        for (uint8_t A : samples)
            for (uint8_t B : samples) {
                const auto frame = BuildCommandFrame(static_cast<uint8_t>(id), A, B);
                unsigned sum = 0;
                for (uint8_t byte : frame)
                    sum += byte;
                ASSERT_EQ(frame[0], 0xBB);
                ASSERT_EQ(sum % 256, 0u) << "id " << id << " A " << int(A) << " B " << int(B);
            }
}

TEST(CommandFrames, PrepareValueTruncatesThenOffsets)
{
    struct TCase
    {
        double Value;
        int32_t Multiplier;
        int32_t Offset;
        int32_t Expected;
    };
    constexpr int32_t max = std::numeric_limits<int32_t>::max();
    constexpr int32_t min = std::numeric_limits<int32_t>::min();
    const TCase cases[] = {
        {12.7, 1, 0, 12},          {-3.9, 1, 0, -3},        {12.34, 10, 0, 123},
        {-0.5, 10, 0, -5},         {1999.9, 1, 2000, 3999}, {0.0, 1, 2000, 2000},
        {std::nan(""), 10, 0, 0},  {1e12, 1, 0, max},       {-1e12, 10, 0, min},
        {2147483647.0, 1, 5, max},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(PrepareValue(c.Value, c.Multiplier, c.Offset), c.Expected)
            << c.Value << " x " << c.Multiplier << " + " << c.Offset;
}

TEST(CommandFrames, FixedSequencesLeaveInOrderWithEmptyPayloads)
{
    struct TCase
    {
        const char* What;
        std::span<const TCommandId> Sequence;
        std::vector<uint8_t> Ids;
    };
    const TCase cases[] = {
        {"Read button",
         ReadParamsSequence,
         {53, 55, 57, 59, 61, 63, 65, 67, 69, 77, 83, 85, 87, 89, 91, 93}},
        {"after connect", AfterConnectSequence, {93, 71, 75, 80, 69}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TFakeConnection fake;
        SendReadRequests(fake.Connection, c.Sequence);
        std::vector<uint8_t> expected;
        for (uint8_t id : c.Ids) {
            const auto frame = BuildCommandFrame(id, 0, 0);
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(fake.Line->Written(), expected);
    }
}

} // namespace
