// SPDX-License-Identifier: GPL-3.0-or-later
// Paces output to the rate of the serial line: a byte budget that refills
// at the line's byte rate on a monotonic clock and holds at most a small
// burst, so that over any interval no more than rate x interval + burst
// bytes leave. The clock is passed in, never read here, so tests can drive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace VarnelSim {

// 38400 baud, ten bits per byte on the line (start, 8 data, stop).
inline constexpr uint32_t LineBytesPerSecond = 3840;

class TLinePacer
{
public:
    using TClock = std::chrono::steady_clock;

    // burstBytes: the most that may leave at once after an idle spell. The
    // default, 64 bytes (about one USB packet of a bridge, 17 ms of line),
    // lets a sender that waits for one frame at a time wake up late on a
    // busy machine without losing line time.
    explicit TLinePacer(uint32_t bytesPerSecond = LineBytesPerSecond, uint32_t burstBytes = 64);

    // Starts a fresh budget at now, holding one full burst.
    void Reset(TClock::time_point now);

    // Bytes that may be sent at now (refills the budget up to the burst).
    std::size_t Allowance(TClock::time_point now);

    // Records bytes sent; call with no more than the last Allowance.
    void Consume(std::size_t bytes);

    // How long after now until Allowance reaches bytes (at most the burst).
    std::chrono::nanoseconds WaitFor(std::size_t bytes, TClock::time_point now);

    uint32_t BurstBytes() const { return FBurstBytes; }

private:
    void Refill(TClock::time_point now);

    static constexpr int64_t Scale = 1'000'000'000; // budget unit: 1/Scale byte

    uint32_t FBytesPerSecond;
    uint32_t FBurstBytes;
    int64_t FCredit = 0; // in 1/Scale bytes
    TClock::time_point FLast{};
};

} // namespace VarnelSim
