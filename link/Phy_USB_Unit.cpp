// Placeholder until the bridge drivers land: every call fails.
#include "Phy_USB_Unit.h"

TConnectionError TUSBConnection::IOEnumDevices(TDevicesIDList&) { return _ok; }
TConnectionError TUSBConnection::IOConnect(const TDeviceID&) { return _error; }
TConnectionError TUSBConnection::IODisconnect() { return _ok; }
TConnectionError TUSBConnection::IOReset() { return _ok; }
TConnectionError TUSBConnection::IOWrite(const uint8_t*, uint32_t& size) { size = 0; return _error; }
TConnectionError TUSBConnection::IORead(uint8_t*, uint32_t& size) { size = 0; return _error; }
TConnectionError TUSBConnection::IOGetReadDataCount(uint32_t& Size) { Size = 0; return _error; }
QString TUSBConnection::IOGetDriverVersion() { return QStringLiteral("FTDI dll version: 0"); }
void TUSBConnection::SetDefaultLatencyTimer() {}
void TUSBConnection::SetHighLatencyTimer() {}
void TUSBConnection::SetLowLatencyTimer() {}
