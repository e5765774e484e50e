// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts command frames out of the byte stream the console sends.
//
// A command frame is five bytes: 0xBB, command id, payload byte A (high),
// payload byte B (low) and a checksum that makes the five bytes add up to a
// multiple of 256 (the wire format is protocol/Frames.h). Bytes before a start byte are skipped. A
// candidate whose checksum is wrong counts as one bad frame; scanning then resumes at the next 0xBB
// after its start byte, so a stray 0xBB in front of a good frame never costs that frame.
#pragma once

#include "protocol/Frames.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace VarnelSim {

struct TCommandFrame
{
    uint8_t Id = 0;
    uint8_t A = 0; // high byte of a 16-bit payload, 0 for one-byte payloads
    uint8_t B = 0; // low byte

    uint16_t Word() const { return static_cast<uint16_t>(A << 8 | B); }
    bool operator==(const TCommandFrame&) const = default;
};

class TCommandFrameParser
{
public:
    using TFrameHandler = std::function<void(const TCommandFrame&)>;

    // Scans the bytes together with those kept from earlier calls and calls
    // onFrame for every good frame, in order. Keeps at most four bytes of an
    // incomplete frame for the next call.
    void Feed(const uint8_t* data, std::size_t size, const TFrameHandler& onFrame);

    // Forgets a kept incomplete frame (a new connection starts clean).
    void Reset() { FPending.clear(); }

    uint64_t GoodFrames() const { return FGoodFrames; }
    uint64_t BadFrames() const { return FBadFrames; }
    // Bytes skipped while looking for a start byte (bad frames not included).
    uint64_t SkippedBytes() const { return FSkippedBytes; }
    // Bytes of an incomplete frame kept for the next call: 0 to 4, and when
    // not 0 the first of them is 0xBB.
    std::size_t PendingBytes() const { return FPending.size(); }

private:
    std::vector<uint8_t> FPending;
    uint64_t FGoodFrames = 0;
    uint64_t FBadFrames = 0;
    uint64_t FSkippedBytes = 0;
};

} // namespace VarnelSim
