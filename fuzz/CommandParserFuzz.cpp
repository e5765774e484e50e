// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary byte streams, cut at arbitrary points, through the
// simulator's command-frame parser.
//
// After every piece the frames reported so far must be exactly those a plain
// scan of all bytes fed so far finds (each at a 0xBB with a checksum that
// makes its five bytes add up to a multiple of 256), the bad-frame and
// skipped-byte counts must match that scan, the kept bytes must be its
// unfinished tail (0 to 4), and every byte fed must be accounted for.
#include "fuzz/FuzzInput.h"
#include "sim/CommandFrameParser.h"

#include <vector>

namespace {

using VarnelSim::TCommandFrame;

struct TReferenceScan
{
    std::vector<TCommandFrame> Frames;
    uint64_t Bad = 0;
    uint64_t Skipped = 0;
    std::size_t Unfinished = 0;
};

// Skip to a 0xBB; five bytes that add up to a multiple of 256 are a frame,
// otherwise the start byte alone is dropped and the search goes on after it.
TReferenceScan ScanReference(const uint8_t* bytes, std::size_t size)
{
    TReferenceScan scan;
    std::size_t pos = 0;
    while (pos < size) {
        if (bytes[pos] != 0xBB) {
            ++scan.Skipped;
            ++pos;
            continue;
        }
        if (size - pos < 5) {
            scan.Unfinished = size - pos;
            break;
        }
        const uint8_t* f = bytes + pos;
        if ((f[0] + f[1] + f[2] + f[3] + f[4]) % 256 == 0) {
            scan.Frames.push_back({f[1], f[2], f[3]});
            pos += 5;
        } else {
            ++scan.Bad;
            ++pos;
        }
    }
    return scan;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const TFuzzInput input = SplitFuzzInput(data, size);
    VarnelSim::TCommandFrameParser parser;
    std::vector<TCommandFrame> frames;
    std::size_t fed = 0;
    for (std::size_t arrival : input.Arrivals) {
        parser.Feed(input.Stream + fed, arrival,
                    [&](const TCommandFrame& frame) { frames.push_back(frame); });
        fed += arrival;

        FUZZ_CHECK(parser.PendingBytes() <= 4);
        FUZZ_CHECK(parser.GoodFrames() == frames.size());
        FUZZ_CHECK(5 * parser.GoodFrames() + parser.BadFrames() + parser.SkippedBytes() +
                       parser.PendingBytes() ==
                   fed);
        const TReferenceScan reference = ScanReference(input.Stream, fed);
        FUZZ_CHECK(frames == reference.Frames);
        FUZZ_CHECK(parser.BadFrames() == reference.Bad);
        FUZZ_CHECK(parser.SkippedBytes() == reference.Skipped);
        FUZZ_CHECK(parser.PendingBytes() == reference.Unfinished);
    }
    return 0;
}
