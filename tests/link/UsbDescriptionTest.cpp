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

} // namespace
