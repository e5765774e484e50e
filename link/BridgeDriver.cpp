// SPDX-License-Identifier: GPL-3.0-or-later
#include "BridgeDriver.h"

namespace {

// Decodes one UTF-8 sequence at `at`; false for a malformed, overlong or
// surrogate sequence and for a code point past U+10FFFF.
bool NextCodePoint(const std::string& text, std::size_t& at, char32_t& codePoint)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        ++at;
        return true;
    } else if ((lead & 0xe0) == 0xc0) {
        length = 2;
        codePoint = lead & 0x1f;
        minimum = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3;
        codePoint = lead & 0x0f;
        minimum = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return false;
    }
    if (text.size() - at < length)
        return false;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80)
            return false;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3f);
    }
    at += length;
    return codePoint >= minimum && codePoint <= 0x10ffff &&
           !(codePoint >= 0xd800 && codePoint <= 0xdfff);
}

bool Hidden(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

bool DistinctDescription(const std::string& description)
{
    if (description.empty() || description.size() > 64)
        return false;
    for (std::size_t at = 0; at < description.size();) {
        char32_t c = 0;
        if (!NextCodePoint(description, at, c) || Hidden(c))
            return false;
    }
    return true;
}
