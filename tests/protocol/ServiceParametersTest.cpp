// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/ServiceParameters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

namespace {

uint8_t Id(TCommandId id)
{
    return static_cast<uint8_t>(id);
}

// The answer a controller that stored this write gives back: a one-byte
// write is answered in b2 with b3 = 0, a 16-bit one as A << 8 | B.
uint32_t AnswerTo(const TServiceParameter& parameter, TPayload payload)
{
    return parameter.Width == TParamWidth::Byte ? payload.B : uint32_t{payload.A} << 8 | payload.B;
}

TEST(ServiceParameterTable, IdsAreDistinctAndFollowTheFrameRules)
{
    std::set<uint8_t> commands;
    std::set<uint8_t> answers;
    std::set<std::string_view> names;
    for (const TServiceParameter& p : ServiceParameters) {
        SCOPED_TRACE(std::string(p.Name));
        EXPECT_EQ(MessageIdByte(p.Answer), Id(p.Read))
            << "a read request is answered under its own id";
        EXPECT_TRUE(commands.insert(Id(p.Read)).second);
        if (p.Write) {
            EXPECT_EQ(Id(*p.Write), Id(p.Read) + 1) << "the write sits one above the read";
            EXPECT_TRUE(commands.insert(Id(*p.Write)).second);
        }
        EXPECT_TRUE(answers.insert(MessageIdByte(p.Answer)).second);
        EXPECT_TRUE(names.insert(p.Name).second);
        EXPECT_GE(p.Scale, 1);
        EXPECT_LE(p.Low, p.High);
        EXPECT_EQ(ServiceParameterByAnswer(MessageIdByte(p.Answer)), &p);
        EXPECT_EQ(ServiceParameterByCommand(Id(p.Read)), &p);
        EXPECT_EQ(ServiceParameterByName(p.Name), &p);
    }
    EXPECT_EQ(ServiceParameterByAnswer(MessageIdByte(TMessageId::ScopeSample)), nullptr)
        << "a scope sample is no parameter";
    EXPECT_EQ(ServiceParameterByCommand(Id(TCommandId::ConnectQuery)), nullptr);
    EXPECT_EQ(ServiceParameterByName("Nothing"), nullptr);
}

TEST(ServiceParameterTable, RangeEndsSurviveTheWireBothWays)
{
    // Every field value the Set action may send comes back from the answer
    // as the same value, at both ends of each range and at zero where it takes zero.
    for (const TServiceParameter& p : ServiceParameters) {
        if (!p.Write)
            continue;
        const TWireRange wire = WireRange(p);
        for (double value : {p.Low, p.High, std::clamp(0.0, p.Low, p.High)}) {
            SCOPED_TRACE(std::string(p.Name) + " at " + std::to_string(value));
            const int32_t sent = SendableValue(p, value);
            EXPECT_GE(sent, wire.Low);
            EXPECT_LE(sent, wire.High);
            const TParameterReading back = DecodeAnswer(p, AnswerTo(p, ParameterPayload(p, sent)));
            EXPECT_DOUBLE_EQ(back.Value, static_cast<double>(sent) / p.Scale);
            EXPECT_FALSE(back.Flag);
            if (value * p.Scale >= wire.Low && value * p.Scale <= wire.High) {
                EXPECT_DOUBLE_EQ(back.Value, value) << "a value the payload carries is not cut";
            }
        }
    }
}

TEST(ServiceParameterTable, SetActionsLimitScaleAndSign)
{
    struct TCase
    {
        const char* Parameter;
        double Field;
        int32_t Flag;
        uint8_t A;
        uint8_t B;
    };
    const TCase cases[] = {
        {"Phase", 400, 0, 0x01, 0x68},         // above the field: 360
        {"Phase", -5, 0, 0x00, 0x00},          // below the field: 0
        {"CFT", 23.57, 0, 0x00, 235},          // tenths, truncated
        {"CFT", 99, 0, 0x00, 255},             // what one byte carries
        {"SetPoint", -200, 0, 0x00, 0x80},     // field allows it, the byte does not: -128
        {"SetPoint", -3.9, 0, 0x00, 0xFD},     // truncated toward zero
        {"SetPoint", 200, 0, 0x00, 0x7F},      // 127
        {"FOffset", -250, 0, 0xFF, 0x06},      // 16-bit two's complement
        {"FOffset", -300, 0, 0xFF, 0x06},      // limited to the field
        {"PathGain", 2000, 2000, 0x0F, 0xA0},  // 4000: value and flag
        {"PathGain", 1200, 0, 0x04, 0xB0},     // no flag
        {"Delay", std::nan(""), 0, 0x00, 0x00} // not a number: 0
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Parameter) + " " + std::to_string(c.Field));
        const TServiceParameter* p = ServiceParameterByName(c.Parameter);
        ASSERT_NE(p, nullptr);
        const TPayload payload = ParameterPayload(*p, SendableValue(*p, c.Field, c.Flag) + c.Flag);
        EXPECT_EQ(payload.A, c.A);
        EXPECT_EQ(payload.B, c.B);
    }
}

TEST(ServiceParameterTable, AnswersDecodeBySignScaleAndFlag)
{
    struct TCase
    {
        const char* Parameter;
        uint32_t Answer;
        double Value;
        bool Flag;
    };
    const TCase cases[] = {
        {"Phase", 65535, 65535, false},  // unsigned, kept as reported even above the field
        {"Delay", 300, 300, false},      // an answer is taken whole, both bytes
        {"CFT", 235, 23.5, false},       // tenths
        {"SetPoint", 0xFF, -1, false},   // signed byte
        {"SetPoint", 0x17F, 127, false}, // the high byte is not part of it
        {"SetPoint", 0x80, -128, false},    {"FOffset", 0xFFFF, -1, false}, // signed 16-bit
        {"FOffset", 0x8000, -32768, false}, {"FOffset", 250, 250, false},
        {"PathGain", 2000, 2000, false}, // the flag starts above 2000
        {"PathGain", 2001, 1, true},        {"PathGain", 3200, 1200, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Parameter) + " " + std::to_string(c.Answer));
        const TServiceParameter* p = ServiceParameterByName(c.Parameter);
        ASSERT_NE(p, nullptr);
        const TParameterReading reading = DecodeAnswer(*p, c.Answer);
        EXPECT_DOUBLE_EQ(reading.Value, c.Value);
        EXPECT_EQ(reading.Flag, c.Flag);
    }
}

} // namespace
