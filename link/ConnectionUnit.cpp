// SPDX-License-Identifier: GPL-3.0-or-later
#include "ConnectionUnit.h"

#include "Phy_USB_Unit.h"

#include <chrono>
#include <thread>

TConnection::TConnection() = default;

// The layer goes first, then the selection and the list; an open device is
// not closed here, the owner disconnects before.
TConnection::~TConnection()
{
    FConnection.reset();
}

void TConnection::GetAvailableDevices(QStringList& DeviceList)
{
    TakeSearchResult(DeviceSearch()(), DeviceList);
}

// A layer of its own for the search, made and dropped on the searching thread.
std::function<TDeviceSearchResult()> TConnection::DeviceSearch() const
{
    return [] {
        TDeviceSearchResult result;
        const std::unique_ptr<TPhyLayer> search = std::make_unique<TUSBConnection>();
        TDevicesIDList found;
        result.Error = search->IOEnumDevices(found);
        result.Problems = search->IOGetProblems();
        for (const auto& device : found) {
            TDeviceID copy;
            copy.Assign(*device);
            result.Devices.push_back(copy);
        }
        return result;
    };
}

void TConnection::TakeSearchResult(const TDeviceSearchResult& result, QStringList& DeviceList)
{
    FDevicesList.Clear();
    for (const TDeviceID& device : result.Devices) {
        auto copy = std::make_unique<TDeviceID>();
        copy->Assign(device);
        FDevicesList.Add(std::move(copy));
    }
    FError = result.Error;
    FProblems = result.Problems;
    FDevicesList.DevicesListToStringList(DeviceList);
}

void TConnection::SetDeviceID(const QString& name)
{
    for (const auto& item : FDevicesList)
        if (item->fullName() == name)
            FSelectedDevice.Assign(*item);
}

namespace {

bool SameDevice(const TDeviceID& a, const TDeviceID& b)
{
    return a.connectionType() == b.connectionType() && a.fullName() == b.fullName() &&
           a.serialNumber() == b.serialNumber() && a.btRadio() == b.btRadio() &&
           a.btAddress() == b.btAddress();
}

} // namespace

// A link that still answers is kept when it leads to the selected device.
// One that leads to another device is closed first: the selection is what
// gets opened, or the result says it could not be.
bool TConnection::Connect()
{
    FKeptOpenLink = false;
    if (FSelectedDevice.fullName().isEmpty())
        return false;
    FProblems.clear();
    if (!FConnection)
        FConnection = std::make_unique<TUSBConnection>();
    FConnected = CheckConnection();
    if (FConnected && SameDevice(FOpenDevice, FSelectedDevice)) {
        FKeptOpenLink = true;
        return true;
    }
    if (FConnected) {
        FError = FConnection->IODisconnect();
        if (FError != _ok)
            return false;
        FConnected = false;
    }
    FError = FConnection->IOConnect(FSelectedDevice);
    FProblems = FConnection->IOGetProblems();
    if (FError == _ok) {
        FOpenDevice.Assign(FSelectedDevice);
        NoteOpened();
        FConnected = true;
        return true;
    }
    FConnected = false;
    return false;
}

bool TConnection::Connect(const TDeviceID& DeviceID)
{
    FSelectedDevice.Assign(DeviceID);
    return Connect();
}

bool TConnection::Reconnect()
{
    if (FSelectedDevice.fullName().isEmpty())
        return false;
    // Without a layer nothing was ever opened, so there is nothing to reset.
    if (!FConnection)
        return false;
    FKeptOpenLink = false;
    FError = FConnection->IOReset();
    if (FError != _ok)
        return false;
    FError = FConnection->IODisconnect();
    if (FError != _ok)
        return false;
    // The device is closed from here on: should it not come back, the link
    // must not go on counting as connected.
    FConnected = false;
    std::this_thread::sleep_for(FReconnectDelay);
    FError = FConnection->IOConnect(FSelectedDevice);
    if (FError != _ok)
        return false;
    FOpenDevice.Assign(FSelectedDevice);
    NoteOpened();
    FConnected = true;
    return true;
}

// A layer that cannot say what it opened opened the selection.
void TConnection::NoteOpened()
{
    FOpenedDevice = FConnection->IOGetOpenedDevice();
    if (FOpenedDevice.Description.isEmpty())
        FOpenedDevice = {FSelectedDevice.fullName(), QString()};
}

TLineErrors TConnection::LineErrors()
{
    return FConnected && FConnection ? FConnection->IOGetLineErrors() : TLineErrors{};
}

bool TConnection::Disconnect()
{
    if (FConnected && FConnection)
        FError = FConnection->IODisconnect();
    else
        FError = _ok;
    if (FError == _ok) {
        FConnected = false;
        return true;
    }
    return false;
}

bool TConnection::CheckConnection()
{
    FError = _error;
    if (FConnection) {
        uint32_t count = 0;
        FError = FConnection->IOGetReadDataCount(count);
    }
    return FError == _ok;
}

bool TConnection::Send(const uint8_t* Bufor, uint32_t& size)
{
    if (FConnected)
        FError = FConnection->IOWrite(Bufor, size);
    else
        FError = _error;
    return FError == _ok;
}

bool TConnection::Read(uint8_t* bufor, uint32_t& size)
{
    if (FConnected) {
        FError = FConnection->IORead(bufor, size);
    } else {
        size = 0;
        FError = _error;
    }
    return FError == _ok;
}

bool TConnection::GetReadDataCount(uint32_t& size)
{
    if (FConnected) {
        FError = FConnection->IOGetReadDataCount(size);
    } else {
        size = 0;
        FError = _error;
    }
    return FError == _ok;
}

QString TConnection::GetDriverVersion()
{
    return FConnection ? FConnection->IOGetDriverVersion() : QString();
}
