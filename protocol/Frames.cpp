// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/Frames.h"

TPayload EmptyPayload()
{
    return {};
}

TPayload FlagPayload()
{
    return {0, 1};
}

TPayload OneBytePayload(int32_t value)
{
    return {0, static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu)};
}

TPayload Word16Payload(int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    return {static_cast<uint8_t>((bits >> 8) & 0xFFu), static_cast<uint8_t>(bits & 0xFFu)};
}
