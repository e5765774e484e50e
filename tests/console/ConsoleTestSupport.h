// A stand-in bridge for the console's tests: it lists the devices it is given,
// records every byte the console writes and delivers the bytes a test feeds
// as if the controller had sent them. The state is shared between the test
// and the physical layers the console makes, and is safe to use from the
// console's reader thread.
#pragma once

#include "DeviceFrames.h"

#include "console/ConsoleEnvironment.h"
#include "link/ConnectionUnit.h"
#include "sim/ControllerModel.h"

#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TFakeBridge
{
public:
    // ---- set up by the test
    void SetDevices(const QStringList& descriptions);
    void SetOpenFails(bool fails);
    // An unplugged bridge fails every call on the open device.
    void SetUnplugged(bool unplugged);
    // Called with every chunk the console writes (for a controller model).
    void SetWriteHook(std::function<void(const uint8_t*, size_t)> hook);

    // ---- bytes from the controller
    void Feed(const std::vector<uint8_t>& bytes);

    // ---- what the console did
    std::vector<uint8_t> Written() const;
    void ClearWritten();
    // Names of the layer operations in call order ("IOConnect", "IODisconnect", ...),
    // without the reader's polling (IOGetReadDataCount, IORead), which is counted instead.
    std::vector<std::string> Calls() const;
    int PollCount() const;
    // The poll count when the device was last closed: a reader still polling
    // after the close shows as a later, higher PollCount.
    int PollsAtLastDisconnect() const;
    bool IsOpen() const;

    // ---- used by the layer
    QStringList Devices() const;
    bool OpenFails() const;
    bool Unplugged() const;
    void Record(const std::string& call);
    void CountPoll();
    void SetOpen(bool open);
    void Write(const uint8_t* bytes, size_t count);
    size_t Waiting() const;
    size_t Take(uint8_t* out, size_t max);

private:
    mutable std::mutex FLock;
    QStringList FDevices;
    bool FOpenFails = false;
    bool FUnplugged = false;
    bool FOpen = false;
    int FPolls = 0;
    int FPollsAtDisconnect = -1;
    std::function<void(const uint8_t*, size_t)> FWriteHook;
    std::deque<uint8_t> FIncoming;
    std::vector<uint8_t> FWritten;
    std::vector<std::string> FCalls;
};

// Puts a controller model behind a stand-in bridge for as long as it lives:
// the model hears what the console writes, connecting at the first byte, and
// its output is fed to the bridge every few milliseconds, on the main thread.
class TModelLine
{
public:
    TModelLine(TFakeBridge& bridge, VarnelSim::TControllerModel& model, int periodMs = 5);
    ~TModelLine();

    TModelLine(const TModelLine&) = delete;
    TModelLine& operator=(const TModelLine&) = delete;

private:
    TFakeBridge& FBridge;
    QTimer FLine;
};

// The physical layers of the stand-in bridge, for TConnection.
TConnection::TPhyLayerFactory FakeBridgeFactory(std::shared_ptr<TFakeBridge> bridge);

// The program's environment with the stand-in bridge as the physical layer.
inline TConsoleEnvironment FakeBridgeEnvironment(std::shared_ptr<TFakeBridge> bridge)
{
    TConsoleEnvironment environment = TConsoleEnvironment::Default();
    environment.PhyLayerFactory = FakeBridgeFactory(std::move(bridge));
    // The machine's journal is left alone; a test that reads the records
    // gives a sink of its own.
    environment.Journal.reset();
    return environment;
}

// The command frames in a stream of written bytes, five bytes each.
std::vector<std::array<uint8_t, 5>> CommandFrames(const std::vector<uint8_t>& written);
// The command ids of those frames, in order.
std::vector<int> CommandIds(const std::vector<uint8_t>& written);
