// SPDX-License-Identifier: GPL-3.0-or-later
// Command frames from the console to the controller: five bytes 0xBB, command
// id, payload byte A (high), payload byte B (low) and a checksum that makes the
// five bytes add up to a multiple of 256. Sent and forgotten: no state, no
// queue, no acknowledgement, no retry.
#pragma once

#include "protocol/Frames.h"
#include "protocol/ServiceParameters.h"

#include <array>
#include <cstdint>
#include <span>

class TConnection;

// The checksum byte of a command frame with id, A and B.
uint8_t FrameChecksum(uint8_t id, uint8_t A, uint8_t B);

// The five bytes of a command frame, in the order they leave.
std::array<uint8_t, FrameSize> BuildCommandFrame(uint8_t id, uint8_t A, uint8_t B);

// Hands the frame to the connection in one Send of five bytes. The result
// and the count Send returns are not looked at: a frame sent while the link
// is down is lost without a report.
void SendFrame(TConnection& connection, uint8_t id, uint8_t A, uint8_t B);

void SendCommand(TConnection& connection, TCommandId id, TPayload payload = {});

// The read requests of the service panel's Read button: the rows of the
// parameter table marked for it, in table order.
extern const std::array<TCommandId, 16> ReadParamsSequence;
// The read requests sent right after a connect, once the reader runs.
extern const std::array<TCommandId, 5> AfterConnectSequence;

// Sends each id with an empty payload, back to back, in order.
void SendReadRequests(TConnection& connection, std::span<const TCommandId> ids);
