// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/Messages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What the lock supervision may conclude from each status code: the
// controller tuning on its own (a relock must wait), or not ready for any
// command (nothing may be sent). Codes without a text count as not ready.
TEST(StatusCodes, BusyAndReadyFollowEveryCode)
{
    struct TCase
    {
        uint32_t Code;
        bool Busy;
        bool Ready;
    };
    const TCase cases[] = {
        {0, false, false},                        // not ready
        {1, true, true},                          // tuning - start
        {2, true, true},                          // tuning - lock try
        {3, false, true},                         // tuning - locked
        {4, false, true},                         // unlocked
        {5, false, true},                         // tuning - stop
        {6, false, true},                         // learning
        {7, true, true},                          // tuning - prepare
        {8, false, true},                         // learning
        {9, false, false},                        // no text
        {10, false, true},                        // tuning - error
        {11, true, true},                         // tuning - wait
        {12, true, true},                         // tuning - phase
        {13, true, true},                         // tuning - wait
        {14, false, true},                        // wait for user
        {15, false, false},                       // past the known codes
        {255, false, false}, {256, false, false}, // wider than a status byte
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.Code));
        EXPECT_EQ(IsBusyStatus(c.Code), c.Busy);
        EXPECT_EQ(IsReadyStatus(c.Code), c.Ready);
    }
}

} // namespace
