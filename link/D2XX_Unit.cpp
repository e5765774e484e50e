// SPDX-License-Identifier: GPL-3.0-or-later
#include "D2XX_Unit.h"

#include "link/FtdiBridgeDriver.h"
#include "link/SocketBridgeDriver.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

// One bridge of the device list: its description as the list shows it, and
// the driver that found it with what that driver needs to open it again.
struct TDeviceNode
{
    char Description[64];
    std::shared_ptr<TBridgeDriver> Driver;
    TBridgeInfo Bridge;
};

// Everything the functions share. The lock guards the tables only; calls
// into a port run outside it, so a read on one thread never holds up a write
// on another.
struct TD2XXState
{
    std::mutex Lock;
    bool DriversSet = false;
    std::vector<std::shared_ptr<TBridgeDriver>> Drivers;
    std::vector<TDeviceNode> Devices;
    std::vector<TBridgeProblem> Problems;
    std::map<FT_HANDLE, std::shared_ptr<TBridgePort>> Ports;
    // The description each open handle was opened by.
    std::map<FT_HANDLE, std::string> Descriptions;
    FT_HANDLE LastHandle = 0;
};

TD2XXState& State()
{
    static TD2XXState state;
    return state;
}

std::vector<std::shared_ptr<TBridgeDriver>> DefaultDrivers()
{
    return {std::make_shared<TFtdiBridgeDriver>(), std::make_shared<TSocketBridgeDriver>()};
}

std::vector<std::shared_ptr<TBridgeDriver>> CurrentDrivers()
{
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    if (!state.DriversSet) {
        state.Drivers = DefaultDrivers();
        state.DriversSet = true;
    }
    return state.Drivers;
}

std::shared_ptr<TBridgePort> FindPort(FT_HANDLE handle)
{
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    const auto it = state.Ports.find(handle);
    return it == state.Ports.end() ? nullptr : it->second;
}

FT_HANDLE AddPort(std::shared_ptr<TBridgePort> port, const std::string& description)
{
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    FT_HANDLE handle = state.LastHandle;
    do
        ++handle;
    while (handle == 0 || state.Ports.count(handle) != 0);
    state.LastHandle = handle;
    state.Ports.emplace(handle, std::move(port));
    state.Descriptions[handle] = description;
    return handle;
}

// Runs one call on the port behind `handle`; false for an unknown handle or
// when the call throws.
template <typename Call> bool OnPort(FT_HANDLE handle, Call call)
{
    try {
        const std::shared_ptr<TBridgePort> port = FindPort(handle);
        return port && call(*port);
    } catch (...) {
        return false;
    }
}

} // namespace

namespace {

// Adds what the driver could not use to `problems`, each once.
void TakeProblems(TBridgeDriver& driver, std::vector<TBridgeProblem>& problems)
{
    for (TBridgeProblem& problem : driver.TakeProblems())
        if (std::find(problems.begin(), problems.end(), problem) == problems.end())
            problems.push_back(std::move(problem));
}

// Asks every driver for its bridges; false when none could be queried.
bool ListDevices(std::vector<TDeviceNode>& devices, uint32_t& seen,
                 std::vector<TBridgeProblem>& problems)
{
    bool answered = false;
    seen = 0;
    for (const auto& driver : CurrentDrivers()) {
        std::vector<TBridgeInfo> bridges;
        const bool enumerated = driver->Enumerate(bridges);
        TakeProblems(*driver, problems);
        if (!enumerated)
            continue;
        answered = true;
        seen += static_cast<uint32_t>(bridges.size());
        for (TBridgeInfo& bridge : bridges) {
            if (devices.size() == D2XX_MaxDevices)
                break;
            TDeviceNode node{};
            std::memcpy(node.Description, bridge.Description.data(),
                        std::min(bridge.Description.size(), sizeof node.Description));
            node.Driver = driver;
            node.Bridge = std::move(bridge);
            devices.push_back(std::move(node));
        }
    }
    return answered;
}

// Opens the first bridge of the list with this description that opens;
// `listed` tells whether the list holds the description at all.
std::unique_ptr<TBridgePort> OpenListed(const std::vector<TDeviceNode>& devices,
                                        const std::string& description, bool& listed,
                                        std::vector<TBridgeProblem>& problems)
{
    listed = false;
    for (const TDeviceNode& node : devices) {
        if (std::string(node.Description, strnlen(node.Description, 64)) != description)
            continue;
        listed = true;
        std::unique_ptr<TBridgePort> port = node.Driver->Open(node.Bridge);
        TakeProblems(*node.Driver, problems);
        if (port)
            return port;
    }
    return nullptr;
}

} // namespace

bool FT_CreateDeviceInfoList(uint32_t& count)
{
    count = 0;
    try {
        uint32_t seen = 0;
        std::vector<TDeviceNode> devices;
        std::vector<TBridgeProblem> problems;
        const bool answered = ListDevices(devices, seen, problems);
        TD2XXState& state = State();
        std::lock_guard lock(state.Lock);
        state.Devices = std::move(devices);
        state.Problems = std::move(problems);
        if (!answered)
            return false;
        count = seen;
        return true;
    } catch (...) {
        return false;
    }
}

bool FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* table, uint32_t& count)
{
    const uint32_t room = count;
    count = 0;
    if (!table)
        return false;
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    const uint32_t filled = std::min(room, static_cast<uint32_t>(state.Devices.size()));
    for (uint32_t i = 0; i < filled; ++i) {
        table[i] = FT_DEVICE_LIST_INFO_NODE{};
        std::memcpy(table[i].Description, state.Devices[i].Description,
                    sizeof table[i].Description);
    }
    count = filled;
    return true;
}

// The bridge is opened through the driver that listed it, as that driver
// found it; only a description missing from the last list makes a new search.
bool FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE& handle)
{
    handle = 0;
    if (!arg || flags != FT_OPEN_BY_DESCRIPTION)
        return false;
    try {
        const std::string description(arg, strnlen(arg, 64));
        std::vector<TDeviceNode> devices;
        {
            TD2XXState& state = State();
            std::lock_guard lock(state.Lock);
            devices = state.Devices;
        }
        bool listed = false;
        std::vector<TBridgeProblem> problems;
        std::unique_ptr<TBridgePort> port = OpenListed(devices, description, listed, problems);
        if (!listed) {
            devices.clear();
            uint32_t seen = 0;
            ListDevices(devices, seen, problems);
            port = OpenListed(devices, description, listed, problems);
        }
        {
            TD2XXState& state = State();
            std::lock_guard lock(state.Lock);
            state.Problems = problems;
        }
        if (port) {
            handle = AddPort(std::move(port), description);
            return true;
        }
    } catch (...) {
    }
    return false;
}

bool FT_Close(FT_HANDLE handle)
{
    if (!OnPort(handle, [](TBridgePort& port) { return port.Close(); }))
        return false;
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    state.Ports.erase(handle);
    state.Descriptions.erase(handle);
    return true;
}

bool FT_CyclePort(FT_HANDLE handle)
{
    return OnPort(handle, [](TBridgePort& port) { return port.CyclePort(); });
}

bool FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    return OnPort(handle, [mask](TBridgePort& port) { return port.Purge(mask); });
}

bool FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    return OnPort(handle, [baudRate](TBridgePort& port) { return port.SetBaudRate(baudRate); });
}

bool FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                               uint8_t parity)
{
    return OnPort(handle, [=](TBridgePort& port) {
        return port.SetDataCharacteristics(wordLength, stopBits, parity);
    });
}

bool FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeoutMs, uint32_t writeTimeoutMs)
{
    return OnPort(
        handle, [=](TBridgePort& port) { return port.SetTimeouts(readTimeoutMs, writeTimeoutMs); });
}

bool FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latencyMs)
{
    return OnPort(handle,
                  [latencyMs](TBridgePort& port) { return port.SetLatencyTimer(latencyMs); });
}

bool FT_GetQueueStatus(FT_HANDLE handle, uint32_t& count)
{
    uint32_t waiting = 0;
    const bool ok = OnPort(handle, [&](TBridgePort& port) { return port.GetQueueStatus(waiting); });
    count = ok ? waiting : 0;
    return ok;
}

bool FT_Read(FT_HANDLE handle, void* buffer, uint32_t wanted, uint32_t& got)
{
    uint32_t read = 0;
    const bool ok = (buffer || wanted == 0) && OnPort(handle, [&](TBridgePort& port) {
                        return port.Read(static_cast<uint8_t*>(buffer), wanted, read);
                    });
    got = ok ? read : 0;
    return ok;
}

bool FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t& written)
{
    uint32_t sent = 0;
    const bool ok = (buffer || size == 0) && OnPort(handle, [&](TBridgePort& port) {
                        return port.Write(static_cast<const uint8_t*>(buffer), size, sent);
                    });
    written = ok ? sent : 0;
    return ok;
}

bool FT_GetDeviceInfo(FT_HANDLE handle, std::string& serialNumber, std::string& description)
{
    serialNumber.clear();
    description.clear();
    std::string serial;
    if (!OnPort(handle, [&](TBridgePort& port) {
            serial = port.SerialNumber();
            return true;
        }))
        return false;
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    const auto it = state.Descriptions.find(handle);
    if (it == state.Descriptions.end())
        return false;
    description = it->second;
    serialNumber = std::move(serial);
    return true;
}

bool D2XX_GetLineErrors(FT_HANDLE handle, TLineErrors& errors)
{
    TLineErrors counted;
    const bool ok = OnPort(handle, [&](TBridgePort& port) {
        counted = port.LineErrors();
        return true;
    });
    errors = ok ? counted : TLineErrors{};
    return ok;
}

bool FT_GetLibraryVersion(uint32_t& version)
{
    version = 0;
    try {
        for (const auto& driver : CurrentDrivers()) {
            uint32_t value = 0;
            if (driver->GetLibraryVersion(value)) {
                version = value;
                return true;
            }
        }
    } catch (...) {
    }
    return false;
}

std::vector<TBridgeProblem> D2XX_GetProblems()
{
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    return state.Problems;
}

void D2XX_SetDrivers(std::vector<std::shared_ptr<TBridgeDriver>> drivers)
{
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    state.Drivers = std::move(drivers);
    state.DriversSet = true;
    state.Devices.clear();
    state.Problems.clear();
}

void D2XX_RestoreDefaultDrivers()
{
    auto drivers = DefaultDrivers();
    TD2XXState& state = State();
    std::lock_guard lock(state.Lock);
    state.Drivers = std::move(drivers);
    state.DriversSet = true;
    state.Devices.clear();
    state.Problems.clear();
}
