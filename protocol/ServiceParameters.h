// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's parameters as one table: for each, the read request, the
// message that answers it, the write command, how wide and whether signed
// its number is on the wire, the scale between the field and the wire, and
// the field's range. The service panel's Read sequence, its Set actions and
// its value handlers, and the simulator's parameter store all follow it.
#pragma once

#include "protocol/Frames.h"

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

// What shows the parameter in the console.
enum class TParamControl : uint8_t
{
    SpinEdit,  // a number field on the service panel, with a Set button
    PeakRange, // the expected-peaks From/To choice, with a Set button
    Choice,    // a choice elsewhere in the window, no Set button on the panel
    Label      // a read-only text on the service panel
};

struct TServiceParameter
{
    std::string_view Name;
    TCommandId Read;
    // The device message that answers the read request.
    uint8_t Answer;
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
    TParamControl Control;
    // objectNames of the control that shows it and of its Set button, empty
    // where there is none.
    std::string_view ControlName;
    std::string_view SetButtonName;
};

// clang-format off
inline constexpr std::array<TServiceParameter, 18> ServiceParameters = {{
    // Name             Read               Ans Write               Width                Sign   Scale  Low     High     Flag  Read   Control                      Control name              Set button
    {"Phase",           TCommandId::ReadPhase,         53, TCommandId::WritePhase,         TParamWidth::Word,   false, 1,     0,      360,     0,    true,  TParamControl::SpinEdit,  "PhaseRealSpinEdit",      "SetPhaseButton"},
    {"Delay",           TCommandId::ReadDelay,         55, TCommandId::WriteDelay,         TParamWidth::Byte,   false, 1,     0,      100,     0,    true,  TParamControl::SpinEdit,  "DelayRealSpinEdit",      "SetDelayButton"},
    {"PathGain",        TCommandId::ReadPathGain,      57, TCommandId::WritePathGain,      TParamWidth::Word,   false, 1,     0,      2000,    2000, true,  TParamControl::SpinEdit,  "PathGainRealSpinEdit",   "SetPathGainButton"},
    {"CFT",             TCommandId::ReadCFT,           59, TCommandId::WriteCFT,           TParamWidth::Byte,   false, 10,    0,      25.5,    0,    true,  TParamControl::SpinEdit,  "CFTRealSpinEdit",        "SetCFTButton"},
    {"P",               TCommandId::ReadP,             61, TCommandId::WriteP,             TParamWidth::Byte,   false, 1,     0,      255,     0,    true,  TParamControl::SpinEdit,  "PRealSpinEdit",          "SetPButton"},
    {"I",               TCommandId::ReadI,             63, TCommandId::WriteI,             TParamWidth::Byte,   false, 1,     0,      255,     0,    true,  TParamControl::SpinEdit,  "IRealSpinEdit",          "SetIButton"},
    {"D",               TCommandId::ReadD,             65, TCommandId::WriteD,             TParamWidth::Byte,   false, 1,     0,      255,     0,    true,  TParamControl::SpinEdit,  "DRealSpinEdit",          "SetDButton"},
    {"PIDGain",         TCommandId::ReadPIDGain,       67, TCommandId::WritePIDGain,       TParamWidth::Byte,   false, 1,     0,      255,     0,    true,  TParamControl::SpinEdit,  "PidGainRealSpinEdit",    "SetPIDGainButton"},
    {"ExpectedPeaks",   TCommandId::ReadExpectedPeaks, 69, TCommandId::WriteExpectedPeaks, TParamWidth::Word,   false, 1,     0,      0x3FFF,  0,    true,  TParamControl::PeakRange, "ExpectedPeaksFromComboBox", "SetExpectedPeaksButton"},
    {"SetPoint",        TCommandId::ReadSetPoint,      77, TCommandId::WriteSetPoint,      TParamWidth::Byte,   true,  1,     -200,   200,     0,    true,  TParamControl::SpinEdit,  "SetPointRealSpinEdit",   "SetPointButton"},
    {"CFTTemp10",       TCommandId::ReadCFTTemp10,     83, TCommandId::WriteCFTTemp10,     TParamWidth::Word,   false, 1,     0,      65535,   0,    true,  TParamControl::SpinEdit,  "CFTTemp10RealSpinEdit",  "CTFTemp10Button"},
    {"CFTTemp40",       TCommandId::ReadCFTTemp40,     85, TCommandId::WriteCFTTemp40,     TParamWidth::Word,   false, 1,     0,      65535,   0,    true,  TParamControl::SpinEdit,  "CFTTemp40RealSpinEdit",  "CFTTemp40Button"},
    {"CFTOffset",       TCommandId::ReadCFTOffset,     87, TCommandId::WriteCFTOffset,     TParamWidth::Word,   false, 1,     0,      65535,   0,    true,  TParamControl::SpinEdit,  "CFTOffsetRealSpinEdit",  "CFTOffsetButton"},
    {"CFTRaw",          TCommandId::ReadCFTRaw,        89, std::nullopt,       TParamWidth::Word,   false, 1,     0,      65535,   0,    true,  TParamControl::Label,     "CFTRawLabel",            ""},
    {"Modulation",      TCommandId::ReadModulation,    91, TCommandId::WriteModulation,    TParamWidth::Word,   false, 1,     0,      255,     0,    true,  TParamControl::SpinEdit,  "ModulationRealSpinEdit", "ModulationButton"},
    {"FOffset",         TCommandId::ReadFOffset,       93, TCommandId::WriteFOffset,       TParamWidth::Word,   true,  1,     -250,   250,     0,    true,  TParamControl::SpinEdit,  "FOffsetRealSpinEdit",    "FOffsetButton"},
    {"ScopeScale",      TCommandId::ReadScopeScale,    71, TCommandId::WriteScopeScale,    TParamWidth::Byte,   false, 1,     1,      6,       0,    false, TParamControl::Choice,    "ScopeScaleComboBox",     ""},
    {"Harmonic",        TCommandId::ReadHarmonic,      80, TCommandId::WriteHarmonic,      TParamWidth::Byte,   false, 1,     0,      2,       0,    false, TParamControl::Choice,    "HarmonicComboBox",       ""},
}};
// clang-format on

// The row answered by this device message, or nullptr.
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
