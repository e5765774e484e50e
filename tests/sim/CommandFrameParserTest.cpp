// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/CommandFrameParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using VarnelSim::TCommandFrame;
using VarnelSim::TCommandFrameParser;
using Bytes = std::vector<uint8_t>;

struct TParseCase
{
    std::string Name;
    std::vector<Bytes> Pieces; // fed one after another
    std::vector<TCommandFrame> Frames;
    uint64_t Bad;
    std::size_t Pending;
};

TEST(CommandFrameParserTest, CutsFramesOutOfAnyStream)
{
    const std::vector<TParseCase> cases = {
        {"lock", {{0xBB, 0x24, 0x00, 0x00, 0x21}}, {{36, 0, 0}}, 0, 0},
        {"checksum byte 0", {{0xBB, 0x45, 0x00, 0x00, 0x00}}, {{69, 0, 0}}, 0, 0},
        {"noise before a frame",
         {{0x01, 0xAA, 0x7F, 0xBB, 0x22, 0x00, 0x06, 0x1D}},
         {{34, 0, 6}},
         0,
         0},
        {"split three and two", {{0xBB, 0x5E, 0xFF}, {0x06, 0xE2}}, {{94, 0xFF, 0x06}}, 0, 0},
        {"bad then good",
         {{0xBB, 0x24, 0x00, 0x00, 0x22, 0xBB, 0x22, 0x00, 0x06, 0x1D}},
         {{34, 0, 6}},
         1,
         0},
        // Resynchronising on the next start byte keeps the frame behind a stray 0xBB.
        {"stray start byte", {{0xBB, 0xBB, 0x22, 0x00, 0x06, 0x1D}}, {{34, 0, 6}}, 1, 0},
        {"two frames byte by byte",
         {{0xBB}, {0x3A}, {0x0F}, {0xA0}, {0x5C}, {0xBB}, {0x24}, {0x00}, {0x00}, {0x21}},
         {{58, 0x0F, 0xA0}, {36, 0, 0}},
         0,
         0},
        {"incomplete frame kept", {{0x00, 0xBB, 0x45, 0x00}}, {}, 0, 3},
        {"only noise", {{0x00, 0x11, 0xAA}}, {}, 0, 0},
    };
    for (const TParseCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TCommandFrameParser parser;
        std::vector<TCommandFrame> frames;
        for (const Bytes& piece : c.Pieces)
            parser.Feed(piece.data(), piece.size(),
                        [&](const TCommandFrame& f) { frames.push_back(f); });
        EXPECT_EQ(frames, c.Frames);
        EXPECT_EQ(parser.BadFrames(), c.Bad);
        EXPECT_EQ(parser.PendingBytes(), c.Pending);
    }
}

} // namespace
