// SPDX-License-Identifier: GPL-3.0-or-later
#include "Phy_USB_Unit.h"

#include "link/D2XX_Unit.h"
#include "link/LinkLog.h"

#include <array>
#include <cstring>

namespace {

// The controller's bridge carries this tag somewhere in its description.
const QString ControllerTag = QStringLiteral("KWTP");
constexpr int32_t EnumeratedSerialNumber = 111111;
constexpr uint32_t BaudRate = 38400;
constexpr uint32_t ReadTimeoutMs = 10000;
constexpr uint32_t WriteTimeoutMs = 10000;
constexpr uint8_t DefaultLatencyMs = 16;
constexpr uint8_t HighLatencyMs = 20;
constexpr uint8_t LowLatencyMs = 5;

using TDeviceTable = std::array<FT_DEVICE_LIST_INFO_NODE, D2XX_MaxDevices>;

// The description ends at its first zero byte or after all 64 bytes.
QString DescriptionText(const FT_DEVICE_LIST_INFO_NODE& node)
{
    return QString::fromLocal8Bit(node.Description,
                                  static_cast<qsizetype>(strnlen(node.Description, 64)));
}

// Fills the table with the current devices; gives the number of nodes, 0 when
// there are none or the query failed.
uint32_t ReadDeviceTable(TDeviceTable& table)
{
    uint32_t count = table.size();
    return FT_GetDeviceInfoList(table.data(), count) ? count : 0;
}

} // namespace

// The problems of the D2XX call just made.
void TUSBConnection::TakeProblems()
{
    FProblems = D2XX_GetProblems();
}

TConnectionError TUSBConnection::IOEnumDevices(TDevicesIDList& DevicesList)
{
    try {
        uint32_t devices = 0;
        const bool listed = FT_CreateDeviceInfoList(devices);
        TakeProblems();
        if (!listed)
            return _error;
        if (devices == 0)
            return _ok;
        TDeviceTable table{};
        const uint32_t nodes = ReadDeviceTable(table);
        for (uint32_t i = 0; i < nodes; ++i) {
            const QString description = DescriptionText(table[i]);
            if (description.contains(ControllerTag, Qt::CaseSensitive))
                DevicesList.Add(std::make_unique<TDeviceID>(
                    _usb, description, EnumeratedSerialNumber, QString(), QString()));
        }
        return _ok;
    } catch (...) {
        return _error;
    }
}

// Opens exactly one bridge: the first whose description equals the name. A
// bridge whose description merely contains the name, or starts with it, is
// another bridge: with no exact match nothing is opened. A handle still held (one the
// connection manager found no longer answering) is closed first, and a bridge
// that cannot be configured is closed again, so no handle is ever left behind
// and a half-configured line is never taken for a working one.
TConnectionError TUSBConnection::IOConnect(const TDeviceID& DeviceID)
{
    try {
        FProblems.clear();
        if (IODisconnect() != _ok)
            return _error;
        const QString name = DeviceID.fullName();
        if (name.isEmpty())
            return _error;
        uint32_t devices = 0;
        const bool listed = FT_CreateDeviceInfoList(devices);
        TakeProblems();
        if (!listed || devices == 0)
            return _error;
        TDeviceTable table{};
        const uint32_t nodes = ReadDeviceTable(table);
        const FT_DEVICE_LIST_INFO_NODE* chosen = nullptr;
        for (uint32_t i = 0; i < nodes && !chosen; ++i)
            if (DescriptionText(table[i]) == name)
                chosen = &table[i];
        if (!chosen)
            return _error;

        char description[sizeof chosen->Description + 1] = {};
        std::memcpy(description, chosen->Description, sizeof chosen->Description);
        const bool opened = FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, FUSBHandle);
        TakeProblems();
        if (!opened)
            return _error;
        const bool configured =
            FT_SetBaudRate(FUSBHandle, BaudRate) &&
            FT_SetDataCharacteristics(FUSBHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) &&
            FT_SetTimeouts(FUSBHandle, ReadTimeoutMs, WriteTimeoutMs) &&
            FT_Purge(FUSBHandle, FT_PURGE_RX | FT_PURGE_TX);
        SetDefaultLatencyTimer();
        if (configured) {
            std::string serialNumber, openedDescription;
            FT_GetDeviceInfo(FUSBHandle, serialNumber, openedDescription);
            FOpened = {QString::fromStdString(openedDescription),
                       QString::fromStdString(serialNumber)};
            qCInfo(VarnelLinkLog).noquote()
                << "Bridge" << name << "configured: 38400 baud, 8N1, latency timer"
                << DefaultLatencyMs << "ms";
            return _ok;
        }
        qCWarning(VarnelLinkLog).noquote() << "Bridge" << name << "refused its line settings";
        IODisconnect();
        return _error;
    } catch (...) {
        return _error;
    }
}

TConnectionError TUSBConnection::IODisconnect()
{
    if (FUSBHandle == 0)
        return _ok;
    if (!FT_Close(FUSBHandle))
        return _error;
    FUSBHandle = 0;
    FOpened = {};
    return _ok;
}

TLineErrors TUSBConnection::IOGetLineErrors()
{
    TLineErrors errors;
    D2XX_GetLineErrors(FUSBHandle, errors);
    return errors;
}

TConnectionError TUSBConnection::IOReset()
{
    if (FUSBHandle == 0)
        return _ok;
    return FT_CyclePort(FUSBHandle) ? _ok : _error;
}

TConnectionError TUSBConnection::IOWrite(const uint8_t* Bufor, uint32_t& size)
{
    uint32_t written = 0;
    const bool ok = FT_Write(FUSBHandle, Bufor, size, written);
    size = written;
    return ok ? _ok : _error;
}

TConnectionError TUSBConnection::IORead(uint8_t* Bufor, uint32_t& size)
{
    uint32_t read = 0;
    const bool ok = FT_Read(FUSBHandle, Bufor, size, read);
    size = read;
    return ok ? _ok : _error;
}

TConnectionError TUSBConnection::IOGetReadDataCount(uint32_t& Size)
{
    return FT_GetQueueStatus(FUSBHandle, Size) ? _ok : _error;
}

// The number is the library's version word: for the USB bridges libftdi's
// major, minor and micro version packed as 0xMMmmuu; 0 when the query fails.
QString TUSBConnection::IOGetDriverVersion()
{
    uint32_t version = 0;
    FT_GetLibraryVersion(version);
    return QStringLiteral("FTDI dll version: ") + QString::number(version);
}

void TUSBConnection::SetDefaultLatencyTimer()
{
    FT_SetLatencyTimer(FUSBHandle, DefaultLatencyMs);
}

void TUSBConnection::SetHighLatencyTimer()
{
    FT_SetLatencyTimer(FUSBHandle, HighLatencyMs);
}

void TUSBConnection::SetLowLatencyTimer()
{
    FT_SetLatencyTimer(FUSBHandle, LowLatencyMs);
}
