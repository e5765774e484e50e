// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ServicePasswordUnit.h"

namespace {
constexpr char16_t AccessCode[] = u"51730264";
constexpr int32_t AccessCodeLength = 8;
} // namespace

bool TServicePassword::IsPasswordOK(QChar key)
{
    ++FCharIndex;
    if (key.unicode() != AccessCode[FCharIndex - 1])
        FCharIndex = 0;
    if (FCharIndex == AccessCodeLength) {
        FCharIndex = 0;
        return true;
    }
    return false;
}
