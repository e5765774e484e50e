// SPDX-License-Identifier: GPL-3.0-or-later
// The physical layer of the controller's bridge: lists the bridges whose
// description carries the controller's tag, opens one by its description,
// configures it as a 38400-baud 8N1 byte stream and moves bytes through it.
#pragma once

#include "Phy_Global_Unit.h"

#include <cstdint>

class TUSBConnection : public TPhyLayer
{
public:
    TUSBConnection() = default;
    ~TUSBConnection() override = default;

    TConnectionError IOEnumDevices(TDevicesIDList& DevicesList) override;
    TConnectionError IOConnect(const TDeviceID& DeviceID) override;
    TConnectionError IODisconnect() override;
    TConnectionError IOReset() override;
    TConnectionError IOWrite(const uint8_t* Bufor, uint32_t& size) override;
    TConnectionError IORead(uint8_t* Bufor, uint32_t& size) override;
    TConnectionError IOGetReadDataCount(uint32_t& Size) override;
    QString IOGetDriverVersion() override;
    std::vector<TBridgeProblem> IOGetProblems() override { return FProblems; }
    TOpenedDevice IOGetOpenedDevice() override { return FOpened; }
    TLineErrors IOGetLineErrors() override;

    void SetDefaultLatencyTimer();
    void SetHighLatencyTimer();
    void SetLowLatencyTimer();

    uint32_t USBHandle() const { return FUSBHandle; }

private:
    uint32_t FUSBHandle = 0;
    std::vector<TBridgeProblem> FProblems;
    TOpenedDevice FOpened;
    void TakeProblems();
};
