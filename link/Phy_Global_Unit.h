// SPDX-License-Identifier: GPL-3.0-or-later
// What every physical link shares: status enumerations, the identity of one
// device found on a bus, the owning list of such identities, and the abstract
// physical layer that every link kind implements.
#pragma once

#include "link/BridgeDriver.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

enum TConnectionError
{
    _ok,
    _error
};

enum TConnectionType
{
    _none,
    _usb,
    _bt,
    _simulator
};

// The bridge a layer has open, as the bridge itself names it.
struct TOpenedDevice
{
    QString Description;
    QString SerialNumber; // empty when the bridge reports none

    bool operator==(const TOpenedDevice&) const = default;
};

class TDeviceID
{
public:
    TDeviceID() = default;
    TDeviceID(TConnectionType connectionType, const QString& fullName, int32_t serialNumber,
              const QString& btRadio, const QString& btAddress);

    // Value copy of all five fields; the two objects stay independent.
    void Assign(const TDeviceID& Source);

    TConnectionType connectionType() const { return FconnectionType; }
    void setConnectionType(TConnectionType value) { FconnectionType = value; }
    const QString& fullName() const { return FFullName; }
    void setFullName(const QString& value) { FFullName = value; }
    int32_t serialNumber() const { return FSerialNumber; }
    void setSerialNumber(int32_t value) { FSerialNumber = value; }
    const QString& btRadio() const { return FBTRadio; }
    void setBtRadio(const QString& value) { FBTRadio = value; }
    const QString& btAddress() const { return FBTAddress; }
    void setBtAddress(const QString& value) { FBTAddress = value; }

private:
    TConnectionType FconnectionType = _none;
    QString FFullName;
    int32_t FSerialNumber = 0;
    QString FBTRadio;
    QString FBTAddress;
};

// Ordered list that owns its identities.
class TDevicesIDList
{
public:
    void Add(std::unique_ptr<TDeviceID> item) { FItems.push_back(std::move(item)); }
    void Clear() { FItems.clear(); }
    int Count() const { return static_cast<int>(FItems.size()); }
    const TDeviceID& operator[](int index) const { return *FItems[static_cast<size_t>(index)]; }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

    // Appends the fullName of every identity, in list order; never clears the target.
    void DevicesListToStringList(QStringList& DevicesList) const;

private:
    std::vector<std::unique_ptr<TDeviceID>> FItems;
};

// The abstract physical layer. Destroying a layer does not close a device it
// has open: its owner calls IODisconnect first.
class TPhyLayer
{
public:
    virtual ~TPhyLayer() = default;

    virtual TConnectionError IOEnumDevices(TDevicesIDList& DevicesList) = 0;
    virtual TConnectionError IOConnect(const TDeviceID& DeviceID) = 0;
    virtual TConnectionError IODisconnect() = 0;
    virtual TConnectionError IOReset() = 0;
    virtual TConnectionError IOWrite(const uint8_t* Bufor, uint32_t& size) = 0;
    virtual TConnectionError IORead(uint8_t* Bufor, uint32_t& size) = 0;
    virtual TConnectionError IOGetReadDataCount(uint32_t& Size) = 0;
    virtual QString IOGetDriverVersion() = 0;
    // Devices the last IOEnumDevices or IOConnect found but could not use;
    // a layer that cannot tell reports none.
    virtual std::vector<TBridgeProblem> IOGetProblems() { return {}; }
    // The device the last IOConnect opened, while it is open; a layer that
    // cannot tell reports an empty description.
    virtual TOpenedDevice IOGetOpenedDevice() { return {}; }
    // Errors the open device met on its serial line since it was opened.
    virtual TLineErrors IOGetLineErrors() { return {}; }
};
