// SPDX-License-Identifier: GPL-3.0-or-later
// The driver interface under the D2XX functions: a driver lists the bridges it
// can reach and opens one of those it listed as a port. Two drivers serve the
// console (USB bridges and simulated bridges over local sockets); tests plug
// in drivers of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Line settings and purge mask bits, with the values of the bridges' vendor
// interface.
inline constexpr uint8_t FT_BITS_8 = 8;
inline constexpr uint8_t FT_BITS_7 = 7;
inline constexpr uint8_t FT_STOP_BITS_1 = 0;
inline constexpr uint8_t FT_STOP_BITS_2 = 2;
inline constexpr uint8_t FT_PARITY_NONE = 0;
inline constexpr uint8_t FT_PARITY_ODD = 1;
inline constexpr uint8_t FT_PARITY_EVEN = 2;
inline constexpr uint8_t FT_PARITY_MARK = 3;
inline constexpr uint8_t FT_PARITY_SPACE = 4;

inline constexpr uint32_t FT_PURGE_RX = 1;
inline constexpr uint32_t FT_PURGE_TX = 2;

// Bytes a port holds for sending. A write that does not fit means the bridge
// has stopped taking bytes: the port counts as lost.
inline constexpr std::size_t SendQueueLimit = 4096;
// A port that has bytes to send and gets none of them out for this long
// counts as lost.
inline constexpr std::chrono::milliseconds SendStallLimit{1000};

// Whether a description names exactly one bridge when shown to the operator:
// 1 to 64 bytes of valid UTF-8 without control characters (C0, DEL, C1) and
// without the characters that reorder text around them (bidirectional marks,
// embeddings, overrides and isolates).
bool DistinctDescription(const std::string& description);

// One bridge a driver found: the description shown to the operator and
// whatever the driver needs to find that same bridge again (for USB the bus
// and port path, for a simulated bridge its socket). The locator is the
// driver's own business; nobody else reads it.
struct TBridgeInfo
{
    std::string Description;
    std::string Locator;
};

// Why a bridge on the bus could not be used.
enum TBridgeProblemKind
{
    _bp_no_access, // the user may not open its device
    _bp_busy       // another program holds it
};

struct TBridgeProblem
{
    TBridgeProblemKind Kind;
    // Where it is plugged in, as the driver names it (USB: its device node).
    std::string Where;
    bool operator==(const TBridgeProblem&) const = default;
};

// Errors the bridge met on its serial line since it was opened, per kind,
// as the bridge reports them (USB: the line status byte of each packet).
struct TLineErrors
{
    uint64_t Overrun = 0; // bytes lost because the bridge's buffer was full
    uint64_t Parity = 0;
    uint64_t Framing = 0;
    uint64_t Break = 0;

    uint64_t Total() const { return Overrun + Parity + Framing + Break; }
    bool operator==(const TLineErrors&) const = default;
};

// Reads and writes never wait for the wire. Received bytes are queued by the
// port as they arrive; GetQueueStatus and Read take from that queue. Written
// bytes go into a send queue of at most SendQueueLimit bytes that the port
// drains toward the bridge. A port whose send queue overflows, or that gets
// no byte out for SendStallLimit, or whose bridge has gone, fails from then
// on (a simulated bridge hands out what its simulator sent before it hung
// up first).
// A port raises the link signal (link/LinkSignal.h) when bytes arrive or it
// fails, or lets the signal watch a descriptor that turns readable then.
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
    // Takes up to `wanted` received bytes into `buffer`; `got` receives the
    // number taken.
    virtual bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) = 0;
    // Queues the bytes for sending; `written` is `size` when they fit.
    virtual bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) = 0;
    // Drops the bridge off the bus so that it enumerates again. The port is
    // closed afterwards by its owner.
    virtual bool CyclePort() = 0;
    // Line errors since the open; a bridge that cannot tell reports none.
    virtual TLineErrors LineErrors() { return {}; }
    // The bridge's serial number as it reports it; empty when it has none.
    virtual std::string SerialNumber() { return {}; }
};

class TBridgeDriver
{
public:
    virtual ~TBridgeDriver() = default;

    // Appends every bridge this driver reaches, in the order of its bus;
    // descriptions are at most 64 bytes. False when the bus cannot be
    // queried.
    virtual bool Enumerate(std::vector<TBridgeInfo>& bridges) = 0;
    // Opens a bridge this driver listed, found again by its locator; null
    // when it is gone, carries another description now, or cannot be opened.
    virtual std::unique_ptr<TBridgePort> Open(const TBridgeInfo& bridge) = 0;
    // Bridges that Enumerate or Open met since the last call but could not
    // use, each once; a driver without such trouble reports none.
    virtual std::vector<TBridgeProblem> TakeProblems() { return {}; }
    // Version of the library behind the driver; false when it has none.
    virtual bool GetLibraryVersion(uint32_t& version) = 0;
};
