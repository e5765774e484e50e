// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a program has a bridge's serial port open, read from a sysfs and
// a /proc tree built for the test.
#include "link/SerialPortUse.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class SerialPortUse : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Root =
            fs::temp_directory_path() /
            ("varnel-serial-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Sys());
        fs::create_directories(Proc());
    }
    void TearDown() override { fs::remove_all(Root); }

    std::string Sys() const { return (Root / "sys").string(); }
    std::string Proc() const { return (Root / "proc").string(); }

    // The serial driver's port device under the bridge's first interface.
    void AddTty(const std::string& locator, const std::string& tty, const char* interface = ":1.0")
    {
        fs::create_directories(Root / "sys/bus/usb/devices" / (locator + interface) / tty / "tty" /
                               tty);
    }
    // A process with a descriptor pointing at `target`.
    void AddDescriptor(const std::string& pid, const std::string& fd, const std::string& target)
    {
        fs::create_directories(Root / "proc" / pid / "fd");
        fs::create_symlink(target, Root / "proc" / pid / "fd" / fd);
    }

    fs::path Root;
};

TEST_F(SerialPortUse, HeldOnlyWhenAProcessHasTheInterfacesTtyOpen)
{
    // Processes that hold other things, and /proc entries that are no process.
    AddDescriptor("1", "0", "/dev/null");
    AddDescriptor("1", "1", "socket:[1234]");
    AddDescriptor("77", "3", "/dev/ttyUSB10");
    AddDescriptor("self", "4", "/dev/ttyUSB1");
    fs::create_directories(Root / "proc" / "sys");
    // A bridge without a serial driver, one whose tty is held on another
    // interface only, one that nobody holds, one that is held.
    fs::create_directories(Root / "sys/bus/usb/devices/1-1:1.0");
    AddTty("1-2", "ttyUSB1", ":1.1");
    AddTty("1-3", "ttyUSB2");
    AddTty("1-4.2", "ttyUSB1");
    AddDescriptor("4242", "5", "/dev/ttyUSB1");

    struct Case
    {
        std::string locator;
        std::string held;
    } cases[] = {
        {"1-1", ""}, {"1-2", ""}, {"1-3", ""},   {"1-4.2", "/dev/ttyUSB1"},
        {"1-9", ""}, {"", ""},    {"../..", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HeldSerialPort(Sys(), Proc(), c.locator), c.held) << c.locator;

    // Let go of: the bridge is free.
    fs::remove(Root / "proc/4242/fd/5");
    EXPECT_EQ(HeldSerialPort(Sys(), Proc(), "1-4.2"), "");
}

} // namespace
