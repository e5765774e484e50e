// SPDX-License-Identifier: GPL-3.0-or-later
// What an operator sees of USB bridges whose product strings are not plain
// ASCII: every listed name names exactly one bridge, and choosing it opens
// that bridge. The emulated bridge sends each byte of its description as one
// UTF-16 code unit, so "\xfe" arrives as U+00FE.
#include "link/ConnectionUnit.h"
#include "link/D2XX_Unit.h"
#include "sim/usb/UsbEmulator.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <string>
#include <vector>

namespace {

class UsbDescription : public ::testing::Test
{
protected:
    void SetUp() override { D2XX_RestoreDefaultDrivers(); }
    VarnelUsb::TUsbTestbed Bus;
};

VarnelUsb::TBridgeOptions Named(const std::string& description)
{
    VarnelUsb::TBridgeOptions options;
    options.Description = description;
    return options;
}

TEST_F(UsbDescription, NamesThatCouldNotBeToldApartAreNotListedAndOthersOpenTheirOwnBridge)
{
    struct Case
    {
        const char* name;
        std::string sent;
        const char* shown; // null: not listed
    } cases[] = {
        {"latin small thorn", "KWTP \xfe", "KWTP \xc3\xbe"},
        {"latin small y with diaeresis", "KWTP \xff", "KWTP \xc3\xbf"},
        {"escape", "KWTP \x1b[2J", nullptr},
        {"newline", "KWTP\nBench", nullptr},
        {"C1 control", "KWTP \x85", nullptr},
    };
    std::vector<VarnelUsb::TEmulatedBridge*> bridges;
    for (const Case& c : cases)
        bridges.push_back(&Bus.AddBridge(Named(c.sent)));

    TConnection connection;
    QStringList names;
    connection.GetAvailableDevices(names);
    QStringList expected;
    for (const Case& c : cases)
        if (c.shown)
            expected << QString::fromUtf8(c.shown);
    names.sort();
    expected.sort();
    EXPECT_EQ(names, expected);

    // Choosing the second of the two look-alikes opens the second bridge.
    connection.SetDeviceID(QString::fromUtf8(cases[1].shown));
    ASSERT_TRUE(connection.Connect());
    EXPECT_FALSE(bridges[0]->Claimed());
    EXPECT_TRUE(bridges[1]->Claimed());
    EXPECT_TRUE(connection.Disconnect());
}

// A bridge is opened only under its exact description; with "KWTP
// Controller" gone, "KWTP Controller B" is another laser and stays closed.
// The link says what it opened, with the bridge's serial number.
TEST_F(UsbDescription, OnlyTheExactDescriptionOpensAndTheLinkSaysWhatItOpened)
{
    VarnelUsb::TBridgeOptions a = Named("KWTP Controller");
    a.Serial = "KW000001";
    VarnelUsb::TBridgeOptions b = Named("KWTP Controller B");
    b.Serial = "KW000002";
    auto& first = Bus.AddBridge(a);
    auto& second = Bus.AddBridge(b);
    TConnection connection;
    QStringList names;
    connection.GetAvailableDevices(names);
    ASSERT_EQ(names.size(), 2);

    struct Case
    {
        const char* chosen;
        VarnelUsb::TEmulatedBridge* opened; // null: no connect
        const char* serial;
    } cases[] = {
        {"KWTP Controller", &first, "KW000001"},    // exact
        {"KWTP Controller B", &second, "KW000002"}, // exact
        {"KWTP Contr", nullptr, ""},                // prefix only
        {"Controller", nullptr, ""},                // substring only
        {"KWTP Lab", nullptr, ""},                  // none
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        EXPECT_EQ(connection.Connect(TDeviceID(_usb, c.chosen, 111111, "", "")),
                  c.opened != nullptr);
        EXPECT_EQ(first.Claimed(), c.opened == &first);
        EXPECT_EQ(second.Claimed(), c.opened == &second);
        if (c.opened) {
            EXPECT_EQ(connection.OpenedDevice(),
                      (TOpenedDevice{QString::fromUtf8(c.chosen), QString::fromUtf8(c.serial)}));
        }
        EXPECT_TRUE(connection.Disconnect());
        EXPECT_FALSE(first.Claimed());
        EXPECT_FALSE(second.Claimed());
    }

    // Selected from the list, then unplugged: the connect fails.
    connection.SetDeviceID("KWTP Controller");
    first.Unplug();
    EXPECT_FALSE(connection.Connect());
    EXPECT_FALSE(second.Claimed());
}

} // namespace
