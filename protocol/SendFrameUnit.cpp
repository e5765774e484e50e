// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/SendFrameUnit.h"

#include "link/ConnectionUnit.h"

#include <algorithm>
#include <cmath>
#include <limits>

uint8_t FrameChecksum(uint8_t id, uint8_t A, uint8_t B)
{
    const unsigned sum = CommandStartByte + id + A + B;
    return static_cast<uint8_t>(256u - sum % 256u);
}

std::array<uint8_t, FrameSize> BuildCommandFrame(uint8_t id, uint8_t A, uint8_t B)
{
    return {CommandStartByte, id, A, B, FrameChecksum(id, A, B)};
}

void SendFrame(TConnection& connection, uint8_t id, uint8_t A, uint8_t B)
{
    const std::array<uint8_t, FrameSize> frame = BuildCommandFrame(id, A, B);
    uint32_t count = FrameSize;
    connection.Send(frame.data(), count);
}

TPayload EmptyPayload()
{
    return {};
}

TPayload FlagPayload()
{
    return {0, 1};
}

TPayload OneBytePayload(int32_t value)
{
    return {0, static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu)};
}

TPayload Word16Payload(int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    return {static_cast<uint8_t>((bits >> 8) & 0xFFu), static_cast<uint8_t>(bits & 0xFFu)};
}

void SendCommand(TConnection& connection, TCommandId id, TPayload payload)
{
    SendFrame(connection, static_cast<uint8_t>(id), payload.A, payload.B);
}

int32_t PrepareValue(double value, int32_t multiplier, int32_t offset)
{
    constexpr double low = std::numeric_limits<int32_t>::min();
    constexpr double high = std::numeric_limits<int32_t>::max();
    double product = std::trunc(value * multiplier);
    if (std::isnan(product))
        product = 0;
    const auto whole = static_cast<int64_t>(std::clamp(product, low, high));
    const int64_t sum = whole + offset;
    return static_cast<int32_t>(std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

const std::array<TCommandId, 16> ReadParamsSequence = {
    TCommandId::ReadPhase,     TCommandId::ReadDelay,     TCommandId::ReadPathGain,
    TCommandId::ReadCFT,       TCommandId::ReadP,         TCommandId::ReadI,
    TCommandId::ReadD,         TCommandId::ReadPIDGain,   TCommandId::ReadExpectedPeaks,
    TCommandId::ReadSetPoint,  TCommandId::ReadCFTTemp10, TCommandId::ReadCFTTemp40,
    TCommandId::ReadCFTOffset, TCommandId::ReadCFTRaw,    TCommandId::ReadModulation,
    TCommandId::ReadFOffset};

const std::array<TCommandId, 5> AfterConnectSequence = {
    TCommandId::ReadFOffset, TCommandId::ReadScopeScale, TCommandId::ConnectQuery,
    TCommandId::ReadHarmonic, TCommandId::ReadExpectedPeaks};

void SendReadRequests(TConnection& connection, std::span<const TCommandId> ids)
{
    for (TCommandId id : ids)
        SendCommand(connection, id, EmptyPayload());
}
