// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/LinePacer.h"

#include <algorithm>

namespace VarnelSim {

TLinePacer::TLinePacer(uint32_t bytesPerSecond, uint32_t burstBytes)
    : FBytesPerSecond(std::max<uint32_t>(bytesPerSecond, 1)),
      FBurstBytes(std::max<uint32_t>(burstBytes, 1))
{
}

void TLinePacer::Reset(TClock::time_point now)
{
    FLast = now;
    FCredit = int64_t{FBurstBytes} * Scale;
}

void TLinePacer::Refill(TClock::time_point now)
{
    if (now <= FLast)
        return;
    const int64_t cap = int64_t{FBurstBytes} * Scale;
    // More than a second idle refills the whole burst anyway; capping the
    // interval keeps the product below any overflow.
    const int64_t elapsed = std::min<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - FLast).count(), Scale);
    FCredit = std::min(cap, FCredit + elapsed * FBytesPerSecond);
    FLast = now;
}

std::size_t TLinePacer::Allowance(TClock::time_point now)
{
    Refill(now);
    return FCredit <= 0 ? 0 : static_cast<std::size_t>(FCredit / Scale);
}

void TLinePacer::Consume(std::size_t bytes)
{
    FCredit -= static_cast<int64_t>(bytes) * Scale;
}

std::chrono::nanoseconds TLinePacer::WaitFor(std::size_t bytes, TClock::time_point now)
{
    Refill(now);
    const auto want = static_cast<int64_t>(std::min<std::size_t>(bytes, FBurstBytes)) * Scale;
    const int64_t missing = want - FCredit;
    if (missing <= 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds((missing + FBytesPerSecond - 1) / FBytesPerSecond);
}

} // namespace VarnelSim
