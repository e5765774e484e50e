// SPDX-License-Identifier: GPL-3.0-or-later
// What the console knows about the fourteen absorption peaks, in one place:
// their order (by falling frequency), flags, offsets from the f peak, the id
// the controller numbers them by (the row index plus one), their letters, and
// which rows the two reference peaks f and j are.
#pragma once

#include <QChar>

#include <array>
#include <cstdint>

struct TPeakRow
{
    char Letter;
    uint32_t Flag; // the peak's bit in the expected-peaks mask
    double Offset; // distance from the f peak, MHz
};

// Frequency of the f peak without any offset, MHz.
constexpr double PeakBaseValue = 473612353.597;

constexpr std::array<TPeakRow, 14> PeakRows = {{
    {'a', 0x0001, 161.039},
    {'b', 0x0002, 152.208},
    {'c', 0x0004, 144.114},
    {'d', 0x0008, 26.224},
    {'e', 0x0010, 13.363},
    {'f', 0x0020, 0},
    {'g', 0x0040, -13.198},
    {'h', 0x0080, -116.953},
    {'i', 0x0100, -138.892},
    {'j', 0x0200, -160.461},
    {'k', 0x0400, -268.842},
    {'l', 0x0800, -276.886},
    {'m', 0x1000, -292.693},
    {'n', 0x2000, -301.706},
}};

constexpr int32_t PeakCount = static_cast<int32_t>(PeakRows.size());

// Peak ids run 1 .. PeakCount; row index = id - 1.
constexpr int32_t PeakIdOfIndex(int32_t index)
{
    return index + 1;
}

constexpr int32_t PeakIndexOfId(int32_t id)
{
    return id - 1;
}

constexpr bool IsPeakId(int32_t id)
{
    return id >= 1 && id <= PeakCount;
}

// The lower-case letter of a peak id: 'a' for 1, 'b' for 2, and so on.
inline QChar PeakLetter(int32_t id)
{
    return QChar(0x60 + id);
}

constexpr int32_t FPeakIndex = 5;
constexpr int32_t JPeakIndex = 9;
constexpr int32_t PeakIdC = 3;
constexpr int32_t PeakIdD = 4;
constexpr int32_t PeakIdE = 5;
constexpr int32_t PeakIdF = PeakIdOfIndex(FPeakIndex);
constexpr int32_t PeakIdJ = PeakIdOfIndex(JPeakIndex);

static_assert(PeakRows[FPeakIndex].Letter == 'f' && PeakRows[JPeakIndex].Letter == 'j');
static_assert(PeakRows[PeakIndexOfId(PeakIdC)].Letter == 'c' &&
              PeakRows[PeakIndexOfId(PeakIdD)].Letter == 'd' &&
              PeakRows[PeakIndexOfId(PeakIdE)].Letter == 'e');
