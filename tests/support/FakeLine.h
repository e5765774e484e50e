// SPDX-License-Identifier: GPL-3.0-or-later
// An in-memory controller line behind a bridge driver, for the tests: plugged
// in with PlugIn, it is the only bridge driver the link knows. It lists the
// devices it is given, records every byte written and
// every read size asked for, delivers the bytes a test scripts as if the
// controller had sent them, and fails every call on the open device while
// unplugged. The state is shared between the test and the physical layers
// opened on it, and is safe to use from a reader thread.
#pragma once

#include "link/ConnectionUnit.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TFakeLine
{
public:
    // ---- set up by the test
    void SetDevices(const QStringList& descriptions);
    void SetOpenFails(bool fails);
    // An unplugged line fails every call on the open device.
    void SetUnplugged(bool unplugged);
    // Called with every chunk written (for a controller model).
    void SetWriteHook(std::function<void(const uint8_t*, size_t)> hook);

    // ---- bytes from the controller
    // Bytes that become waiting once everything before them has been read:
    // each chunk is one arrival.
    void Arrive(std::vector<uint8_t> chunk);
    // Bytes that join whatever arrived last, waiting together with it.
    void Feed(const std::vector<uint8_t>& bytes);

    // ---- what was done on the line
    std::vector<uint8_t> Written() const;
    void ClearWritten();
    // The sizes asked of every read, in order.
    std::vector<uint32_t> ReadRequests() const;
    // Bytes scripted but not yet read.
    size_t Unread() const;
    // Count queries so far: a new query means the previous pass, scan
    // included, has finished.
    size_t CountQueries() const;
    // Names of the driver and port operations in call order ("Enumerate",
    // "Open", "Close", "CyclePort"), without the reader's polling (queue
    // status, read), which is counted instead. A connect lists the bridges
    // again before it opens one.
    std::vector<std::string> Calls() const;
    int PollCount() const;
    // The poll count when the device was last closed: a reader still polling
    // after the close shows as a later, higher PollCount.
    int PollsAtLastDisconnect() const;
    bool IsOpen() const;

    // ---- used by the driver and its ports
    QStringList Devices() const;
    bool OpenFails() const;
    bool Unplugged() const;
    void Record(const std::string& call);
    void SetOpen(bool open);
    void Write(const uint8_t* bytes, size_t count);
    // A count query on the device, counted as a poll; fails unless the
    // device is open and plugged in.
    TConnectionError QueryWaiting(bool open, uint32_t& size);
    // A read of at most size bytes, counted as a poll and recorded; fails
    // unless the device is open and plugged in.
    TConnectionError Take(bool open, uint8_t* out, uint32_t& size);

private:
    mutable std::mutex FLock;
    QStringList FDevices;
    bool FOpenFails = false;
    bool FUnplugged = false;
    bool FOpen = false;
    int FPolls = 0;
    int FPollsAtDisconnect = -1;
    size_t FCountQueries = 0;
    std::function<void(const uint8_t*, size_t)> FWriteHook;
    std::deque<std::vector<uint8_t>> FChunks;
    std::vector<uint8_t> FWaiting;
    std::vector<uint8_t> FWritten;
    std::vector<uint32_t> FReadRequests;
    std::vector<std::string> FCalls;
};

// Makes the line's driver the link's only bridge driver (D2XX_SetDrivers),
// until the next call or D2XX_RestoreDefaultDrivers.
void PlugIn(std::shared_ptr<TFakeLine> line);

// A connection over a fake line with one device, plugged in and connected.
struct TFakeConnection
{
    TFakeConnection();

    std::shared_ptr<TFakeLine> Line = std::make_shared<TFakeLine>();
    TConnection Connection;
};
