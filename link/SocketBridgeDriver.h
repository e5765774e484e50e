// SPDX-License-Identifier: GPL-3.0-or-later
// Simulated bridges: Unix-domain stream sockets of the current user in the
// bridge directory (link/BridgeDirectory.h). The socket's file name without
// ".sock" is the bridge's description; the connection carries the raw serial
// bytes both ways. docs/simulated-bridges.md tells simulator writers the rules.
#pragma once

#include "link/BridgeDriver.h"

class TSocketBridgeDriver : public TBridgeDriver
{
public:
    // Lists the bound stream sockets in name order without connecting to
    // them. Creates the directory when missing; a directory or socket of
    // another user, and a description that would not name exactly one
    // bridge on screen, lists nothing.
    bool Enumerate(std::vector<TBridgeInfo>& bridges) override;
    // Connects to the socket of that bridge; null when refused.
    std::unique_ptr<TBridgePort> Open(const TBridgeInfo& bridge) override;
    // There is no library behind simulated bridges.
    bool GetLibraryVersion(uint32_t& version) override;
};
