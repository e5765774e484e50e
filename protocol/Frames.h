// SPDX-License-Identifier: GPL-3.0-or-later
// The wire format both ends of the line share, with nothing of the link or
// of Qt: the five-byte frames, their checksum, the command ids and the
// payload forms. The console's protocol library and the controller
// simulator both build on it (library varnel_frames).
//
// A frame is five bytes: a start byte (0xBB for a command from the console,
// 0xAA for a device frame from the controller), an id, two payload bytes and
// a checksum that makes the five bytes add up to a multiple of 256. A
// command carries its payload high byte first (A, B); a device frame low
// byte first (b2, b3).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t CommandStartByte = 0xBB;
inline constexpr uint8_t DeviceStartByte = 0xAA;
inline constexpr std::size_t FrameSize = 5;

// The checksum byte for the first four bytes of a frame, start byte included.
constexpr uint8_t FrameChecksum(uint8_t start, uint8_t id, uint8_t b2, uint8_t b3)
{
    return static_cast<uint8_t>(0u - (unsigned{start} + id + b2 + b3));
}

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
