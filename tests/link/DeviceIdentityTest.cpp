// SPDX-License-Identifier: GPL-3.0-or-later
// Device identities and their owning list.
#include "link/Phy_Global_Unit.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceIdentity, AssignCopiesEveryFieldAndStaysIndependent)
{
    TDeviceID source(_usb, "KWTP A", 111111, "radio", "address");
    TDeviceID copy;
    EXPECT_EQ(copy.connectionType(), _none);
    copy.Assign(source);
    source.setFullName("changed");
    EXPECT_EQ(copy.connectionType(), _usb);
    EXPECT_EQ(copy.fullName(), "KWTP A");
    EXPECT_EQ(copy.serialNumber(), 111111);
    EXPECT_EQ(copy.btRadio(), "radio");
    EXPECT_EQ(copy.btAddress(), "address");

    copy.Assign(TDeviceID());
    EXPECT_TRUE(copy.fullName().isEmpty());
    EXPECT_TRUE(copy.btRadio().isEmpty());
    EXPECT_EQ(copy.serialNumber(), 0);
}

TEST(DeviceIdentity, ListAppendsNamesInOrderAndCopiesOutliveAClear)
{
    TDevicesIDList list;
    QStringList names{"earlier"};
    list.DevicesListToStringList(names);
    EXPECT_EQ(names, QStringList{"earlier"});

    list.Add(std::make_unique<TDeviceID>(_usb, "KWTP", 111111, "", ""));
    list.Add(std::make_unique<TDeviceID>(_usb, "KWTP", 111111, "", ""));
    list.Add(std::make_unique<TDeviceID>(_usb, "Other", 111111, "", ""));
    list.DevicesListToStringList(names);
    EXPECT_EQ(names, (QStringList{"earlier", "KWTP", "KWTP", "Other"}));

    TDeviceID kept;
    kept.Assign(list[2]);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(kept.fullName(), "Other");
}

} // namespace
