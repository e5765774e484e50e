// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/CommandFrameParser.h"

#include <algorithm>

namespace VarnelSim {

void TCommandFrameParser::Feed(const uint8_t* data, std::size_t size, const TFrameHandler& onFrame)
{
    // Work on kept bytes plus new ones; the kept part is at most four bytes,
    // so the copy stays small next to the data itself.
    FPending.insert(FPending.end(), data, data + size);
    const uint8_t* bytes = FPending.data();
    const std::size_t count = FPending.size();

    std::size_t pos = 0;
    while (pos < count) {
        if (bytes[pos] != CommandStartByte) {
            const uint8_t* next = std::find(bytes + pos, bytes + count, CommandStartByte);
            FSkippedBytes += static_cast<uint64_t>(next - (bytes + pos));
            pos = static_cast<std::size_t>(next - bytes);
            continue;
        }
        if (count - pos < FrameSize)
            break;
        const uint8_t* f = bytes + pos;
        if (FrameChecksum(f[0], f[1], f[2], f[3]) == f[4]) {
            ++FGoodFrames;
            pos += FrameSize;
            onFrame(TCommandFrame{f[1], f[2], f[3]});
        } else {
            ++FBadFrames;
            ++pos;
        }
    }
    FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(pos));
}

} // namespace VarnelSim
