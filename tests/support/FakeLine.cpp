// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeLine.h"

#include "link/D2XX_Unit.h"
#include "link/LinkSignal.h"

#include <algorithm>

namespace {

// A port on the fake line: every call goes to the line's shared state.
class TFakePort : public TBridgePort
{
public:
    explicit TFakePort(std::shared_ptr<TFakeLine> line) : FLine(std::move(line)) {}

    bool Close() override
    {
        FLine->Record("Close");
        FLine->SetOpen(false);
        FOpen = false;
        return true;
    }
    bool SetBaudRate(uint32_t) override { return true; }
    bool SetDataCharacteristics(uint8_t, uint8_t, uint8_t) override { return true; }
    bool SetTimeouts(uint32_t, uint32_t) override { return true; }
    bool Purge(uint32_t) override { return true; }
    bool SetLatencyTimer(uint8_t) override { return true; }
    bool GetQueueStatus(uint32_t& count) override
    {
        return FLine->QueryWaiting(FOpen, count) == _ok;
    }
    bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) override
    {
        got = wanted;
        return FLine->Take(FOpen, buffer, got) == _ok;
    }
    bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) override
    {
        written = 0;
        if (!FOpen || FLine->Unplugged())
            return false;
        FLine->Write(buffer, size);
        written = size;
        return true;
    }
    bool CyclePort() override
    {
        FLine->Record("CyclePort");
        return true;
    }

private:
    std::shared_ptr<TFakeLine> FLine;
    bool FOpen = true;
};

// The bridge driver of the line: it lists the line's devices and opens any
// of them unless opening is set to fail.
class TFakeDriver : public TBridgeDriver
{
public:
    explicit TFakeDriver(std::shared_ptr<TFakeLine> line) : FLine(std::move(line)) {}

    bool Enumerate(std::vector<TBridgeInfo>& bridges) override
    {
        FLine->Record("Enumerate");
        for (const QString& name : FLine->Devices())
            bridges.push_back({name.toStdString(), name.toStdString()});
        return true;
    }
    std::unique_ptr<TBridgePort> Open(const TBridgeInfo& bridge) override
    {
        FLine->Record("Open");
        if (FLine->OpenFails() ||
            !FLine->Devices().contains(QString::fromStdString(bridge.Locator)))
            return nullptr;
        FLine->SetOpen(true);
        return std::make_unique<TFakePort>(FLine);
    }
    bool GetLibraryVersion(uint32_t&) override { return false; }

private:
    std::shared_ptr<TFakeLine> FLine;
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
    if (call == "Close")
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

void PlugIn(std::shared_ptr<TFakeLine> line)
{
    D2XX_SetDrivers({std::make_shared<TFakeDriver>(std::move(line))});
}

TFakeConnection::TFakeConnection()
{
    PlugIn(Line);
    Line->SetDevices({QStringLiteral("KWTP Fake line")});
    QStringList devices;
    Connection.GetAvailableDevices(devices);
    Connection.SetDeviceID(QStringLiteral("KWTP Fake line"));
    Connection.Connect();
}
