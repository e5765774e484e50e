// SPDX-License-Identifier: GPL-3.0-or-later
// The lock report with peak ids the peak table has no peak for, and with a
// peak the controller reports outside the range it said it can reach.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace {

TEST(LockReport, PeakIdsWithoutAPeakOrOutsideTheReachableRangeGiveAPlainReport)
{
    QLocale::setDefault(QLocale::c());
    struct TCase
    {
        const char* Name;
        uint16_t Mask;
        uint32_t PeakId;
        const char* Panel;
        const char* PeakLabel;
        bool FDown; // the simple menu offers f and j whenever j is reachable
    };
    const TCase cases[] = {
        {"id 0", 0x3FFF, 0, "locked at unknown peak 0", "--", false},
        {"id 15, past the last peak", 0x3FFF, 15, "locked at unknown peak 15", "--", false},
        {"id 255", 0x3FFF, 255, "locked at unknown peak 255", "--", false},
        {"f while only i and j are reachable", 0x0300, 6, "locked at peak f -> 473612353.597", "f",
         true},
        {"a while only i and j are reachable", 0x0300, 1, "locked at peak a", "a", false},
        {"id 255 with nothing reachable", 0x0000, 255, "locked at unknown peak 255", "--", false},
    };
    auto bridge = std::make_shared<TFakeLine>();
    TMainForm form(FakeLineEnvironment(bridge));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        form.State().HandleExpectedPeaksValue(c.Mask);
        QStringList rows;
        for (int row = 0; row < form.PeakListBox->count(); ++row)
            rows << form.PeakListBox->item(row)->text();
        const int reference = form.State().Peaks().SetPeakListBoxIndex();
        form.State().SearchLocked = false;

        form.State().HandlePeakId(c.PeakId);
        form.State().HandleDeviceStatus(3, 0);

        EXPECT_EQ(form.StatusLabel->text(), "tuning - locked");
        EXPECT_EQ(form.SimpleStatusPanel->text(), c.Panel);
        EXPECT_EQ(form.PeakLabel->text(), c.PeakLabel);
        EXPECT_TRUE(form.State().SearchLocked);
        // No row matches: the list and its reference stay as they were.
        EXPECT_EQ(form.State().Peaks().SetPeakListBoxIndex(), reference);
        QStringList after;
        for (int row = 0; row < form.PeakListBox->count(); ++row)
            after << form.PeakListBox->item(row)->text();
        EXPECT_EQ(after, rows);
        EXPECT_EQ(form.SimpleFPeakPngSpeedButton->isChecked(), c.FDown);
        EXPECT_FALSE(form.SimpleJPeakPngSpeedButton->isChecked());
    }
}

} // namespace
