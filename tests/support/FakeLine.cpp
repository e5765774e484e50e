// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeLine.h"

#include "link/LinkSignal.h"

#include <algorithm>

namespace {

class TFakePhyLayer : public TPhyLayer
{
public:
    explicit TFakePhyLayer(std::shared_ptr<TFakeLine> line) : FLine(std::move(line)) {}

    TConnectionError IOEnumDevices(TDevicesIDList& DevicesList) override
    {
        FLine->Record("IOEnumDevices");
        for (const QString& name : FLine->Devices())
            DevicesList.Add(std::make_unique<TDeviceID>(_usb, name, 111111, QString(), QString()));
        return _ok;
    }
    TConnectionError IOConnect(const TDeviceID& DeviceID) override
    {
        FLine->Record("IOConnect");
        if (FLine->OpenFails() || !FLine->Devices().contains(DeviceID.fullName()))
            return _error;
        FLine->SetOpen(true);
        FOpen = true;
        return _ok;
    }
    TConnectionError IODisconnect() override
    {
        FLine->Record("IODisconnect");
        FLine->SetOpen(false);
        FOpen = false;
        return _ok;
    }
    TConnectionError IOReset() override
    {
        FLine->Record("IOReset");
        return _ok;
    }
    TConnectionError IOWrite(const uint8_t* Bufor, uint32_t& size) override
    {
        if (!FOpen || FLine->Unplugged()) {
            size = 0;
            return _error;
        }
        FLine->Write(Bufor, size);
        return _ok;
    }
    TConnectionError IORead(uint8_t* Bufor, uint32_t& size) override
    {
        return FLine->Take(FOpen, Bufor, size);
    }
    TConnectionError IOGetReadDataCount(uint32_t& Size) override
    {
        return FLine->QueryWaiting(FOpen, Size);
    }
    QString IOGetDriverVersion() override { return QStringLiteral("FTDI dll version: 0"); }

private:
    std::shared_ptr<TFakeLine> FLine;
    bool FOpen = false;
};

} // namespace

void TFakeLine::SetDevices(const QStringList& descriptions)
{
    std::lock_guard lock(FLock);
    FDevices = descriptions;
}

void TFakeLine::SetOpenFails(bool fails)
{
    std::lock_guard lock(FLock);
    FOpenFails = fails;
}

void TFakeLine::SetUnplugged(bool unplugged)
{
    {
        std::lock_guard lock(FLock);
        FUnplugged = unplugged;
    }
    TLinkSignal::Instance().Raise();
}

void TFakeLine::SetWriteHook(std::function<void(const uint8_t*, size_t)> hook)
{
    std::lock_guard lock(FLock);
    FWriteHook = std::move(hook);
}

void TFakeLine::Arrive(std::vector<uint8_t> chunk)
{
    {
        std::lock_guard lock(FLock);
        FChunks.push_back(std::move(chunk));
    }
    TLinkSignal::Instance().Raise();
}

void TFakeLine::Feed(const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard lock(FLock);
        std::vector<uint8_t>& last = FChunks.empty() ? FWaiting : FChunks.back();
        last.insert(last.end(), bytes.begin(), bytes.end());
    }
    TLinkSignal::Instance().Raise();
}

std::vector<uint8_t> TFakeLine::Written() const
{
    std::lock_guard lock(FLock);
    return FWritten;
}

void TFakeLine::ClearWritten()
{
    std::lock_guard lock(FLock);
    FWritten.clear();
}

std::vector<uint32_t> TFakeLine::ReadRequests() const
{
    std::lock_guard lock(FLock);
    return FReadRequests;
}

size_t TFakeLine::Unread() const
{
    std::lock_guard lock(FLock);
    size_t count = FWaiting.size();
    for (const auto& chunk : FChunks)
        count += chunk.size();
    return count;
}

size_t TFakeLine::CountQueries() const
{
    std::lock_guard lock(FLock);
    return FCountQueries;
}

std::vector<std::string> TFakeLine::Calls() const
{
    std::lock_guard lock(FLock);
    return FCalls;
}

int TFakeLine::PollCount() const
{
    std::lock_guard lock(FLock);
    return FPolls;
}

int TFakeLine::PollsAtLastDisconnect() const
{
    std::lock_guard lock(FLock);
    return FPollsAtDisconnect;
}

bool TFakeLine::IsOpen() const
{
    std::lock_guard lock(FLock);
    return FOpen;
}

QStringList TFakeLine::Devices() const
{
    std::lock_guard lock(FLock);
    return FDevices;
}

bool TFakeLine::OpenFails() const
{
    std::lock_guard lock(FLock);
    return FOpenFails;
}

bool TFakeLine::Unplugged() const
{
    std::lock_guard lock(FLock);
    return FUnplugged;
}

void TFakeLine::Record(const std::string& call)
{
    std::lock_guard lock(FLock);
    FCalls.push_back(call);
    if (call == "IODisconnect")
        FPollsAtDisconnect = FPolls;
}

void TFakeLine::SetOpen(bool open)
{
    std::lock_guard lock(FLock);
    FOpen = open;
}

void TFakeLine::Write(const uint8_t* bytes, size_t count)
{
    std::function<void(const uint8_t*, size_t)> hook;
    {
        std::lock_guard lock(FLock);
        FWritten.insert(FWritten.end(), bytes, bytes + count);
        hook = FWriteHook;
    }
    if (hook)
        hook(bytes, count);
}

TConnectionError TFakeLine::QueryWaiting(bool open, uint32_t& size)
{
    std::lock_guard lock(FLock);
    ++FPolls;
    ++FCountQueries;
    if (!open || FUnplugged) {
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

TConnectionError TFakeLine::Take(bool open, uint8_t* out, uint32_t& size)
{
    std::lock_guard lock(FLock);
    ++FPolls;
    FReadRequests.push_back(size);
    if (!open || FUnplugged) {
        size = 0;
        return _error;
    }
    const uint32_t count = std::min<uint32_t>(size, static_cast<uint32_t>(FWaiting.size()));
    std::copy_n(FWaiting.begin(), count, out);
    FWaiting.erase(FWaiting.begin(), FWaiting.begin() + count);
    size = count;
    return _ok;
}

TConnection::TPhyLayerFactory FakeLineFactory(std::shared_ptr<TFakeLine> line)
{
    return [line] { return std::unique_ptr<TPhyLayer>(std::make_unique<TFakePhyLayer>(line)); };
}

TFakeConnection::TFakeConnection() : Connection(FakeLineFactory(Line))
{
    Line->SetDevices({QStringLiteral("Fake line")});
    QStringList devices;
    Connection.GetAvailableDevices(devices);
    Connection.SetDeviceID(QStringLiteral("Fake line"));
    Connection.Connect();
}
