#include "FtdiBridgeDriver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>

namespace {

// Bytes the read-ahead buffer holds before the oldest are dropped, as a
// driver's receive buffer overflows when nobody reads it.
constexpr std::size_t ReadAheadLimit = 1 << 20;

// libftdi leaves a device open in the context after some failed calls; the
// next device looked at through the same context must start from a closed one.
void ReleaseDevice(ftdi_context* context)
{
    if (context->usb_dev) {
        libusb_close(context->usb_dev);
        context->usb_dev = nullptr;
    }
}

// Reading the strings opens the device for a moment, so the context must not
// hold an open device of its own. Devices whose description cannot be read
// (claimed elsewhere, no permission, no product string) are skipped.
bool ReadDescription(ftdi_context* context, libusb_device* device, std::string& description)
{
    char text[65] = {};
    const int result =
        ftdi_usb_get_strings2(context, device, nullptr, 0, text, sizeof text, nullptr, 0);
    ReleaseDevice(context);
    if (result != 0)
        return false;
    description.assign(text, strnlen(text, 64));
    return true;
}

// libftdi has no locks of its own. A reader (queue status, read) and a writer
// may work at the same time through libusb; every other call takes both locks
// and so waits for a running transfer.
class TFtdiPort : public TBridgePort
{
public:
    explicit TFtdiPort(ftdi_context* context) : FContext(context) {}
    ~TFtdiPort() override { Close(); }

    bool Close() override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (!FContext)
            return true;
        // The close lets go of the device also when releasing the interface
        // fails, as it does for a bridge that has been unplugged.
        ftdi_usb_close(FContext);
        ftdi_free(FContext);
        FContext = nullptr;
        FReadAhead.clear();
        return true;
    }

    bool SetBaudRate(uint32_t baudRate) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        return FContext && baudRate <= 0x7fffffffu &&
               ftdi_set_baudrate(FContext, static_cast<int>(baudRate)) == 0;
    }

    bool SetDataCharacteristics(uint8_t wordLength, uint8_t stopBits, uint8_t parity) override
    {
        if ((wordLength != BITS_7 && wordLength != BITS_8) ||
            (stopBits != STOP_BIT_1 && stopBits != STOP_BIT_2) || parity > SPACE)
            return false;
        std::scoped_lock lock(FReadLock, FWriteLock);
        return FContext && ftdi_set_line_property(FContext, static_cast<ftdi_bits_type>(wordLength),
                                                  static_cast<ftdi_stopbits_type>(stopBits),
                                                  static_cast<ftdi_parity_type>(parity)) == 0;
    }

    bool SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (!FContext)
            return false;
        FContext->usb_read_timeout = static_cast<int>(std::min(readTimeoutMs, 0x7fffffffu));
        FContext->usb_write_timeout = static_cast<int>(std::min(writeTimeoutMs, 0x7fffffffu));
        return true;
    }

    bool Purge(uint32_t mask) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (!FContext)
            return false;
        const bool rx = mask & 1u;
        const bool tx = mask & 2u;
        if (rx)
            FReadAhead.clear();
        if (rx && tx)
            return ftdi_tcioflush(FContext) == 0;
        if (rx)
            return ftdi_tciflush(FContext) == 0;
        if (tx)
            return ftdi_tcoflush(FContext) == 0;
        return true;
    }

    bool SetLatencyTimer(uint8_t latencyMs) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        return FContext && ftdi_set_latency_timer(FContext, latencyMs) == 0;
    }

    // libftdi has no queue-status call: one read from the bridge, which
    // returns after at most about one latency period when nothing came in,
    // moves whatever arrived into the read-ahead buffer.
    bool GetQueueStatus(uint32_t& count) override
    {
        std::lock_guard lock(FReadLock);
        count = 0;
        if (!FContext)
            return false;
        unsigned char chunk[4096];
        const int received = ftdi_read_data(FContext, chunk, sizeof chunk);
        if (received < 0)
            return false;
        FReadAhead.insert(FReadAhead.end(), chunk, chunk + received);
        if (FReadAhead.size() > ReadAheadLimit)
            FReadAhead.erase(FReadAhead.begin(),
                             FReadAhead.begin() +
                                 static_cast<std::ptrdiff_t>(FReadAhead.size() - ReadAheadLimit));
        count = static_cast<uint32_t>(FReadAhead.size());
        return true;
    }

    // Bytes already in the read-ahead buffer come back at once; for more the
    // read waits on the bridge, at most the read timeout.
    bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) override
    {
        std::lock_guard lock(FReadLock);
        got = 0;
        if (!FContext)
            return false;
        const uint32_t ready =
            static_cast<uint32_t>(std::min<std::size_t>(wanted, FReadAhead.size()));
        std::copy_n(FReadAhead.begin(), ready, buffer);
        FReadAhead.erase(FReadAhead.begin(), FReadAhead.begin() + ready);
        got = ready;
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(FContext->usb_read_timeout);
        while (got < wanted) {
            const int received =
                ftdi_read_data(FContext, buffer + got, static_cast<int>(wanted - got));
            if (received < 0)
                return false;
            got += static_cast<uint32_t>(received);
            if (got < wanted && std::chrono::steady_clock::now() >= deadline)
                break;
        }
        return true;
    }

    bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) override
    {
        std::lock_guard lock(FWriteLock);
        written = 0;
        if (!FContext || size > 0x7fffffffu)
            return false;
        if (size == 0)
            return true;
        const int sent = ftdi_write_data(FContext, buffer, static_cast<int>(size));
        if (sent < 0)
            return false;
        written = static_cast<uint32_t>(sent);
        return true;
    }

    // A reset of the USB port makes the bridge drop off the bus and come
    // back; libftdi's own reset call only resets the chip.
    bool CyclePort() override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (!FContext || !FContext->usb_dev)
            return false;
        FReadAhead.clear();
        const int result = libusb_reset_device(FContext->usb_dev);
        // Not found: the bridge came back as a new device, which is what a
        // cycle asks for; the handle is closed next anyway.
        return result == 0 || result == LIBUSB_ERROR_NOT_FOUND;
    }

private:
    std::mutex FReadLock;
    std::mutex FWriteLock;
    ftdi_context* FContext;
    std::deque<uint8_t> FReadAhead;
};

// Owns a libftdi context and the device list found through it.
struct TSearch
{
    ftdi_context* Context = ftdi_new();
    ftdi_device_list* List = nullptr;
    int Found = -1;

    TSearch()
    {
        // ftdi_new gives null where libusb cannot start: a failed query.
        if (Context)
            Found = ftdi_usb_find_all(Context, &List, 0, 0);
    }
    ~TSearch()
    {
        ftdi_list_free(&List);
        if (Context)
            ftdi_free(Context);
    }
    TSearch(const TSearch&) = delete;
    TSearch& operator=(const TSearch&) = delete;
};

} // namespace

bool TFtdiBridgeDriver::Enumerate(std::vector<std::string>& descriptions)
{
    TSearch search;
    if (search.Found < 0)
        return false;
    for (ftdi_device_list* item = search.List; item; item = item->next) {
        std::string description;
        if (ReadDescription(search.Context, item->dev, description))
            descriptions.push_back(description);
    }
    return true;
}

std::unique_ptr<TBridgePort> TFtdiBridgeDriver::Open(const std::string& description)
{
    TSearch search;
    if (search.Found < 0)
        return nullptr;
    for (ftdi_device_list* item = search.List; item; item = item->next) {
        std::string found;
        if (!ReadDescription(search.Context, item->dev, found) || found != description)
            continue;
        // Opened through the device matched, not by description: libftdi's
        // own open by description gives up at the first device it cannot open.
        if (ftdi_usb_open_dev(search.Context, item->dev) == 0) {
            auto port = std::make_unique<TFtdiPort>(search.Context);
            search.Context = nullptr;
            return port;
        }
        ReleaseDevice(search.Context);
    }
    return nullptr;
}

bool TFtdiBridgeDriver::GetLibraryVersion(uint32_t& version)
{
    const ftdi_version_info info = ftdi_get_library_version();
    version = (static_cast<uint32_t>(info.major & 0xff) << 16) |
              (static_cast<uint32_t>(info.minor & 0xff) << 8) |
              static_cast<uint32_t>(info.micro & 0xff);
    return true;
}
