// SPDX-License-Identifier: GPL-3.0-or-later
#include "Phy_Global_Unit.h"

TDeviceID::TDeviceID(TConnectionType connectionType, const QString& fullName, int32_t serialNumber,
                     const QString& btRadio, const QString& btAddress)
    : FconnectionType(connectionType), FFullName(fullName), FSerialNumber(serialNumber),
      FBTRadio(btRadio), FBTAddress(btAddress)
{
}

void TDeviceID::Assign(const TDeviceID& Source)
{
    if (&Source == this)
        return;
    FconnectionType = Source.FconnectionType;
    FFullName = Source.FFullName;
    FSerialNumber = Source.FSerialNumber;
    FBTRadio = Source.FBTRadio;
    FBTAddress = Source.FBTAddress;
}

void TDevicesIDList::DevicesListToStringList(QStringList& DevicesList) const
{
    for (const auto& item : FItems)
        DevicesList.append(item->fullName());
}
