// SPDX-License-Identifier: GPL-3.0-or-later
// The peak table: the expected-peaks mask and the range it leaves, the
// reference row and the list's rows, the controller's offset, and the id
// Start asks for.
#include "console/model/PeakFacts.h"
#include "console/model/PeakTable.h"

#include <QLocale>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

class PeakTable : public ::testing::Test
{
protected:
    void SetUp() override { QLocale::setDefault(QLocale::c()); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    TPeakTable Table;
};

TEST_F(PeakTable, MaskGivesTheReachableRange)
{
    struct TCase
    {
        uint32_t mask;
        int32_t first;
        int32_t last;
    };
    const TCase cases[] = {
        {0x3FFF, 0, 13},                   // all fourteen
        {0x0001, 0, 0},                    // a alone
        {0x2000, 13, 13}, {0x03F8, 3, 9},  // d .. j
        {0x0000, -1, -1}, {0x0401, 0, 10}, // the ends of what is set, whatever lies between
        {0xC000, -1, -1},                  // bits beyond the table name no peak
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.mask);
        QSignalSpy changed(&Table, &TPeakTable::RangeChanged);
        Table.ExpectedPeaks(c.mask);
        EXPECT_EQ(Table.FirstAvaiablePeakIndex(), c.first);
        EXPECT_EQ(Table.LastAvaiablePeakIndex(), c.last);
        EXPECT_EQ(changed.count(), 1);
        EXPECT_EQ(Table.ListRows().size(), c.first < 0 ? 0 : c.last - c.first + 1);
        // A new range puts the reference back on the f peak.
        EXPECT_EQ(Table.SetPeakListBoxIndex(), FPeakIndex - c.first);
        EXPECT_EQ(Table.SelectedPeakId(), PeakIdF);
    }
}

TEST_F(PeakTable, ReferenceShowsItsFrequencyAndTheOthersTheirDistance)
{
    Table.ExpectedPeaks(0x03F8); // d .. j
    QStringList rows = Table.ListRows();
    ASSERT_EQ(rows.size(), 7);
    EXPECT_EQ(rows[0], "d -> 26.224");
    EXPECT_EQ(rows[2], "f -> 473612353.597");
    EXPECT_EQ(rows[6], "j -> -160.461");

    QSignalSpy changed(&Table, &TPeakTable::ReferenceChanged);
    Table.SelectReference(0);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(Table.SetPeakListBoxIndex(), 0);
    EXPECT_EQ(Table.SelectedPeakId(), 4);
    rows = Table.ListRows();
    EXPECT_EQ(rows[0], "d -> 473612379.821");
    EXPECT_EQ(rows[2], "f -> -26.224");

    // -1 is the f peak again.
    Table.SelectReference(-1);
    EXPECT_EQ(Table.SetPeakListBoxIndex(), 2);
    EXPECT_EQ(Table.SelectedPeakId(), PeakIdF);
}

TEST_F(PeakTable, OffsetMovesEveryPeakFromItsBaseNotFromTheLastOffset)
{
    const double f = Table.GetFPeakValue();
    const double j = Table.GetJPeakValue();
    EXPECT_DOUBLE_EQ(f, PeakBaseValue);
    EXPECT_DOUBLE_EQ(j, PeakBaseValue - 160.461);
    const struct
    {
        int32_t kHz;
        double MHz;
    } cases[] = {{1500, 1.5}, {-32768, -32.768}, {0, 0}, {1, 0.001}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kHz);
        Table.ChangePeakOffset(c.kHz);
        EXPECT_DOUBLE_EQ(Table.GetFPeakValue(), f + c.MHz);
        EXPECT_DOUBLE_EQ(Table.GetJPeakValue(), j + c.MHz);
        for (size_t k = 0; k < Table.PeakList().size(); ++k)
            EXPECT_DOUBLE_EQ(Table.PeakList()[k]->Value,
                             PeakBaseValue + PeakRows[k].Offset + c.MHz);
    }
}

TEST_F(PeakTable, NamesAndFormats)
{
    EXPECT_EQ(Table.PeakName(1), "a");
    EXPECT_EQ(Table.PeakName(14), "n");
    for (uint32_t id : {0u, 15u, 255u})
        EXPECT_EQ(Table.PeakName(id), "--") << id;

    EXPECT_EQ(TPeakTable::FormatPeakValue(473612353.597), "473612353.597");
    EXPECT_EQ(TPeakTable::FormatPeakValue(-0.5), "-0.500");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // The locale's separator, and no grouping.
    EXPECT_EQ(TPeakTable::FormatPeakValue(1234567.25), "1234567,250");
}

} // namespace
