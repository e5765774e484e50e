// The driver interface under the D2XX functions: a driver lists the bridges it
// can reach by their descriptions and opens one of them as a port. Two drivers
// serve the console (USB bridges and simulated bridges over local sockets);
// tests plug in drivers of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Purge mask bits and line settings use the D2XX values (see D2XX_Unit.h).
//
// Threading: one thread may read (GetQueueStatus, Read) while another writes.
// Every other call waits until a running read or write has finished, so a
// close never pulls the bridge away from under a transfer.
class TBridgePort
{
public:
    virtual ~TBridgePort() = default;

    // Lets go of the bridge. False only when the bridge could not be let go
    // of; the port then still counts as open.
    virtual bool Close() = 0;
    virtual bool SetBaudRate(uint32_t baudRate) = 0;
    virtual bool SetDataCharacteristics(uint8_t wordLength, uint8_t stopBits, uint8_t parity) = 0;
    virtual bool SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs) = 0;
    virtual bool Purge(uint32_t mask) = 0;
    virtual bool SetLatencyTimer(uint8_t latencyMs) = 0;
    // Number of received bytes that a Read returns at once. Also tells
    // whether the bridge still answers.
    virtual bool GetQueueStatus(uint32_t& count) = 0;
    // Reads up to `wanted` bytes into `buffer`; `got` receives the number read.
    virtual bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) = 0;
    virtual bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) = 0;
    // Drops the bridge off the bus so that it enumerates again. The port is
    // closed afterwards by its owner.
    virtual bool CyclePort() = 0;
};

class TBridgeDriver
{
public:
    virtual ~TBridgeDriver() = default;

    // Appends the description of every bridge this driver reaches, in the
    // order of its bus; descriptions are at most 64 bytes. False when the bus
    // cannot be queried.
    virtual bool Enumerate(std::vector<std::string>& descriptions) = 0;
    // Opens a bridge whose description equals `description`; null when none
    // could be opened.
    virtual std::unique_ptr<TBridgePort> Open(const std::string& description) = 0;
    // Version of the library behind the driver; false when it has none.
    virtual bool GetLibraryVersion(uint32_t& version) = 0;
};
