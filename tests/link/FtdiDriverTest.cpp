// SPDX-License-Identifier: GPL-3.0-or-later
// The USB bridge driver on a machine without bridges: on a bus without them,
// and where libusb cannot start at all (a container without USB devices).
#include "link/D2XX_Unit.h"
#include "link/FtdiBridgeDriver.h"
#include "link/Phy_USB_Unit.h"

#include <ftdi.h>
#include <libusb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct TBus
{
    bool Reachable = false;
    bool HasBridges = false;
};

// What libusb itself sees, independent of the driver under test.
TBus LookAtBus()
{
    TBus bus;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return bus;
    bus.Reachable = true;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) == 0 &&
            descriptor.idVendor == 0x0403)
            bus.HasBridges = true;
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return bus;
}

// The version the driver reports: one byte each for major, minor and micro.
std::string Dotted(uint32_t version)
{
    return std::to_string(version >> 16) + "." + std::to_string(version >> 8 & 0xFF) + "." +
           std::to_string(version & 0xFF);
}

class FtdiDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (Bus.HasBridges)
            GTEST_SKIP() << "USB bridges are attached to this machine";
    }
    TBus Bus = LookAtBus();
};

TEST_F(FtdiDriver, FindsAndOpensNothingAndKnowsItsVersion)
{
    TFtdiBridgeDriver driver;
    std::vector<TBridgeInfo> bridges;
    EXPECT_EQ(driver.Enumerate(bridges), Bus.Reachable);
    EXPECT_TRUE(bridges.empty());
    EXPECT_EQ(driver.Open({"KWTP", "1-1"}), nullptr);
    uint32_t version = 0;
    EXPECT_TRUE(driver.GetLibraryVersion(version));
    // The library's own text, e.g. "1.5", is where the reported number starts.
    EXPECT_EQ(Dotted(version).rfind(ftdi_get_library_version().version_str, 0), 0u)
        << Dotted(version) << " vs " << ftdi_get_library_version().version_str;
}

// The console's own drivers: a bus without bridges and no simulated ones is
// an empty search, not a failed one.
TEST_F(FtdiDriver, ConsoleLayerSearchesEmptyAndCannotOpen)
{
    char pattern[] = "/tmp/varnel-ftdi-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", pattern, 1);
    D2XX_RestoreDefaultDrivers();

    TUSBConnection layer;
    TDevicesIDList list;
    EXPECT_EQ(layer.IOEnumDevices(list), _ok);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(layer.IOConnect(TDeviceID(_usb, "KWTP", 111111, "", "")), _error);
    EXPECT_EQ(layer.USBHandle(), 0u);
    uint32_t version = 0;
    ASSERT_TRUE(TFtdiBridgeDriver().GetLibraryVersion(version));
    EXPECT_EQ(layer.IOGetDriverVersion(),
              QStringLiteral("FTDI dll version: ") + QString::number(version));

    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(pattern);
}

} // namespace
