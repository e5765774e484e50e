// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's parameters as one table: for each, the read request, the
// message that answers it, the write command, how wide and whether signed
// its number is on the wire, the scale between the field and the wire, and
// the field's range. The service panel's Read sequence, its Set actions and
// its value handlers, and the simulator's parameter store all follow it.
#pragma once

#include "protocol/Frames.h"
#include "protocol/Messages.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// How many bits a parameter's number takes in a write's payload: the low
// byte B alone, or A and B.
enum class TParamWidth : uint8_t
{
    Byte,
    Word
};

struct TServiceParameter
{
    std::string_view Name;
    TCommandId Read;
    // The device message that answers the read request.
    TMessageId Answer;
    // The write command; none for a value the controller measures.
    std::optional<TCommandId> Write;
    TParamWidth Width;
    // Two's complement on the wire; an unsigned answer is taken as it comes,
    // all 16 bits of it.
    bool Signed;
    // Field value x Scale = the whole number on the wire.
    int32_t Scale;
    // The field's range, in the field's unit.
    double Low;
    double High;
    // An answer above Flag carries a flag on top of the value (the path
    // gain's stabilisation check): the value is the answer minus Flag, and a
    // write with the flag set adds Flag. 0: no flag.
    int32_t Flag;
    // Sent, in table order, by the service panel's Read.
    bool InReadSequence;
};

// clang-format off
inline constexpr std::array<TServiceParameter, 18> ServiceParameters = {{
    // Name, read request, answer, write command, width, signed, scale, low, high, flag, in Read
    {"Phase",         TCommandId::ReadPhase,         TMessageId::PhaseValue,         TCommandId::WritePhase,         TParamWidth::Word, false, 1,  0,    360,    0,    true},
    {"Delay",         TCommandId::ReadDelay,         TMessageId::DelayValue,         TCommandId::WriteDelay,         TParamWidth::Byte, false, 1,  0,    100,    0,    true},
    {"PathGain",      TCommandId::ReadPathGain,      TMessageId::PathGainValue,      TCommandId::WritePathGain,      TParamWidth::Word, false, 1,  0,    2000,   2000, true},
    {"CFT",           TCommandId::ReadCFT,           TMessageId::CFTValue,           TCommandId::WriteCFT,           TParamWidth::Byte, false, 10, 0,    25.5,   0,    true},
    {"P",             TCommandId::ReadP,             TMessageId::PValue,             TCommandId::WriteP,             TParamWidth::Byte, false, 1,  0,    255,    0,    true},
    {"I",             TCommandId::ReadI,             TMessageId::IValue,             TCommandId::WriteI,             TParamWidth::Byte, false, 1,  0,    255,    0,    true},
    {"D",             TCommandId::ReadD,             TMessageId::DValue,             TCommandId::WriteD,             TParamWidth::Byte, false, 1,  0,    255,    0,    true},
    {"PIDGain",       TCommandId::ReadPIDGain,       TMessageId::PIDGainValue,       TCommandId::WritePIDGain,       TParamWidth::Byte, false, 1,  0,    255,    0,    true},
    {"ExpectedPeaks", TCommandId::ReadExpectedPeaks, TMessageId::ExpectedPeaksValue, TCommandId::WriteExpectedPeaks, TParamWidth::Word, false, 1,  0,    0x3FFF, 0,    true},
    {"SetPoint",      TCommandId::ReadSetPoint,      TMessageId::SetPointValue,      TCommandId::WriteSetPoint,      TParamWidth::Byte, true,  1,  -200, 200,    0,    true},
    {"CFTTemp10",     TCommandId::ReadCFTTemp10,     TMessageId::CFTTemp10Value,     TCommandId::WriteCFTTemp10,     TParamWidth::Word, false, 1,  0,    65535,  0,    true},
    {"CFTTemp40",     TCommandId::ReadCFTTemp40,     TMessageId::CFTTemp40Value,     TCommandId::WriteCFTTemp40,     TParamWidth::Word, false, 1,  0,    65535,  0,    true},
    {"CFTOffset",     TCommandId::ReadCFTOffset,     TMessageId::CFTOffsetValue,     TCommandId::WriteCFTOffset,     TParamWidth::Word, false, 1,  0,    65535,  0,    true},
    {"CFTRaw",        TCommandId::ReadCFTRaw,        TMessageId::CFTRawValue,        std::nullopt,                   TParamWidth::Word, false, 1,  0,    65535,  0,    true},
    {"Modulation",    TCommandId::ReadModulation,    TMessageId::ModulationValue,    TCommandId::WriteModulation,    TParamWidth::Word, false, 1,  0,    255,    0,    true},
    {"FOffset",       TCommandId::ReadFOffset,       TMessageId::FOffsetValue,       TCommandId::WriteFOffset,       TParamWidth::Word, true,  1,  -250, 250,    0,    true},
    {"ScopeScale",    TCommandId::ReadScopeScale,    TMessageId::ScopeScaleValue,    TCommandId::WriteScopeScale,    TParamWidth::Byte, false, 1,  1,    6,      0,    false},
    {"Harmonic",      TCommandId::ReadHarmonic,      TMessageId::HarmonicValue,      TCommandId::WriteHarmonic,      TParamWidth::Byte, false, 1,  0,    2,      0,    false},
}};
// clang-format on

// The row answered by this device message (its id byte), or nullptr.
const TServiceParameter* ServiceParameterByAnswer(uint8_t message);
// The row this read request or write command belongs to, or nullptr.
const TServiceParameter* ServiceParameterByCommand(uint8_t command);
// The row named so, or nullptr.
const TServiceParameter* ServiceParameterByName(std::string_view name);

// The whole numbers a write's payload carries for the row.
struct TWireRange
{
    int32_t Low;
    int32_t High;
};
TWireRange WireRange(const TServiceParameter& parameter);

// Turns a number typed into a field into the integer a Set action sends:
// multiplied, truncated toward zero (12.7 -> 12, -3.9 -> -3), offset added.
// A result outside the 32-bit range saturates and NaN counts as 0, so no input
// leads to an undefined conversion.
int32_t PrepareValue(double value, int32_t multiplier = 1, int32_t offset = 0);

// The whole number a Set action sends for a field value, before any flag:
// the value limited to the field's range, scaled and truncated, and limited
// to what the payload carries once flagOffset is added. The field shows
// this number divided by Scale after the Set.
int32_t SendableValue(const TServiceParameter& parameter, double fieldValue,
                      int32_t flagOffset = 0);

// The payload that carries a whole number for the row (flag included).
TPayload ParameterPayload(const TServiceParameter& parameter, int32_t wire);

// What an answer means: the field value (scaled back, signed where the row
// is) and whether the flag was set. An answer outside the field's range is
// kept as reported: the operator sees what the controller has.
struct TParameterReading
{
    double Value = 0;
    bool Flag = false;
};
TParameterReading DecodeAnswer(const TServiceParameter& parameter, uint32_t answer);
