// SPDX-License-Identifier: GPL-3.0-or-later
// A bridge driver for tests: presents bridges with given descriptions, can
// fail any kind of call, hands out scripted received bytes, records written
// bytes and keeps a log of every call it was asked to make.
//
// Plug it in with D2XX_SetDrivers({driver}) and put the console's own drivers
// back with D2XX_RestoreDefaultDrivers().
#pragma once

#include "link/BridgeDriver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum TBridgeCall
{
    _bc_enumerate,
    _bc_open,
    _bc_close,
    _bc_baud_rate,
    _bc_data_characteristics,
    _bc_timeouts,
    _bc_purge,
    _bc_latency_timer,
    _bc_queue_status,
    _bc_read,
    _bc_write,
    _bc_cycle_port,
    _bc_library_version
};

class TScriptedBridgeDriver : public TBridgeDriver
{
public:
    explicit TScriptedBridgeDriver(std::vector<std::string> descriptions = {});

    // Bridges are numbered by their position in this list, which is also the
    // order they are enumerated in.
    void SetBridges(std::vector<std::string> descriptions);
    // Makes every call of that kind fail (or succeed again).
    void Fail(TBridgeCall call, bool fail = true);
    // The bridge drops off the bus: it is no longer listed or opened, and
    // every call on a port open to it but Close fails.
    void Unplug(std::size_t bridge);
    // Bytes the bridge receives from its line, waiting to be read.
    void Receive(std::size_t bridge, const std::vector<uint8_t>& bytes);
    // Everything written to the bridge since it was set up.
    std::vector<uint8_t> Written(std::size_t bridge) const;
    bool IsOpen(std::size_t bridge) const;
    int OpenCount() const;
    // The version reported by GetLibraryVersion (0x010500 at first).
    void SetLibraryVersion(uint32_t version);

    // One entry per call, failed ones included: "enumerate", "open <text>",
    // "version", and for calls on a port "<bridge>:<call>": "0:close",
    // "0:baud 38400", "0:characteristics 8 0 0", "0:timeouts 10000 10000",
    // "0:purge 3", "0:latency 16", "0:queue", "0:read 5", "0:write 5",
    // "0:cycle".
    std::vector<std::string> Log() const;
    void ClearLog();

    bool Enumerate(std::vector<TBridgeInfo>& bridges) override;
    std::unique_ptr<TBridgePort> Open(const TBridgeInfo& info) override;
    bool GetLibraryVersion(uint32_t& version) override;

    struct TState;

private:
    std::shared_ptr<TState> FState;
};
