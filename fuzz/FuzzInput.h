// SPDX-License-Identifier: GPL-3.0-or-later
// How a fuzz input becomes a byte stream that arrives in pieces.
//
// Byte 0 gives the number of cuts (its low five bits, 0 to 31). Each cut is
// then two bytes, low byte first: the length of one arrival. The rest of the
// input is the stream. Arrivals take their lengths in order, each capped at
// what is left of the stream; whatever remains after the last cut arrives as
// one final piece. Arrivals of length 0 are kept: the reader polls even when
// nothing came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

struct TFuzzInput
{
    const uint8_t* Stream = nullptr;
    std::size_t StreamSize = 0;
    std::vector<std::size_t> Arrivals; // lengths; they add up to StreamSize
};

inline TFuzzInput SplitFuzzInput(const uint8_t* data, std::size_t size)
{
    TFuzzInput input;
    std::size_t pos = 0;
    const std::size_t cuts = size > 0 ? (data[pos++] & 0x1F) : 0;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < cuts && pos + 2 <= size; ++i, pos += 2)
        lengths.push_back(data[pos] | static_cast<std::size_t>(data[pos + 1]) << 8);
    input.Stream = data + pos;
    input.StreamSize = size - pos;
    std::size_t left = input.StreamSize;
    for (std::size_t length : lengths) {
        const std::size_t piece = length < left ? length : left;
        input.Arrivals.push_back(piece);
        left -= piece;
    }
    input.Arrivals.push_back(left);
    return input;
}

// A broken invariant: say which one and crash, so the fuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition);           \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
