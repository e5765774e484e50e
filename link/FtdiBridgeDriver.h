// USB-serial bridges on the USB bus, through libftdi1 (vendor 0x0403, products
// 0x6001, 0x6010, 0x6011, 0x6014 and 0x6015).
#pragma once

#include "link/BridgeDriver.h"

class TFtdiBridgeDriver : public TBridgeDriver
{
public:
    // False also where libusb cannot start (no USB bus in reach). The
    // description is the product string; a bridge whose product string
    // cannot be read or would not name exactly one bridge is left out.
    bool Enumerate(std::vector<TBridgeInfo>& bridges) override;
    std::unique_ptr<TBridgePort> Open(const TBridgeInfo& bridge) override;
    // libftdi's version packed as 0xMMmmuu (major, minor, micro).
    bool GetLibraryVersion(uint32_t& version) override;
};
