#include "FakeLine.h"

#include "link/LinkSignal.h"

#include <algorithm>
#include <cstring>

void TFakeLine::Arrive(std::vector<uint8_t> chunk)
{
    {
        std::lock_guard guard(FLock);
        FChunks.push_back(std::move(chunk));
    }
    TLinkSignal::Instance().Raise();
}

void TFakeLine::SetFailing(bool failing)
{
    {
        std::lock_guard guard(FLock);
        FFailing = failing;
    }
    TLinkSignal::Instance().Raise();
}

std::vector<uint8_t> TFakeLine::Sent() const
{
    std::lock_guard guard(FLock);
    return FSent;
}

std::vector<uint32_t> TFakeLine::ReadRequests() const
{
    std::lock_guard guard(FLock);
    return FReadRequests;
}

std::size_t TFakeLine::Unread() const
{
    std::lock_guard guard(FLock);
    std::size_t count = FWaiting.size();
    for (const auto& chunk : FChunks)
        count += chunk.size();
    return count;
}

std::size_t TFakeLine::CountQueries() const
{
    std::lock_guard guard(FLock);
    return FCountQueries;
}

TConnectionError TFakeLine::GetReadDataCount(uint32_t& size)
{
    std::lock_guard guard(FLock);
    ++FCountQueries;
    if (FFailing) {
        size = 0;
        return _error;
    }
    if (FWaiting.empty() && !FChunks.empty()) {
        FWaiting = std::move(FChunks.front());
        FChunks.pop_front();
    }
    size = static_cast<uint32_t>(FWaiting.size());
    return _ok;
}

TConnectionError TFakeLine::Read(uint8_t* buffer, uint32_t& size)
{
    std::lock_guard guard(FLock);
    FReadRequests.push_back(size);
    if (FFailing) {
        size = 0;
        return _error;
    }
    const uint32_t count = std::min<uint32_t>(size, static_cast<uint32_t>(FWaiting.size()));
    std::memcpy(buffer, FWaiting.data(), count);
    FWaiting.erase(FWaiting.begin(), FWaiting.begin() + count);
    size = count;
    return _ok;
}

TConnectionError TFakeLine::Write(const uint8_t* buffer, uint32_t& size)
{
    std::lock_guard guard(FLock);
    FSent.insert(FSent.end(), buffer, buffer + size);
    return _ok;
}

TConnectionError TFakePhyLayer::IOEnumDevices(TDevicesIDList& DevicesList)
{
    DevicesList.Add(
        std::make_unique<TDeviceID>(_usb, QStringLiteral("Fake line"), 1, QString(), QString()));
    return _ok;
}

TFakeConnection::TFakeConnection()
    : Connection([line = Line] { return std::make_unique<TFakePhyLayer>(line); })
{
    QStringList devices;
    Connection.GetAvailableDevices(devices);
    Connection.SetDeviceID(QStringLiteral("Fake line"));
    Connection.Connect();
}
