// SPDX-License-Identifier: GPL-3.0-or-later
// Thin functions over the bridge drivers, one per bridge operation, named and
// numbered after the vendor interface of the USB-serial bridges. Every function
// returns true on success; a count or value it gives back is 0 on failure. None
// of them throws.
//
// Behind these functions sit the bridge drivers: USB bridges first, then the
// simulated bridges of the current user (see docs/simulated-bridges.md).
// Handles are small non-zero numbers; 0 never names an open bridge.
#pragma once

#include "link/BridgeDriver.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using FT_HANDLE = uint32_t;

inline constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;

// Most bridges the device list holds; bridges past these are not listed.
inline constexpr uint32_t D2XX_MaxDevices = 50;

// One entry of the device list. Only Description is filled in: up to 64 bytes
// of text, zero-padded, with no terminating zero when all 64 are used.
struct FT_DEVICE_LIST_INFO_NODE
{
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    uint32_t ftHandle;
};

// Rebuilds the device list from every driver and gives the number of bridges
// seen. Fails only when no driver could be queried; bridges of a driver whose
// query failed are missing from the list.
bool FT_CreateDeviceInfoList(uint32_t& count);
// Copies the device list built by the last FT_CreateDeviceInfoList into
// `table`. On entry `count` is the number of nodes `table` has room for; on
// return the number filled in.
bool FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* table, uint32_t& count);
// Opens a bridge whose description equals the zero-terminated `arg`: the
// first such bridge of the last device list that opens, else the first of a
// new search. Only FT_OPEN_BY_DESCRIPTION is supported. `handle` is 0 on
// failure. The line settings and purge bits are in link/BridgeDriver.h.
bool FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE& handle);
// Closes the bridge; on failure the handle stays valid.
bool FT_Close(FT_HANDLE handle);
bool FT_CyclePort(FT_HANDLE handle);
bool FT_Purge(FT_HANDLE handle, uint32_t mask);
bool FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate);
bool FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                               uint8_t parity);
bool FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeoutMs, uint32_t writeTimeoutMs);
bool FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latencyMs);
// Number of received bytes waiting; returns at once. A read of that many
// returns at once too. A write queues the bytes and returns at once.
bool FT_GetQueueStatus(FT_HANDLE handle, uint32_t& count);
bool FT_Read(FT_HANDLE handle, void* buffer, uint32_t wanted, uint32_t& got);
bool FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t& written);
// What the bridge behind the handle is: its description as it was opened
// and its serial number (empty when it reports none).
bool FT_GetDeviceInfo(FT_HANDLE handle, std::string& serialNumber, std::string& description);
// Version of the first driver in the set that has a library behind it.
bool FT_GetLibraryVersion(uint32_t& version);

// Bridges the last FT_CreateDeviceInfoList or FT_OpenEx met on a bus but
// could not use: a device the user may not open, or one another program holds.
std::vector<TBridgeProblem> D2XX_GetProblems();

// The errors the bridge met on its serial line since it was opened.
bool D2XX_GetLineErrors(FT_HANDLE handle, TLineErrors& errors);

// Replaces the drivers behind these functions, in enumeration order, and
// forgets the device list. Bridges opened before stay open and usable through
// their handles.
void D2XX_SetDrivers(std::vector<std::shared_ptr<TBridgeDriver>> drivers);
// Goes back to the console's own drivers: USB bridges, then simulated bridges.
void D2XX_RestoreDefaultDrivers();
