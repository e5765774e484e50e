// SPDX-License-Identifier: GPL-3.0-or-later
// Device frames as the controller sends them, built for tests and benchmarks
// from the wire format itself: 0xAA, message id, value low byte (b2), value
// high byte (b3), and a checksum that makes the five bytes add up to a
// multiple of 256.
#pragma once

#include <cstdint>
#include <vector>

// A device frame with a correct checksum.
inline std::vector<uint8_t> DeviceFrame(uint8_t id, uint8_t b2, uint8_t b3)
{
    const auto sum = static_cast<uint8_t>(0xAA + id + b2 + b3);
    return {0xAA, id, b2, b3, static_cast<uint8_t>(-sum)};
}

// A device frame carrying a 16-bit value, low byte first.
inline std::vector<uint8_t> DeviceFrameValue(uint8_t id, uint16_t value)
{
    return DeviceFrame(id, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8));
}
