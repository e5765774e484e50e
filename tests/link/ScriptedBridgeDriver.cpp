// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScriptedBridgeDriver.h"

#include "link/LinkSignal.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <set>

struct TScriptedBridgeDriver::TState
{
    struct TBridge
    {
        std::string Description;
        bool Present = true;
        bool Open = false;
        std::deque<uint8_t> Received;
        std::vector<uint8_t> Written;
    };

    mutable std::mutex Lock;
    std::vector<TBridge> Bridges;
    std::set<TBridgeCall> Failing;
    std::vector<std::string> Log;
    uint32_t Version = 0x010500;

    // Logs the call and tells whether it is to succeed.
    bool Allow(TBridgeCall call, std::string entry)
    {
        Log.push_back(std::move(entry));
        return Failing.count(call) == 0;
    }
};

namespace {

using TState = TScriptedBridgeDriver::TState;

class TScriptedPort : public TBridgePort
{
public:
    TScriptedPort(std::shared_ptr<TState> state, std::size_t bridge)
        : FState(std::move(state)), FBridge(bridge)
    {
    }

    bool Close() override
    {
        std::lock_guard lock(FState->Lock);
        if (!FState->Allow(_bc_close, Entry("close")))
            return false;
        if (!FClosed)
            FState->Bridges[FBridge].Open = false;
        FClosed = true;
        return true;
    }

    bool SetBaudRate(uint32_t baudRate) override
    {
        return Simple(_bc_baud_rate, "baud " + std::to_string(baudRate));
    }

    bool SetDataCharacteristics(uint8_t wordLength, uint8_t stopBits, uint8_t parity) override
    {
        return Simple(_bc_data_characteristics, "characteristics " + std::to_string(wordLength) +
                                                    " " + std::to_string(stopBits) + " " +
                                                    std::to_string(parity));
    }

    bool SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs) override
    {
        return Simple(_bc_timeouts, "timeouts " + std::to_string(readTimeoutMs) + " " +
                                        std::to_string(writeTimeoutMs));
    }

    bool Purge(uint32_t mask) override
    {
        std::lock_guard lock(FState->Lock);
        if (!Usable(_bc_purge, "purge " + std::to_string(mask)))
            return false;
        if (mask & 1u)
            FState->Bridges[FBridge].Received.clear();
        return true;
    }

    bool SetLatencyTimer(uint8_t latencyMs) override
    {
        return Simple(_bc_latency_timer, "latency " + std::to_string(latencyMs));
    }

    bool GetQueueStatus(uint32_t& count) override
    {
        std::lock_guard lock(FState->Lock);
        count = 0;
        if (!Usable(_bc_queue_status, "queue"))
            return false;
        count = static_cast<uint32_t>(FState->Bridges[FBridge].Received.size());
        return true;
    }

    bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) override
    {
        std::lock_guard lock(FState->Lock);
        got = 0;
        if (!Usable(_bc_read, "read " + std::to_string(wanted)))
            return false;
        auto& received = FState->Bridges[FBridge].Received;
        got = static_cast<uint32_t>(std::min<std::size_t>(wanted, received.size()));
        std::copy_n(received.begin(), got, buffer);
        received.erase(received.begin(), received.begin() + got);
        return true;
    }

    bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) override
    {
        std::lock_guard lock(FState->Lock);
        written = 0;
        if (!Usable(_bc_write, "write " + std::to_string(size)))
            return false;
        auto& sink = FState->Bridges[FBridge].Written;
        sink.insert(sink.end(), buffer, buffer + size);
        written = size;
        return true;
    }

    bool CyclePort() override { return Simple(_bc_cycle_port, "cycle"); }

private:
    std::string Entry(const std::string& text) const
    {
        return std::to_string(FBridge) + ":" + text;
    }

    // Logs the call; true when it is to succeed on a port still in use.
    bool Usable(TBridgeCall call, const std::string& text)
    {
        return FState->Allow(call, Entry(text)) && !FClosed && FState->Bridges[FBridge].Present;
    }

    bool Simple(TBridgeCall call, const std::string& text)
    {
        std::lock_guard lock(FState->Lock);
        return Usable(call, text);
    }

    std::shared_ptr<TState> FState;
    std::size_t FBridge;
    bool FClosed = false;
};

} // namespace

TScriptedBridgeDriver::TScriptedBridgeDriver(std::vector<std::string> descriptions)
    : FState(std::make_shared<TState>())
{
    SetBridges(std::move(descriptions));
}

void TScriptedBridgeDriver::SetBridges(std::vector<std::string> descriptions)
{
    std::lock_guard lock(FState->Lock);
    FState->Bridges.clear();
    for (auto& description : descriptions)
        FState->Bridges.push_back({std::move(description), true, false, {}, {}});
}

void TScriptedBridgeDriver::Fail(TBridgeCall call, bool fail)
{
    std::lock_guard lock(FState->Lock);
    if (fail)
        FState->Failing.insert(call);
    else
        FState->Failing.erase(call);
}

void TScriptedBridgeDriver::Unplug(std::size_t bridge)
{
    {
        std::lock_guard lock(FState->Lock);
        FState->Bridges.at(bridge).Present = false;
    }
    TLinkSignal::Instance().Raise();
}

void TScriptedBridgeDriver::Receive(std::size_t bridge, const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard lock(FState->Lock);
        auto& received = FState->Bridges.at(bridge).Received;
        received.insert(received.end(), bytes.begin(), bytes.end());
    }
    TLinkSignal::Instance().Raise();
}

std::vector<uint8_t> TScriptedBridgeDriver::Written(std::size_t bridge) const
{
    std::lock_guard lock(FState->Lock);
    return FState->Bridges.at(bridge).Written;
}

bool TScriptedBridgeDriver::IsOpen(std::size_t bridge) const
{
    std::lock_guard lock(FState->Lock);
    return FState->Bridges.at(bridge).Open;
}

int TScriptedBridgeDriver::OpenCount() const
{
    std::lock_guard lock(FState->Lock);
    return static_cast<int>(std::count_if(FState->Bridges.begin(), FState->Bridges.end(),
                                          [](const auto& bridge) { return bridge.Open; }));
}

void TScriptedBridgeDriver::SetLibraryVersion(uint32_t version)
{
    std::lock_guard lock(FState->Lock);
    FState->Version = version;
}

std::vector<std::string> TScriptedBridgeDriver::Log() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Log;
}

void TScriptedBridgeDriver::ClearLog()
{
    std::lock_guard lock(FState->Lock);
    FState->Log.clear();
}

bool TScriptedBridgeDriver::Enumerate(std::vector<TBridgeInfo>& bridges)
{
    std::lock_guard lock(FState->Lock);
    if (!FState->Allow(_bc_enumerate, "enumerate"))
        return false;
    for (std::size_t i = 0; i < FState->Bridges.size(); ++i)
        if (FState->Bridges[i].Present)
            bridges.push_back({FState->Bridges[i].Description, std::to_string(i)});
    return true;
}

// The locator is the bridge's number; a bridge that went, or now carries
// another description, is not opened.
std::unique_ptr<TBridgePort> TScriptedBridgeDriver::Open(const TBridgeInfo& info)
{
    std::lock_guard lock(FState->Lock);
    if (!FState->Allow(_bc_open, "open " + info.Description))
        return nullptr;
    for (std::size_t i = 0; i < FState->Bridges.size(); ++i) {
        auto& bridge = FState->Bridges[i];
        if (std::to_string(i) == info.Locator && bridge.Present && !bridge.Open &&
            bridge.Description == info.Description) {
            bridge.Open = true;
            return std::make_unique<TScriptedPort>(FState, i);
        }
    }
    return nullptr;
}

bool TScriptedBridgeDriver::GetLibraryVersion(uint32_t& version)
{
    std::lock_guard lock(FState->Lock);
    version = 0;
    if (!FState->Allow(_bc_library_version, "version"))
        return false;
    version = FState->Version;
    return true;
}
