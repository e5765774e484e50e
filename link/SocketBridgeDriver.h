// Simulated bridges: Unix-domain stream sockets of the current user in the
// bridge directory (link/BridgeDirectory.h). The socket's file name without
// ".sock" is the bridge's description; the connection carries the raw serial
// bytes both ways. docs/simulated-bridges.md tells simulator writers the rules.
#pragma once

#include "link/BridgeDriver.h"

class TSocketBridgeDriver : public TBridgeDriver
{
public:
    // Lists the sockets in name order without connecting to them. Creates
    // the directory when missing; a directory or socket of another user
    // lists nothing.
    bool Enumerate(std::vector<std::string>& descriptions) override;
    // Connects to the socket of that description; null when refused.
    std::unique_ptr<TBridgePort> Open(const std::string& description) override;
    // There is no library behind simulated bridges.
    bool GetLibraryVersion(uint32_t& version) override;
};
