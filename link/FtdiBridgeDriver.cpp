// SPDX-License-Identifier: GPL-3.0-or-later
#include "FtdiBridgeDriver.h"

#include "link/LinkLog.h"
#include "link/LinkSignal.h"
#include "link/SerialPortUse.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// Bytes the receive queue holds before the oldest are dropped, as a driver's
// receive buffer overflows when nobody reads it.
constexpr std::size_t ReceiveQueueLimit = 1 << 20;
// Bulk-in transfers kept queued at the bridge, one packet long each. A
// transfer completes at the first packet that is not full, so a longer one
// would hold the data of full packets (a backlog, or a burst that filled a
// packet before the latency timer ran out) until a short packet came, up to
// one more latency period. Sixteen packets in flight take in a backlog of
// nearly a kilobyte per round.
constexpr std::size_t ReceiveTransfers = 16;
// Largest bulk-out transfer.
constexpr std::size_t SendChunk = 4096;
// Each bulk-in packet starts with two modem status bytes.
constexpr int StatusBytes = 2;
// The controller's bridges carry this tag in their product string.
constexpr const char* ControllerTag = "KWTP";
// How long a close waits for queued bytes to leave.
constexpr std::chrono::milliseconds CloseDrain{50};
// The line status byte (the second status byte of a packet): the errors the
// chip met on its serial line while it gathered the packet.
constexpr uint8_t OverrunBit = 0x02;
constexpr uint8_t ParityBit = 0x04;
constexpr uint8_t FramingBit = 0x08;
constexpr uint8_t BreakBit = 0x10;
// Line errors are logged at most this often, with the totals so far.
constexpr std::chrono::seconds LineErrorLogInterval{1};

// Turns a USB string descriptor (UTF-16LE after a two-byte header) into
// UTF-8; false for a malformed descriptor or an unpaired surrogate.
bool StringDescriptorText(const unsigned char* descriptor, int size, std::string& text)
{
    if (size < 2 || descriptor[1] != LIBUSB_DT_STRING || descriptor[0] > size ||
        descriptor[0] % 2 != 0)
        return false;
    text.clear();
    const int end = descriptor[0];
    for (int at = 2; at < end; at += 2) {
        char32_t c = static_cast<char32_t>(descriptor[at] | descriptor[at + 1] << 8);
        if (c >= 0xdc00 && c <= 0xdfff)
            return false;
        if (c >= 0xd800 && c <= 0xdbff) {
            if (at + 3 >= end)
                return false;
            const char32_t low =
                static_cast<char32_t>(descriptor[at + 2] | descriptor[at + 3] << 8);
            if (low < 0xdc00 || low > 0xdfff)
                return false;
            c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
            at += 2;
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xc0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xe0 | c >> 12);
            text += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            text += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            text += static_cast<char>(0xf0 | c >> 18);
            text += static_cast<char>(0x80 | (c >> 12 & 0x3f));
            text += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            text += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return true;
}

// A string of an open device, in the device's first language; `which` picks
// the string's index out of the device descriptor.
bool ReadString(libusb_device_handle* handle, uint8_t libusb_device_descriptor::*which,
                std::string& text)
{
    libusb_device_descriptor device{};
    if (libusb_get_device_descriptor(libusb_get_device(handle), &device) != 0 || device.*which == 0)
        return false;
    unsigned char buffer[255];
    const int languages = libusb_get_string_descriptor(handle, 0, 0, buffer, sizeof buffer);
    if (languages < 4)
        return false;
    const uint16_t language = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    const int size =
        libusb_get_string_descriptor(handle, device.*which, language, buffer, sizeof buffer);
    return StringDescriptorText(buffer, size, text);
}

// The product string of an open device: the bridge's description.
bool ReadProduct(libusb_device_handle* handle, std::string& description)
{
    return ReadString(handle, &libusb_device_descriptor::iProduct, description);
}

// Bus number and port path, e.g. "1-4.2": names the socket the bridge is
// plugged into, which stays the same while it stays plugged in.
std::string Locator(libusb_device* device)
{
    std::array<uint8_t, 8> ports{};
    const int depth = libusb_get_port_numbers(device, ports.data(), ports.size());
    std::string text = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i)
        text += (i == 0 ? "-" : ".") + std::to_string(ports[static_cast<std::size_t>(i)]);
    return text;
}

// True when sysfs names the device's product and the name does not carry
// the controller's tag; false when the product cannot be read.
bool OtherDevice(const std::string& sysRoot, const std::string& locator)
{
    if (locator.find('/') != std::string::npos)
        return false;
    std::FILE* file =
        std::fopen((sysRoot + "/bus/usb/devices/" + locator + "/product").c_str(), "re");
    if (!file)
        return false;
    char product[256] = {};
    const std::size_t length = std::fread(product, 1, sizeof product - 1, file);
    std::fclose(file);
    return std::string(product, length).find(ControllerTag) == std::string::npos;
}

// The device node a user needs access to, e.g. "/dev/bus/usb/001/004".
std::string DeviceNode(libusb_device* device)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return node;
}

// Why libftdi could not open the device: libftdi says only which step
// failed, so the open and the claim are tried again to hear libusb's reason.
// 0 when both work now.
int OpenError(libusb_device* device)
{
    libusb_device_handle* handle = nullptr;
    int result = libusb_open(device, &handle);
    if (result != 0)
        return result;
    result = libusb_claim_interface(handle, 0);
    if (result == 0)
        libusb_release_interface(handle, 0);
    libusb_close(handle);
    return result;
}

// The port keeps bulk-in transfers queued at the bridge and runs libusb's
// events on a thread of its own; what arrives goes, without the status bytes,
// into the receive queue that GetQueueStatus and Read take from. Written bytes
// go into the send queue, which bulk-out transfers drain one at a time. A
// failed transfer (the bridge unplugged) makes the port fail at once, as does
// a send queue that overflows or a bulk-out transfer that moves no byte for
// SendStallLimit. Control requests (settings, purge, cycle, close) take
// FControlLock and are made synchronously; libusb lets them run next to the
// event thread.
class TFtdiPort : public TBridgePort
{
public:
    TFtdiPort(ftdi_context* context, std::string serialNumber)
        : FContext(context), FNode(DeviceNode(libusb_get_device(context->usb_dev))),
          FSerialNumber(std::move(serialNumber))
    {
        FPacketSize = std::max(static_cast<int>(context->max_packet_size), StatusBytes + 1);
        std::lock_guard lock(FQueueLock);
        FSend = libusb_alloc_transfer(0);
        for (std::size_t i = 0; i < ReceiveTransfers; ++i) {
            TReceive receive;
            receive.Transfer = libusb_alloc_transfer(0);
            receive.Buffer.resize(static_cast<std::size_t>(FPacketSize));
            FReceives.push_back(std::move(receive));
        }
        for (TReceive& receive : FReceives) {
            if (!receive.Transfer || !FSend) {
                FEnded = true;
                break;
            }
            // libftdi names the endpoints as the chip sees them: bytes for
            // the host come from its out_ep, bytes for the line go to its in_ep.
            libusb_fill_bulk_transfer(receive.Transfer, FContext->usb_dev,
                                      static_cast<unsigned char>(FContext->out_ep),
                                      receive.Buffer.data(), FPacketSize, ReceiveDone, this, 0);
            Submit(receive.Transfer);
        }
        FPump = std::thread([this] { Pump(); });
    }

    ~TFtdiPort() override { Close(); }

    bool Close() override
    {
        std::lock_guard control(FControlLock);
        if (!FContext)
            return true;
        bool sending = false;
        {
            std::unique_lock lock(FQueueLock);
            FSendDone.wait_for(lock, CloseDrain, [this] {
                return (FOutgoing.empty() && !FSending) || FEnded || FLost;
            });
            // From here on no transfer is submitted again.
            FStopping = true;
            sending = FSending;
        }
        for (TReceive& receive : FReceives)
            if (receive.Transfer)
                libusb_cancel_transfer(receive.Transfer);
        if (sending)
            libusb_cancel_transfer(FSend);
        libusb_interrupt_event_handler(FContext->usb_ctx);
        FPump.join();
        // Every transfer has come back; they go before the device and the
        // libusb context they refer to.
        for (TReceive& receive : FReceives)
            libusb_free_transfer(receive.Transfer);
        FReceives.clear();
        libusb_free_transfer(FSend);
        FSend = nullptr;
        // The close lets go of the device also when releasing the interface
        // fails, as it does for a bridge that has been unplugged.
        ftdi_usb_close(FContext);
        ftdi_free(FContext);
        FContext = nullptr;
        std::lock_guard lock(FQueueLock);
        FReceived.clear();
        FOutgoing.clear();
        return true;
    }

    bool SetBaudRate(uint32_t baudRate) override
    {
        std::lock_guard control(FControlLock);
        return Usable() && baudRate <= 0x7fffffffu &&
               ftdi_set_baudrate(FContext, static_cast<int>(baudRate)) == 0;
    }

    bool SetDataCharacteristics(uint8_t wordLength, uint8_t stopBits, uint8_t parity) override
    {
        if ((wordLength != FT_BITS_7 && wordLength != FT_BITS_8) ||
            (stopBits != FT_STOP_BITS_1 && stopBits != FT_STOP_BITS_2) || parity > FT_PARITY_SPACE)
            return false;
        std::lock_guard control(FControlLock);
        return Usable() &&
               ftdi_set_line_property(FContext, static_cast<ftdi_bits_type>(wordLength),
                                      stopBits == FT_STOP_BITS_1 ? STOP_BIT_1 : STOP_BIT_2,
                                      static_cast<ftdi_parity_type>(parity)) == 0;
    }

    // Reads and writes never wait, so there is nothing for timeouts to bound.
    bool SetTimeouts(uint32_t, uint32_t) override
    {
        std::lock_guard control(FControlLock);
        return Usable();
    }

    bool Purge(uint32_t mask) override
    {
        std::lock_guard control(FControlLock);
        if (!Usable())
            return false;
        const bool rx = mask & FT_PURGE_RX;
        const bool tx = mask & FT_PURGE_TX;
        // Bytes to send go before the chip's purge, so none leaves after
        // it. Received bytes go after it: packets the event thread takes in
        // between hold bytes the chip had before its purge; cleared first,
        // they would stay queued in front of a gap where the chip's purge
        // cut the stream.
        if (tx) {
            std::lock_guard lock(FQueueLock);
            FOutgoing.clear();
        }
        bool flushed = true;
        if (rx && tx)
            flushed = ftdi_tcioflush(FContext) == 0;
        else if (rx)
            flushed = ftdi_tciflush(FContext) == 0;
        else if (tx)
            flushed = ftdi_tcoflush(FContext) == 0;
        if (rx) {
            std::lock_guard lock(FQueueLock);
            FReceived.clear();
        }
        return flushed;
    }

    bool SetLatencyTimer(uint8_t latencyMs) override
    {
        std::lock_guard control(FControlLock);
        return Usable() && ftdi_set_latency_timer(FContext, latencyMs) == 0;
    }

    bool GetQueueStatus(uint32_t& count) override
    {
        std::lock_guard lock(FQueueLock);
        count = 0;
        if (!Answers())
            return false;
        count = static_cast<uint32_t>(FReceived.size());
        return true;
    }

    bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) override
    {
        std::lock_guard lock(FQueueLock);
        got = 0;
        if (!Answers())
            return false;
        got = static_cast<uint32_t>(std::min<std::size_t>(wanted, FReceived.size()));
        std::copy_n(FReceived.begin(), got, buffer);
        FReceived.erase(FReceived.begin(), FReceived.begin() + got);
        return true;
    }

    bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) override
    {
        written = 0;
        bool lost = false;
        {
            std::lock_guard lock(FQueueLock);
            if (FStopping || FEnded || FLost)
                return false;
            if (FOutgoing.size() + size > SendQueueLimit) {
                qCWarning(VarnelLinkLog, "USB bridge %s: send queue full, link lost",
                          FNode.c_str());
                FLost = lost = true;
            } else {
                FOutgoing.insert(FOutgoing.end(), buffer, buffer + size);
                if (!FSending)
                    StartSend();
                written = size;
            }
        }
        if (lost)
            TLinkSignal::Instance().Raise();
        return !lost;
    }

    // A reset of the USB port makes the bridge drop off the bus and come
    // back; libftdi's own reset call only resets the chip.
    bool CyclePort() override
    {
        std::lock_guard control(FControlLock);
        if (!FContext || !FContext->usb_dev)
            return false;
        {
            std::lock_guard lock(FQueueLock);
            FReceived.clear();
        }
        const int result = libusb_reset_device(FContext->usb_dev);
        // Not found: the bridge came back as a new device, which is what a
        // cycle asks for; the handle is closed next anyway.
        return result == 0 || result == LIBUSB_ERROR_NOT_FOUND;
    }

    TLineErrors LineErrors() override
    {
        std::lock_guard lock(FQueueLock);
        return FLineErrors;
    }

    std::string SerialNumber() override { return FSerialNumber; }

private:
    struct TReceive
    {
        libusb_transfer* Transfer = nullptr;
        std::vector<unsigned char> Buffer;
    };

    bool Usable()
    {
        std::lock_guard lock(FQueueLock);
        return FContext && !FEnded && !FLost;
    }

    // A bridge that went fails at once, with what it sent before: bytes
    // still queued are stale by the time the link is opened again.
    bool Answers() const { return !FStopping && !FLost && !FEnded; }

    // Called with FQueueLock.
    void Submit(libusb_transfer* transfer)
    {
        if (libusb_submit_transfer(transfer) == 0)
            ++FActive;
        else
            FEnded = true;
    }

    // Hands the front of the send queue to a bulk-out transfer. Called with
    // FQueueLock, when no send is in flight.
    void StartSend()
    {
        const std::size_t size = std::min(FOutgoing.size(), SendChunk);
        FSendBuffer.assign(FOutgoing.begin(),
                           FOutgoing.begin() + static_cast<std::ptrdiff_t>(size));
        FOutgoing.erase(FOutgoing.begin(), FOutgoing.begin() + static_cast<std::ptrdiff_t>(size));
        libusb_fill_bulk_transfer(FSend, FContext->usb_dev,
                                  static_cast<unsigned char>(FContext->in_ep), FSendBuffer.data(),
                                  static_cast<int>(size), SendDone, this,
                                  static_cast<unsigned int>(SendStallLimit.count()));
        const uint64_t active = FActive;
        Submit(FSend);
        FSending = FActive != active;
    }

    static void LIBUSB_CALL ReceiveDone(libusb_transfer* transfer)
    {
        static_cast<TFtdiPort*>(transfer->user_data)->Received(transfer);
    }

    static void LIBUSB_CALL SendDone(libusb_transfer* transfer)
    {
        static_cast<TFtdiPort*>(transfer->user_data)->Sent(transfer);
    }

    // On the event thread.
    void Received(libusb_transfer* transfer)
    {
        bool raise = false;
        {
            std::lock_guard lock(FQueueLock);
            --FActive;
            if (transfer->status == LIBUSB_TRANSFER_COMPLETED) {
                const std::size_t before = FReceived.size();
                for (int at = 0; at < transfer->actual_length; at += FPacketSize) {
                    const int end = std::min(at + FPacketSize, transfer->actual_length);
                    if (end - at >= StatusBytes)
                        CountLineErrors(transfer->buffer[at + 1]);
                    if (end - at > StatusBytes)
                        FReceived.insert(FReceived.end(), transfer->buffer + at + StatusBytes,
                                         transfer->buffer + end);
                }
                if (FReceived.size() > ReceiveQueueLimit)
                    FReceived.erase(FReceived.begin(),
                                    FReceived.begin() + static_cast<std::ptrdiff_t>(
                                                            FReceived.size() - ReceiveQueueLimit));
                raise = FReceived.size() != before;
                if (!FStopping)
                    Submit(transfer);
                raise = raise || FEnded;
            } else if (transfer->status != LIBUSB_TRANSFER_CANCELLED) {
                NoteEnd(transfer);
                FEnded = raise = true;
            }
        }
        if (raise)
            TLinkSignal::Instance().Raise();
    }

    // Called with FQueueLock, on the event thread.
    void CountLineErrors(uint8_t lineStatus)
    {
        const uint8_t errors = lineStatus & (OverrunBit | ParityBit | FramingBit | BreakBit);
        if (errors == 0)
            return;
        FLineErrors.Overrun += (errors & OverrunBit) ? 1 : 0;
        FLineErrors.Parity += (errors & ParityBit) ? 1 : 0;
        FLineErrors.Framing += (errors & FramingBit) ? 1 : 0;
        FLineErrors.Break += (errors & BreakBit) ? 1 : 0;
        FLineErrorsUnlogged = true;
        LogLineErrors();
    }

    // Says what the line met, at most once per LineErrorLogInterval: errors
    // that come sooner are told with the next message. Called with
    // FQueueLock, on the event thread.
    void LogLineErrors()
    {
        const auto now = std::chrono::steady_clock::now();
        if (!FLineErrorsUnlogged ||
            (FLineErrorsLogged && now - FLastLineErrorLog < LineErrorLogInterval))
            return;
        qCWarning(VarnelLinkLog,
                  "USB bridge %s: line errors so far: %llu overrun, %llu parity, %llu framing, "
                  "%llu break",
                  FNode.c_str(), static_cast<unsigned long long>(FLineErrors.Overrun),
                  static_cast<unsigned long long>(FLineErrors.Parity),
                  static_cast<unsigned long long>(FLineErrors.Framing),
                  static_cast<unsigned long long>(FLineErrors.Break));
        FLastLineErrorLog = now;
        FLineErrorsLogged = true;
        FLineErrorsUnlogged = false;
    }

    // Says once why the bridge went. Called with FQueueLock.
    void NoteEnd(const libusb_transfer* transfer) const
    {
        if (FEnded || FLost || FStopping)
            return;
        if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE)
            qCWarning(VarnelLinkLog, "USB bridge %s: gone from the bus, link lost", FNode.c_str());
        else
            qCWarning(VarnelLinkLog, "USB bridge %s: transfer failed (status %d), link lost",
                      FNode.c_str(), static_cast<int>(transfer->status));
    }

    // On the event thread.
    void Sent(libusb_transfer* transfer)
    {
        bool raise = false;
        {
            std::lock_guard lock(FQueueLock);
            --FActive;
            FSending = false;
            const auto moved = static_cast<std::ptrdiff_t>(transfer->actual_length);
            const bool progressed = moved > 0;
            if (transfer->status == LIBUSB_TRANSFER_COMPLETED ||
                transfer->status == LIBUSB_TRANSFER_TIMED_OUT ||
                transfer->status == LIBUSB_TRANSFER_CANCELLED) {
                // What did not go out goes back to the front of the queue.
                FOutgoing.insert(FOutgoing.begin(), FSendBuffer.begin() + moved, FSendBuffer.end());
            }
            if (transfer->status == LIBUSB_TRANSFER_TIMED_OUT && !progressed) {
                if (!FEnded && !FLost && !FStopping)
                    qCWarning(VarnelLinkLog, "USB bridge %s: no byte taken for %lld ms, link lost",
                              FNode.c_str(), static_cast<long long>(SendStallLimit.count()));
                FLost = raise = true;
            } else if (transfer->status != LIBUSB_TRANSFER_COMPLETED &&
                       transfer->status != LIBUSB_TRANSFER_TIMED_OUT &&
                       transfer->status != LIBUSB_TRANSFER_CANCELLED) {
                NoteEnd(transfer);
                FEnded = raise = true;
            }
            if (!FStopping && !FEnded && !FLost && !FOutgoing.empty())
                StartSend();
        }
        FSendDone.notify_all();
        if (raise)
            TLinkSignal::Instance().Raise();
    }

    void Pump()
    {
        for (;;) {
            {
                std::lock_guard lock(FQueueLock);
                if (FStopping && FActive == 0)
                    return;
                LogLineErrors();
            }
            timeval wait{0, 100000};
            libusb_handle_events_timeout_completed(FContext->usb_ctx, &wait, nullptr);
        }
    }

    std::mutex FControlLock;
    std::mutex FQueueLock;
    std::condition_variable FSendDone;
    ftdi_context* FContext;
    const std::string FNode;
    int FPacketSize = 64;
    std::vector<TReceive> FReceives;
    libusb_transfer* FSend = nullptr;
    std::vector<unsigned char> FSendBuffer;
    std::thread FPump;
    // Transfers submitted and not yet come back.
    uint64_t FActive = 0;
    bool FSending = false;
    bool FStopping = false;
    // The bridge went (a transfer failed); set on the event thread.
    bool FEnded = false;
    // The bridge stopped taking bytes.
    bool FLost = false;
    std::deque<uint8_t> FReceived;
    std::deque<uint8_t> FOutgoing;
    const std::string FSerialNumber;
    TLineErrors FLineErrors;
    // Errors counted since the last message about them.
    bool FLineErrorsUnlogged = false;
    bool FLineErrorsLogged = false;
    std::chrono::steady_clock::time_point FLastLineErrorLog{};
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

bool TFtdiBridgeDriver::Enumerate(std::vector<TBridgeInfo>& bridges)
{
    TSearch search;
    if (search.Found < 0)
        return false;
    for (ftdi_device_list* item = search.List; item; item = item->next) {
        // Devices whose description cannot be read (claimed elsewhere, no
        // permission, no product string) are skipped, and so are those whose
        // description would not name exactly one bridge on screen.
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(item->dev, &handle);
        if (opened != 0) {
            // The udev rule grants only the controller's bridges: another
            // FTDI device the user may not open is none of the console's
            // business, as its product string in sysfs tells.
            if (!OtherDevice(FSysRoot, Locator(item->dev)))
                NoteProblem(opened, DeviceNode(item->dev));
            continue;
        }
        std::string description;
        const bool read = ReadProduct(handle, description);
        libusb_close(handle);
        if (read && DistinctDescription(description)) {
            bridges.push_back({description, Locator(item->dev)});
            qCDebug(VarnelLinkLog, "USB bridge %s at %s: \"%s\"", Locator(item->dev).c_str(),
                    DeviceNode(item->dev).c_str(), description.c_str());
        }
    }
    return true;
}

// Opens the device plugged in where the search found the bridge, and only
// after checking that it still carries the same description.
std::unique_ptr<TBridgePort> TFtdiBridgeDriver::Open(const TBridgeInfo& bridge)
{
    TSearch search;
    if (search.Found < 0)
        return nullptr;
    for (ftdi_device_list* item = search.List; item; item = item->next) {
        if (Locator(item->dev) != bridge.Locator)
            continue;
        // Opening detaches the kernel's serial driver: not from under a
        // program that has the bridge's serial port open.
        const std::string held = HeldSerialPort(FSysRoot, FProcRoot, bridge.Locator);
        if (!held.empty()) {
            NoteProblem(LIBUSB_ERROR_BUSY, held);
            qCInfo(VarnelLinkLog, "USB bridge %s: its serial port %s is open in another program",
                   DeviceNode(item->dev).c_str(), held.c_str());
            return nullptr;
        }
        const int opened = ftdi_usb_open_dev(search.Context, item->dev);
        if (opened != 0) {
            // libftdi leaves the device open in the context after some failures.
            if (search.Context->usb_dev) {
                libusb_close(search.Context->usb_dev);
                search.Context->usb_dev = nullptr;
            }
            // libftdi's codes for a failed open (-4), a failed claim (-5)
            // and a kernel driver it may not detach (-8).
            if (opened == -4 || opened == -5)
                NoteProblem(OpenError(item->dev), DeviceNode(item->dev));
            else if (opened == -8)
                NoteProblem(LIBUSB_ERROR_ACCESS, DeviceNode(item->dev));
            qCInfo(VarnelLinkLog, "USB bridge %s: cannot be opened (%s)",
                   DeviceNode(item->dev).c_str(), ftdi_get_error_string(search.Context));
            return nullptr;
        }
        std::string description;
        if (!ReadProduct(search.Context->usb_dev, description) ||
            description != bridge.Description) {
            ftdi_usb_close(search.Context);
            return nullptr;
        }
        std::string serialNumber;
        if (!ReadString(search.Context->usb_dev, &libusb_device_descriptor::iSerialNumber,
                        serialNumber) ||
            !DistinctDescription(serialNumber))
            serialNumber.clear();
        auto port = std::make_unique<TFtdiPort>(search.Context, std::move(serialNumber));
        search.Context = nullptr;
        qCInfo(VarnelLinkLog, "USB bridge %s opened: \"%s\"", DeviceNode(item->dev).c_str(),
               description.c_str());
        return port;
    }
    return nullptr;
}

std::vector<TBridgeProblem> TFtdiBridgeDriver::TakeProblems()
{
    std::lock_guard lock(FProblemLock);
    return std::exchange(FProblems, {});
}

// A device the user may not open, or one another program holds; other
// failures (a bridge unplugged meanwhile) are no problem of the user's.
void TFtdiBridgeDriver::NoteProblem(int libusbError, const std::string& where)
{
    if (libusbError != LIBUSB_ERROR_ACCESS && libusbError != LIBUSB_ERROR_BUSY)
        return;
    const TBridgeProblem problem{libusbError == LIBUSB_ERROR_ACCESS ? _bp_no_access : _bp_busy,
                                 where};
    std::lock_guard lock(FProblemLock);
    if (std::find(FProblems.begin(), FProblems.end(), problem) == FProblems.end())
        FProblems.push_back(problem);
}

bool TFtdiBridgeDriver::GetLibraryVersion(uint32_t& version)
{
    const ftdi_version_info info = ftdi_get_library_version();
    version = (static_cast<uint32_t>(info.major & 0xff) << 16) |
              (static_cast<uint32_t>(info.minor & 0xff) << 8) |
              static_cast<uint32_t>(info.micro & 0xff);
    return true;
}
