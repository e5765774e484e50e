// An in-memory controller line for the protocol tests: scripted chunks of
// received bytes, a switch that makes every driver call fail, and a record of
// the bytes sent and of the read sizes asked for.
#pragma once

#include "link/ConnectionUnit.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class TFakeLine
{
public:
    // Bytes that become waiting in the driver once everything before them
    // has been read: each chunk is one "arrival".
    void Arrive(std::vector<uint8_t> chunk);
    void SetFailing(bool failing);

    std::vector<uint8_t> Sent() const;
    std::vector<uint32_t> ReadRequests() const;
    // Bytes scripted but not yet read.
    std::size_t Unread() const;
    // Number of count queries so far: a new query means the previous pass,
    // scan included, has finished.
    std::size_t CountQueries() const;

    TConnectionError GetReadDataCount(uint32_t& size);
    TConnectionError Read(uint8_t* buffer, uint32_t& size);
    TConnectionError Write(const uint8_t* buffer, uint32_t& size);

private:
    mutable std::mutex FLock;
    std::deque<std::vector<uint8_t>> FChunks;
    std::vector<uint8_t> FWaiting;
    std::vector<uint8_t> FSent;
    std::vector<uint32_t> FReadRequests;
    std::size_t FCountQueries = 0;
    bool FFailing = false;
};

class TFakePhyLayer : public TPhyLayer
{
public:
    explicit TFakePhyLayer(std::shared_ptr<TFakeLine> line) : FLine(std::move(line)) {}

    TConnectionError IOEnumDevices(TDevicesIDList& DevicesList) override;
    TConnectionError IOConnect(const TDeviceID&) override { return _ok; }
    TConnectionError IODisconnect() override { return _ok; }
    TConnectionError IOReset() override { return _ok; }
    TConnectionError IOWrite(const uint8_t* Bufor, uint32_t& size) override
    {
        return FLine->Write(Bufor, size);
    }
    TConnectionError IORead(uint8_t* Bufor, uint32_t& size) override
    {
        return FLine->Read(Bufor, size);
    }
    TConnectionError IOGetReadDataCount(uint32_t& Size) override
    {
        return FLine->GetReadDataCount(Size);
    }
    QString IOGetDriverVersion() override { return QStringLiteral("fake"); }

private:
    std::shared_ptr<TFakeLine> FLine;
};

// A connection over a fake line, already connected.
struct TFakeConnection
{
    TFakeConnection();

    std::shared_ptr<TFakeLine> Line = std::make_shared<TFakeLine>();
    TConnection Connection;
};
