#include "ConsoleTestSupport.h"

#include "link/LinkSignal.h"

#include <algorithm>

namespace {

class TFakePhyLayer : public TPhyLayer
{
public:
    explicit TFakePhyLayer(std::shared_ptr<TFakeBridge> bridge) : FBridge(std::move(bridge)) {}

    TConnectionError IOEnumDevices(TDevicesIDList& DevicesList) override
    {
        FBridge->Record("IOEnumDevices");
        for (const QString& name : FBridge->Devices())
            DevicesList.Add(std::make_unique<TDeviceID>(_usb, name, 111111, QString(), QString()));
        return _ok;
    }
    TConnectionError IOConnect(const TDeviceID& DeviceID) override
    {
        FBridge->Record("IOConnect");
        if (FBridge->OpenFails() || !FBridge->Devices().contains(DeviceID.fullName()))
            return _error;
        FBridge->SetOpen(true);
        FOpen = true;
        return _ok;
    }
    TConnectionError IODisconnect() override
    {
        FBridge->Record("IODisconnect");
        FBridge->SetOpen(false);
        FOpen = false;
        return _ok;
    }
    TConnectionError IOReset() override
    {
        FBridge->Record("IOReset");
        return _ok;
    }
    TConnectionError IOWrite(const uint8_t* Bufor, uint32_t& size) override
    {
        if (!FOpen || FBridge->Unplugged()) {
            size = 0;
            return _error;
        }
        FBridge->Write(Bufor, size);
        return _ok;
    }
    TConnectionError IORead(uint8_t* Bufor, uint32_t& size) override
    {
        FBridge->CountPoll();
        if (!FOpen || FBridge->Unplugged()) {
            size = 0;
            return _error;
        }
        size = static_cast<uint32_t>(FBridge->Take(Bufor, size));
        return _ok;
    }
    TConnectionError IOGetReadDataCount(uint32_t& Size) override
    {
        FBridge->CountPoll();
        if (!FOpen || FBridge->Unplugged()) {
            Size = 0;
            return _error;
        }
        Size = static_cast<uint32_t>(FBridge->Waiting());
        return _ok;
    }
    QString IOGetDriverVersion() override { return QStringLiteral("FTDI dll version: 0"); }

private:
    std::shared_ptr<TFakeBridge> FBridge;
    bool FOpen = false;
};

} // namespace

void TFakeBridge::SetDevices(const QStringList& descriptions)
{
    std::lock_guard lock(FLock);
    FDevices = descriptions;
}

void TFakeBridge::SetOpenFails(bool fails)
{
    std::lock_guard lock(FLock);
    FOpenFails = fails;
}

void TFakeBridge::SetUnplugged(bool unplugged)
{
    {
        std::lock_guard lock(FLock);
        FUnplugged = unplugged;
    }
    TLinkSignal::Instance().Raise();
}

void TFakeBridge::SetWriteHook(std::function<void(const uint8_t*, size_t)> hook)
{
    std::lock_guard lock(FLock);
    FWriteHook = std::move(hook);
}

void TFakeBridge::Feed(const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard lock(FLock);
        FIncoming.insert(FIncoming.end(), bytes.begin(), bytes.end());
    }
    TLinkSignal::Instance().Raise();
}

std::vector<uint8_t> TFakeBridge::Written() const
{
    std::lock_guard lock(FLock);
    return FWritten;
}

void TFakeBridge::ClearWritten()
{
    std::lock_guard lock(FLock);
    FWritten.clear();
}

std::vector<std::string> TFakeBridge::Calls() const
{
    std::lock_guard lock(FLock);
    return FCalls;
}

int TFakeBridge::PollCount() const
{
    std::lock_guard lock(FLock);
    return FPolls;
}

bool TFakeBridge::IsOpen() const
{
    std::lock_guard lock(FLock);
    return FOpen;
}

QStringList TFakeBridge::Devices() const
{
    std::lock_guard lock(FLock);
    return FDevices;
}

bool TFakeBridge::OpenFails() const
{
    std::lock_guard lock(FLock);
    return FOpenFails;
}

bool TFakeBridge::Unplugged() const
{
    std::lock_guard lock(FLock);
    return FUnplugged;
}

void TFakeBridge::Record(const std::string& call)
{
    std::lock_guard lock(FLock);
    FCalls.push_back(call);
    if (call == "IODisconnect")
        FPollsAtDisconnect = FPolls;
}

int TFakeBridge::PollsAtLastDisconnect() const
{
    std::lock_guard lock(FLock);
    return FPollsAtDisconnect;
}

void TFakeBridge::CountPoll()
{
    std::lock_guard lock(FLock);
    ++FPolls;
}

void TFakeBridge::SetOpen(bool open)
{
    std::lock_guard lock(FLock);
    FOpen = open;
}

void TFakeBridge::Write(const uint8_t* bytes, size_t count)
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

size_t TFakeBridge::Waiting() const
{
    std::lock_guard lock(FLock);
    return FIncoming.size();
}

size_t TFakeBridge::Take(uint8_t* out, size_t max)
{
    std::lock_guard lock(FLock);
    const size_t count = std::min(max, FIncoming.size());
    std::copy_n(FIncoming.begin(), count, out);
    FIncoming.erase(FIncoming.begin(), FIncoming.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

TModelLine::TModelLine(TFakeBridge& bridge, VarnelSim::TControllerModel& model, int periodMs)
    : FBridge(bridge)
{
    FBridge.SetWriteHook([&model](const uint8_t* bytes, size_t count) {
        if (!model.IsConnected())
            model.Connect(VarnelSim::TClock::now());
        model.Receive(bytes, count);
    });
    QObject::connect(&FLine, &QTimer::timeout, [this, &model] {
        model.AdvanceTo(VarnelSim::TClock::now());
        if (model.PendingOutput() > 0)
            FBridge.Feed(model.TakeOutput());
    });
    FLine.start(periodMs);
}

TModelLine::~TModelLine()
{
    FLine.stop();
    FBridge.SetWriteHook({});
}

TConnection::TPhyLayerFactory FakeBridgeFactory(std::shared_ptr<TFakeBridge> bridge)
{
    return [bridge] { return std::unique_ptr<TPhyLayer>(std::make_unique<TFakePhyLayer>(bridge)); };
}

std::vector<std::array<uint8_t, 5>> CommandFrames(const std::vector<uint8_t>& written)
{
    std::vector<std::array<uint8_t, 5>> frames;
    for (size_t i = 0; i + 5 <= written.size(); i += 5)
        frames.push_back(
            {written[i], written[i + 1], written[i + 2], written[i + 3], written[i + 4]});
    return frames;
}

std::vector<int> CommandIds(const std::vector<uint8_t>& written)
{
    std::vector<int> ids;
    for (const auto& frame : CommandFrames(written))
        ids.push_back(frame[1]);
    return ids;
}
