// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/LinePacer.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace std::chrono_literals;
using VarnelSim::TLinePacer;
using Clock = TLinePacer::TClock;

struct TLine
{
    uint32_t Rate;
    uint32_t Burst;
};

const TLine Lines[] = {{3840, 10}, {3840, 64}, {38400, 10}};

int64_t Ns(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

// Whatever the wake-ups, no interval from the start carries more than
// rate x interval + burst bytes: a sender always taking all it is allowed.
TEST(LinePacerTest, NeverExceedsTheLineRate)
{
    for (const TLine& line : Lines) {
        SCOPED_TRACE(testing::Message() << line.Rate << " B/s, burst " << line.Burst);
        std::mt19937 random(7);
        std::uniform_int_distribution<int> step(0, 3000); // microseconds
        const Clock::time_point start{1h};
        Clock::time_point now = start;
        TLinePacer pacer(line.Rate, line.Burst);
        pacer.Reset(now);
        int64_t sent = 0;
        for (int i = 0; i < 20000; ++i) {
            // Mostly short steps, now and then a long idle spell.
            now += i % 997 == 0 ? 2s : std::chrono::microseconds(step(random));
            const std::size_t allowed = pacer.Allowance(now);
            ASSERT_LE(allowed, line.Burst);
            pacer.Consume(allowed);
            sent += static_cast<int64_t>(allowed);
            // sent <= rate * elapsed + burst, in whole nanoseconds.
            ASSERT_LE(sent * 1'000'000'000,
                      int64_t{line.Rate} * Ns(now - start) + int64_t{line.Burst} * 1'000'000'000);
        }
    }
}

// A sender that waits for one frame at a time as long as WaitFor says, and
// wakes up to half a frame's time late, still gets the full line rate: the
// pacer does not throttle below it.
TEST(LinePacerTest, WaitForKeepsTheLineBusy)
{
    for (const TLine& line : Lines) {
        SCOPED_TRACE(testing::Message() << line.Rate << " B/s, burst " << line.Burst);
        std::mt19937 random(11);
        const int64_t frameNs = 5 * int64_t{1'000'000'000} / line.Rate;
        std::uniform_int_distribution<int64_t> late(0, frameNs / 2);
        const Clock::time_point start{1h};
        Clock::time_point now = start;
        TLinePacer pacer(line.Rate, line.Burst);
        pacer.Reset(now);
        int64_t sent = 0;
        while (now - start < 10s) {
            now += pacer.WaitFor(5, now) + std::chrono::nanoseconds(late(random));
            const std::size_t allowed = pacer.Allowance(now);
            ASSERT_GE(allowed, 5u) << "woken before a frame was allowed";
            pacer.Consume(allowed);
            sent += static_cast<int64_t>(allowed);
        }
        const double rate =
            static_cast<double>(sent) / (static_cast<double>(Ns(now - start)) / 1e9);
        EXPECT_GT(rate, 0.99 * line.Rate);
        EXPECT_LE(rate, line.Rate + line.Burst / 10.0);
    }
}

} // namespace
