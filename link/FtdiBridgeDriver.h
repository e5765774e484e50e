// SPDX-License-Identifier: GPL-3.0-or-later
// USB-serial bridges on the USB bus, through libftdi1 (vendor 0x0403, products
// 0x6001, 0x6010, 0x6011, 0x6014 and 0x6015).
#pragma once

#include "link/BridgeDriver.h"

#include <mutex>
#include <string>
#include <utility>

class TFtdiBridgeDriver : public TBridgeDriver
{
public:
    // Where sysfs and /proc are; other roots only for tests.
    explicit TFtdiBridgeDriver(std::string sysRoot = "/sys", std::string procRoot = "/proc")
        : FSysRoot(std::move(sysRoot)), FProcRoot(std::move(procRoot))
    {
    }

    // False also where libusb cannot start (no USB bus in reach). The
    // description is the product string; a bridge whose product string
    // cannot be read or would not name exactly one bridge is left out; one
    // the user may not open is a problem too (TakeProblems).
    bool Enumerate(std::vector<TBridgeInfo>& bridges) override;
    // A bridge that fails to open because the user may not open its device
    // or another program holds it is a problem (TakeProblems). A program
    // holds it also when it has the bridge's serial port (/dev/ttyUSB*)
    // open: the kernel's serial driver is detached only when nobody does.
    std::unique_ptr<TBridgePort> Open(const TBridgeInfo& bridge) override;
    std::vector<TBridgeProblem> TakeProblems() override;
    // libftdi's version packed as 0xMMmmuu (major, minor, micro).
    bool GetLibraryVersion(uint32_t& version) override;

private:
    void NoteProblem(int libusbError, const std::string& where);

    const std::string FSysRoot;
    const std::string FProcRoot;
    std::mutex FProblemLock;
    std::vector<TBridgeProblem> FProblems;
};
