// SPDX-License-Identifier: GPL-3.0-or-later
// The one object through which the rest of the console reaches the controller.
#pragma once

#include "Phy_Global_Unit.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// What one search found: the bridges, in list order, and those it could not use.
struct TDeviceSearchResult
{
    TConnectionError Error = _ok;
    std::vector<TDeviceID> Devices;
    std::vector<TBridgeProblem> Problems;
};

class TConnection
{
public:
    // Searches and opens through a TUSBConnection, over the bridge drivers
    // (tests plug in drivers of their own with D2XX_SetDrivers).
    TConnection();
    ~TConnection();

    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    void GetAvailableDevices(QStringList& DeviceList);
    // The same search in two halves, so that the bus can be asked on another
    // thread: the search touches nothing of this object and may run on any
    // thread; its result is then taken on the connection's own thread,
    // which makes it the list SetDeviceID chooses from.
    std::function<TDeviceSearchResult()> DeviceSearch() const;
    void TakeSearchResult(const TDeviceSearchResult& result, QStringList& DeviceList);
    void SetDeviceID(const QString& name);
    // Keeps a link that answers and leads to the selected device; otherwise
    // closes what it holds and opens the selection. Like Disconnect, it may
    // close the device: no reader may be inside Read or GetReadDataCount.
    bool Connect();
    bool Connect(const TDeviceID& DeviceID);
    // The last Connect that worked found the link it held answering and
    // leading to the selection, and kept it: nothing was closed or opened.
    bool KeptOpenLink() const { return FKeptOpenLink; }
    bool Reconnect();
    bool Disconnect();
    bool CheckConnection();
    bool Send(const uint8_t* Bufor, uint32_t& size);
    bool Read(uint8_t* bufor, uint32_t& size);
    bool GetReadDataCount(uint32_t& size);
    QString GetDriverVersion();
    // Devices the last GetAvailableDevices or Connect found on the bus but
    // could not use (no permission, held by another program); none after a
    // connect that worked.
    const std::vector<TBridgeProblem>& Problems() const { return FProblems; }

    const TDeviceID& DeviceID() const { return FSelectedDevice; }
    // The bridge the last connect that worked opened, as it names itself;
    // what the console records, rather than the selected text.
    const TOpenedDevice& OpenedDevice() const { return FOpenedDevice; }
    // Errors on the open bridge's serial line since it was opened; none
    // while not connected.
    TLineErrors LineErrors();
    bool Connected() const { return FConnected.load(); }
    TConnectionError Error() const { return FError.load(); }

    // Milliseconds Reconnect waits for the bridge to come back on the bus.
    static constexpr int ReconnectDelayMs = 4780;
    // Another wait than ReconnectDelayMs; tests shorten it.
    void SetReconnectDelay(std::chrono::milliseconds delay) { FReconnectDelay = delay; }

private:
    std::chrono::milliseconds FReconnectDelay{ReconnectDelayMs};
    std::unique_ptr<TPhyLayer> FConnection;
    TDeviceID FSelectedDevice;
    std::atomic<bool> FConnected{false};
    std::atomic<TConnectionError> FError{_ok};
    TDevicesIDList FDevicesList;
    std::vector<TBridgeProblem> FProblems;
    // The device the layer was last opened to; meaningful while the layer
    // holds an open device.
    TDeviceID FOpenDevice;
    TOpenedDevice FOpenedDevice;
    bool FKeptOpenLink = false;
    void NoteOpened();
};
