// SPDX-License-Identifier: GPL-3.0-or-later
// Command frames from the console to the controller: five bytes 0xBB, command
// id, payload byte A (high), payload byte B (low) and a checksum that makes the
// five bytes add up to a multiple of 256. Sent and forgotten: no state, no
// queue, no acknowledgement, no retry.
#pragma once

#include <array>
#include <cstdint>
#include <span>

class TConnection;

// Every command the console sends. A parameter's read request sits one below
// its write command; the controller answers a read request with a device
// frame of the same id.
enum class TCommandId : uint8_t
{
    TuningStart = 32,
    TuningEnable = 33,
    TuningTarget = 34,
    TuningHalfAutomatic = 35,
    TuningLock = 36,
    ReadPhase = 53,
    WritePhase = 54,
    ReadDelay = 55,
    WriteDelay = 56,
    ReadPathGain = 57,
    WritePathGain = 58,
    ReadCFT = 59,
    WriteCFT = 60,
    ReadP = 61,
    WriteP = 62,
    ReadI = 63,
    WriteI = 64,
    ReadD = 65,
    WriteD = 66,
    ReadPIDGain = 67,
    WritePIDGain = 68,
    ReadExpectedPeaks = 69,
    WriteExpectedPeaks = 70,
    ReadScopeScale = 71,
    WriteScopeScale = 72,
    ConnectQuery = 75,
    ReadSetPoint = 77,
    WriteSetPoint = 78,
    ReadHarmonic = 80,
    WriteHarmonic = 81,
    ReadCFTTemp10 = 83,
    WriteCFTTemp10 = 84,
    ReadCFTTemp40 = 85,
    WriteCFTTemp40 = 86,
    ReadCFTOffset = 87,
    WriteCFTOffset = 88,
    ReadCFTRaw = 89,
    ReadModulation = 91,
    WriteModulation = 92,
    ReadFOffset = 93,
    WriteFOffset = 94
};

inline constexpr uint8_t CommandStartByte = 0xBB;
inline constexpr uint32_t FrameSize = 5;

// The checksum byte for id, A and B; the start byte is added in here.
uint8_t FrameChecksum(uint8_t id, uint8_t A, uint8_t B);

// The five bytes of a command frame, in the order they leave.
std::array<uint8_t, FrameSize> BuildCommandFrame(uint8_t id, uint8_t A, uint8_t B);

// Hands the frame to the connection in one Send of five bytes. The result
// and the count Send returns are not looked at: a frame sent while the link
// is down is lost without a report.
void SendFrame(TConnection& connection, uint8_t id, uint8_t A, uint8_t B);

// The two payload bytes of a command.
struct TPayload
{
    uint8_t A = 0;
    uint8_t B = 0;
};

// A = 0, B = 0: read requests, ConnectQuery, TuningLock.
TPayload EmptyPayload();
// A = 0, B = 1.
TPayload FlagPayload();
// A = 0, B = the low 8 bits of the value (two's complement for negatives).
TPayload OneBytePayload(int32_t value);
// A = bits 8..15, B = bits 0..7 of the value as 32-bit two's complement.
TPayload Word16Payload(int32_t value);

void SendCommand(TConnection& connection, TCommandId id, TPayload payload = {});

// Turns a number typed into an edit into the integer a Set action sends:
// multiplied, truncated toward zero (12.7 -> 12, -3.9 -> -3), offset added.
// A result outside the 32-bit range saturates and NaN counts as 0, so no input
// leads to an undefined conversion; the edits' limits keep real input far
// inside that range.
int32_t PrepareValue(double value, int32_t multiplier = 1, int32_t offset = 0);

// The sixteen read requests of the service panel's Read button.
extern const std::array<TCommandId, 16> ReadParamsSequence;
// The read requests sent right after a connect, once the reader runs.
extern const std::array<TCommandId, 5> AfterConnectSequence;

// Sends each id with an empty payload, back to back, in order.
void SendReadRequests(TConnection& connection, std::span<const TCommandId> ids);
