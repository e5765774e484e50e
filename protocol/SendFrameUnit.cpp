// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/SendFrameUnit.h"

#include "link/ConnectionUnit.h"

uint8_t FrameChecksum(uint8_t id, uint8_t A, uint8_t B)
{
    return FrameChecksum(CommandStartByte, id, A, B);
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

void SendCommand(TConnection& connection, TCommandId id, TPayload payload)
{
    SendFrame(connection, static_cast<uint8_t>(id), payload.A, payload.B);
}

const std::array<TCommandId, 16> ReadParamsSequence = [] {
    std::array<TCommandId, 16> ids{};
    std::size_t next = 0;
    for (const TServiceParameter& parameter : ServiceParameters)
        if (parameter.InReadSequence)
            ids.at(next++) = parameter.Read;
    return ids;
}();

const std::array<TCommandId, 5> AfterConnectSequence = {
    TCommandId::ReadFOffset, TCommandId::ReadScopeScale, TCommandId::ConnectQuery,
    TCommandId::ReadHarmonic, TCommandId::ReadExpectedPeaks};

void SendReadRequests(TConnection& connection, std::span<const TCommandId> ids)
{
    for (TCommandId id : ids)
        SendCommand(connection, id, EmptyPayload());
}
