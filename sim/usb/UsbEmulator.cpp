// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/usb/UsbEmulator.h"

#include <umockdev.h>

#include <dlfcn.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <stdexcept>
#include <utility>

namespace VarnelUsb {

namespace {

constexpr std::size_t PacketSize = 64;
constexpr std::size_t StatusBytes = 2;
constexpr std::size_t PacketData = PacketSize - StatusBytes;
// The chip's buffers: toward the host and toward the controller.
constexpr std::size_t ToHostBufferSize = 256;
constexpr std::size_t ToControllerBufferSize = 128;
constexpr uint8_t ModemStatus[StatusBytes] = {0x01, 0x60};
// Scope samples kept for TakeSentSamples; later ones are not recorded.
constexpr std::size_t SampleRecordLimit = 1 << 16;
constexpr uint8_t EndpointIn = 0x81;
constexpr uint8_t EndpointOut = 0x02;

// Where the fields of struct usbdevfs_urb sit, as libusb fills it in.
static_assert(sizeof(usbdevfs_urb) == 56);
static_assert(offsetof(usbdevfs_urb, buffer) == 16);

struct TUrb
{
    UMockdevIoctlClient* Client;
    UMockdevIoctlData* Urb;    // the client's struct usbdevfs_urb
    UMockdevIoctlData* Buffer; // its buffer
    int Generation;
    uint8_t Type;
    uint8_t Endpoint;
    std::size_t Length;
    std::size_t Filled = 0;
    bool Done = false;
    int Status = 0;
};

std::vector<uint8_t> Utf16Descriptor(const std::string& text)
{
    std::vector<uint8_t> out{0, 3};
    for (unsigned char c : text) {
        out.push_back(c);
        out.push_back(0);
    }
    out[0] = static_cast<uint8_t>(std::min<std::size_t>(out.size(), 255));
    out.resize(out[0]);
    return out;
}

std::vector<uint8_t> DeviceDescriptor(const TBridgeOptions& o)
{
    return {18,
            1,
            0x00,
            0x02, // USB 2.0
            0,
            0,
            0,
            8,
            static_cast<uint8_t>(o.Vendor),
            static_cast<uint8_t>(o.Vendor >> 8),
            static_cast<uint8_t>(o.Product),
            static_cast<uint8_t>(o.Product >> 8),
            static_cast<uint8_t>(o.Release),
            static_cast<uint8_t>(o.Release >> 8),
            1,
            2,
            3,
            1};
}

std::vector<uint8_t> ConfigDescriptor()
{
    return {
        9, 2, 32,          0, 1,          1,    0,    0xA0, 45, // configuration 1, one interface
        9, 4, 0,           0, 2,          0xFF, 0xFF, 0xFF, 2,  // interface 0, vendor class
        7, 5, EndpointIn,  2, PacketSize, 0,    0,              // bulk in
        7, 5, EndpointOut, 2, PacketSize, 0,    0};             // bulk out
}

// The chip's baud rate divisor: 14 bits of integer part, three bits of
// eighths spread over the value's top two bits and the index's lowest.
uint32_t DecodeBaudRate(uint16_t value, uint16_t index)
{
    static constexpr double Fractions[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    const uint32_t whole = value & 0x3FFF;
    const uint32_t code = (value >> 14) | ((index & 1u) << 2);
    if (whole == 0 && code == 0)
        return 3'000'000;
    if (whole == 1 && code == 0)
        return 2'000'000;
    return static_cast<uint32_t>(3'000'000.0 / (whole + Fractions[code]) + 0.5);
}

} // namespace

// Everything the ioctl handler touches; the handler runs on umockdev's worker
// thread, the test or program on its own, so all of it is under Lock.
struct TEmulatedBridge::TState
{
    explicit TState(const TBridgeOptions& options) : Options(options), Model(options.Model) {}

    mutable std::mutex Lock;
    TBridgeOptions Options;
    VarnelSim::TControllerModel Model;
    int Generation = 0;
    bool Plugged = false;
    UMockdevIoctlClient* Claimer = nullptr;
    std::list<TUrb> Urbs;

    uint32_t Baud = 9600;
    uint16_t DataValue = 8;
    uint8_t Latency = 16;
    std::deque<uint8_t> ToHost;
    std::deque<uint8_t> ToController;
    TClock::time_point LineToHost{};       // when the controller's line is free again
    TClock::time_point LineToController{}; // when the line toward it is free again
    TClock::time_point TimerStart{};       // latency timer
    uint64_t LineBytes = 0;                // bytes the controller has sent this connection
    uint8_t Frame[5] = {};
    std::vector<TSampleSent> Samples;
    uint64_t BytesToController = 0;

    std::vector<TWireRequest> Wire;
    bool OutStalled = false;
    int ClaimRefusal = 0;
    uint8_t LineErrorBits = 0;
    unsigned LineErrorPackets = 0;

    TClock::duration ByteTime() const
    {
        const uint32_t dataBits = DataValue & 0xFF;
        const uint32_t parity = ((DataValue >> 8) & 7) ? 1 : 0;
        const uint32_t stop = ((DataValue >> 11) & 3) == 2 ? 2 : 1;
        const uint32_t bits = 1 + dataBits + parity + stop;
        return std::chrono::nanoseconds(1'000'000'000ull * bits / std::max<uint32_t>(Baud, 1));
    }

    void Reset(TClock::time_point now)
    {
        ToHost.clear();
        ToController.clear();
        LineToHost = LineToController = TimerStart = now;
    }

    void ConnectController(TClock::time_point now)
    {
        Model.Connect(now);
        Reset(now);
        LineBytes = 0;
    }

    // Moves the serial lines and the chip's buffers on to now.
    void Pump(TClock::time_point now)
    {
        if (!Plugged)
            return;
        const auto byteTime = ByteTime();
        const bool connected = Model.IsConnected();

        // Host to controller: the buffer drains at the line rate.
        while (!ToController.empty() && LineToController + byteTime <= now) {
            LineToController += byteTime;
            const uint8_t byte = ToController.front();
            ToController.pop_front();
            ++BytesToController;
            if (connected) {
                Model.AdvanceTo(LineToController);
                if (Model.PendingOutput() == 0)
                    LineToHost = std::max(LineToHost, LineToController);
                Model.Receive(&byte, 1);
            }
        }
        if (ToController.empty())
            LineToController = std::max(LineToController, now);

        // Transfers toward the controller complete once the buffer took them.
        for (TUrb& urb : Urbs) {
            if (urb.Done || urb.Generation != Generation || urb.Endpoint != EndpointOut)
                continue;
            if (OutStalled)
                break;
            const std::size_t room = ToControllerBufferSize - ToController.size();
            const std::size_t take = std::min(room, urb.Length - urb.Filled);
            ToController.insert(ToController.end(), urb.Buffer->data + urb.Filled,
                                urb.Buffer->data + urb.Filled + take);
            urb.Filled += take;
            if (urb.Filled < urb.Length)
                break;
            urb.Done = true;
        }

        // Controller to chip, byte by byte at the line rate, each frame when
        // due; and chip to host, each packet at the moment the chip would
        // send it to a host that keeps asking, however late this call comes.
        const auto latency = std::chrono::milliseconds(std::max<uint8_t>(Latency, 1));
        while (connected) {
            if (Model.PendingOutput() == 0) {
                const auto due = Model.NextEventTime();
                if (due > now) {
                    Model.AdvanceTo(now);
                    break;
                }
                Model.AdvanceTo(due);
                LineToHost = std::max(LineToHost, due);
                continue;
            }
            const auto arrives =
                LineToHost + (Options.Unpaced ? TClock::duration::zero() : byteTime);
            if (arrives > now || (Options.Unpaced && ToHost.size() >= ToHostBufferSize))
                break;
            while (InWaiting() && TimerStart + latency <= arrives)
                SendPackets(TimerStart + latency, latency);
            LineToHost = arrives;
            uint8_t byte = 0;
            Model.PeekOutput(&byte, 1);
            Model.ConsumeOutput(1);
            if (ToHost.size() < ToHostBufferSize)
                ToHost.push_back(byte);
            Frame[LineBytes % 5] = byte;
            if (LineBytes % 5 == 4 && Frame[0] == 0xAA &&
                Frame[1] == MessageIdByte(TMessageId::ScopeSample) &&
                Samples.size() < SampleRecordLimit)
                Samples.push_back({static_cast<uint16_t>(Frame[2] | Frame[3] << 8), LineToHost});
            ++LineBytes;
            SendPackets(arrives, latency);
        }
        while (InWaiting() && TimerStart + latency <= now)
            SendPackets(TimerStart + latency, latency);
        // A transfer submitted after the timer ran out gets its packet now.
        SendPackets(now, latency);
    }

    // A bulk-in transfer waits at the chip.
    bool InWaiting() const
    {
        return std::any_of(Urbs.begin(), Urbs.end(), [this](const TUrb& urb) {
            return !urb.Done && urb.Generation == Generation && urb.Endpoint == EndpointIn;
        });
    }

    // Chip to host at time t: a full packet while 62 bytes wait, a short one
    // (maybe only the status) when the latency timer has run out; a short
    // packet ends the transfer, and every packet starts the timer again.
    void SendPackets(TClock::time_point t, TClock::duration latency)
    {
        for (TUrb& urb : Urbs) {
            if (urb.Done || urb.Generation != Generation || urb.Endpoint != EndpointIn)
                continue;
            while (!urb.Done) {
                if (urb.Length - urb.Filled < PacketSize) {
                    urb.Done = true;
                    break;
                }
                const bool full = ToHost.size() >= PacketData;
                if (!full && t - TimerStart < latency)
                    break;
                const std::size_t data = std::min(ToHost.size(), PacketData);
                uint8_t* out = urb.Buffer->data + urb.Filled;
                std::memcpy(out, ModemStatus, StatusBytes);
                if (LineErrorPackets > 0) {
                    out[1] |= LineErrorBits;
                    --LineErrorPackets;
                }
                std::copy_n(ToHost.begin(), data, out + StatusBytes);
                ToHost.erase(ToHost.begin(), ToHost.begin() + static_cast<std::ptrdiff_t>(data));
                urb.Filled += StatusBytes + data;
                TimerStart = t;
                if (!full)
                    urb.Done = true;
            }
            if (!urb.Done)
                break;
        }
    }

    // A control transfer, answered at once. Returns the status: 0 or -EPIPE (stall).
    int Control(uint8_t* buffer, std::size_t length, std::size_t& answered, TClock::time_point now)
    {
        answered = 0;
        if (length < 8)
            return -EINVAL;
        const uint8_t type = buffer[0];
        const uint8_t request = buffer[1];
        const uint16_t value = buffer[2] | buffer[3] << 8;
        const uint16_t index = buffer[4] | buffer[5] << 8;
        const std::size_t wanted = std::min<std::size_t>(buffer[6] | buffer[7] << 8, length - 8);
        uint8_t* data = buffer + 8;
        auto answer = [&](const std::vector<uint8_t>& bytes) {
            answered = std::min(wanted, bytes.size());
            std::copy_n(bytes.begin(), answered, data);
            return 0;
        };

        if ((type & 0x60) == 0x00) { // standard
            if (request == 6 && type == 0x80) {
                const uint8_t kind = value >> 8;
                const uint8_t number = value & 0xFF;
                if (kind == 1)
                    return answer(DeviceDescriptor(Options));
                if (kind == 2 && number == 0)
                    return answer(ConfigDescriptor());
                if (kind == 3 && number == 0)
                    return answer({4, 3, 0x09, 0x04});
                if (kind == 3 && number == 1)
                    return answer(Utf16Descriptor(Options.Manufacturer));
                if (kind == 3 && number == 2)
                    return answer(Utf16Descriptor(Options.Description));
                if (kind == 3 && number == 3)
                    return answer(Utf16Descriptor(Options.Serial));
                return -EPIPE;
            }
            if (request == 8 && type == 0x80)
                return answer({1});
            if ((request == 9 && type == 0x00) || (request == 11 && type == 0x01) ||
                (request == 1 && type == 0x02))
                return 0;
            return -EPIPE;
        }
        if ((type & 0x60) != 0x40 || Options.Foreign)
            return -EPIPE;

        Wire.push_back({type, request, value, index});
        if (type == 0x40) {
            switch (request) {
            case _sio_reset:
                if (value == _reset_chip) {
                    ToHost.clear();
                    ToController.clear();
                } else if (value == _reset_purge_to_controller) {
                    ToController.clear();
                } else if (value == _reset_purge_to_host) {
                    ToHost.clear();
                } else {
                    return -EPIPE;
                }
                return 0;
            case _sio_set_baudrate:
                if (Options.StallBaudRate)
                    return -EPIPE;
                Baud = DecodeBaudRate(value, index);
                LineToHost = std::max(LineToHost, now);
                return 0;
            case _sio_set_data:
                DataValue = value;
                return 0;
            case _sio_set_latency_timer:
                Latency = static_cast<uint8_t>(value & 0xFF);
                return 0;
            case _sio_set_modem_ctrl:
            case _sio_set_flow_ctrl:
            case _sio_set_event_char:
            case _sio_set_error_char:
            case _sio_set_bitmode:
                return 0;
            default:
                return -EPIPE;
            }
        }
        switch (request) {
        case _sio_poll_modem_status:
            return answer({ModemStatus[0], ModemStatus[1]});
        case _sio_get_latency_timer:
            return answer({Latency});
        case _sio_read_pins:
            return answer({0xFF});
        case _sio_read_eeprom:
            return answer({0xFF, 0xFF});
        default:
            return -EPIPE;
        }
    }

    void Drop(TUrb& urb)
    {
        g_object_unref(urb.Buffer);
        g_object_unref(urb.Urb);
    }

    // Ends the controller's connection when the client holding the interface lets go.
    void LetGo(UMockdevIoctlClient* client)
    {
        if (Claimer == client) {
            Claimer = nullptr;
            Model.Disconnect();
        }
    }
};

namespace {

struct THandlerContext
{
    std::shared_ptr<TEmulatedBridge::TState> State;
    int Generation;
};

gboolean Refuse(UMockdevIoctlClient* client, int error)
{
    umockdev_ioctl_client_complete(client, -1, error);
    return TRUE;
}

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        std::fprintf(stderr, "varnel usb emulator: %s\n", error->message);
        g_error_free(error);
        return nullptr;
    }
    return child;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    const auto* context = static_cast<const THandlerContext*>(user);
    TEmulatedBridge::TState& s = *context->State;
    const int generation = context->Generation;
    std::lock_guard lock(s.Lock);
    const auto now = TClock::now();
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // Requests through a device node of an earlier plug-in find no device.
    const bool current = s.Plugged && generation == s.Generation;
    static const bool trace = std::getenv("VARNEL_USB_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "usb %s: ioctl %08lx client %p\n", s.Options.Description.c_str(),
                     request, static_cast<void*>(client));
    if (current)
        s.Pump(now);

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        if (!current)
            return Refuse(client, ENODEV);
        UMockdevIoctlData* caps = Resolve(arg, 0, sizeof(uint32_t));
        if (!caps)
            return Refuse(client, EFAULT);
        const uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(caps->data, &value, sizeof value);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        return TRUE;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound to the interface.
        return Refuse(client, current ? ENODATA : ENODEV);
    case USBDEVFS_CLAIMINTERFACE:
        if (!current)
            return Refuse(client, ENODEV);
        if (s.ClaimRefusal)
            return Refuse(client, s.ClaimRefusal);
        // umockdev does not say when a client closes its device, which lets
        // go of the interface too: a claim by another client takes over.
        if (s.Claimer != client) {
            s.Claimer = client;
            s.ConnectController(now);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
        s.LetGo(client);
        if (!current)
            return Refuse(client, ENODEV);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        if (!current)
            return Refuse(client, ENODEV);
        if (request == USBDEVFS_RESET)
            s.Reset(now);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        if (!current)
            return Refuse(client, ENODEV);
        UMockdevIoctlData* urbData = Resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!urbData)
            return Refuse(client, EFAULT);
        const auto* urb = reinterpret_cast<const usbdevfs_urb*>(urbData->data);
        const bool known = (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0) ||
                           (urb->type == USBDEVFS_URB_TYPE_BULK &&
                            (urb->endpoint == EndpointIn || urb->endpoint == EndpointOut));
        if (!known || urb->buffer_length < 0 || s.Options.Foreign) {
            g_object_unref(urbData);
            return Refuse(client, EINVAL);
        }
        UMockdevIoctlData* buffer = Resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                            static_cast<std::size_t>(urb->buffer_length));
        if (!buffer) {
            g_object_unref(urbData);
            return Refuse(client, EFAULT);
        }
        TUrb entry{client,
                   urbData,
                   buffer,
                   s.Generation,
                   urb->type,
                   urb->endpoint,
                   static_cast<std::size_t>(urb->buffer_length)};
        if (entry.Type == USBDEVFS_URB_TYPE_CONTROL) {
            // A silent device leaves a string request waiting until the
            // host discards it.
            const bool stringRequest = entry.Length >= 8 && buffer->data[0] == 0x80 &&
                                       buffer->data[1] == 6 && buffer->data[3] == 3;
            if (!(s.Options.SilentStrings && stringRequest)) {
                std::size_t answered = 0;
                entry.Status = s.Control(buffer->data, entry.Length, answered, now);
                entry.Filled = answered;
                entry.Done = true;
            }
        }
        s.Urbs.push_back(entry);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        uint64_t address = 0;
        if (arg->data_len >= static_cast<gint>(sizeof address))
            std::memcpy(&address, arg->data, sizeof address);
        for (TUrb& urb : s.Urbs) {
            if (urb.Client == client && urb.Urb->client_addr == address && !urb.Done) {
                urb.Done = true;
                urb.Status = -ECONNRESET;
                umockdev_ioctl_client_complete(client, 0, 0);
                return TRUE;
            }
        }
        return Refuse(client, EINVAL);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        auto found = std::find_if(s.Urbs.begin(), s.Urbs.end(), [&](const TUrb& urb) {
            return urb.Client == client && urb.Done;
        });
        if (found == s.Urbs.end())
            return Refuse(client, current ? EAGAIN : ENODEV);
        UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*));
        if (!slot)
            return Refuse(client, EFAULT);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(found->Urb->data);
        urb->status = found->Status;
        urb->actual_length = static_cast<int>(found->Filled);
        umockdev_ioctl_data_set_ptr(slot, 0, found->Urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        s.Drop(*found);
        s.Urbs.erase(found);
        return TRUE;
    }
    default:
        return Refuse(client, current ? ENOTTY : ENODEV);
    }
}

void ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* context = static_cast<THandlerContext*>(user);
    TEmulatedBridge::TState& s = *context->State;
    std::lock_guard lock(s.Lock);
    s.LetGo(client);
    for (auto it = s.Urbs.begin(); it != s.Urbs.end();) {
        if (it->Client == client) {
            s.Drop(*it);
            it = s.Urbs.erase(it);
        } else {
            ++it;
        }
    }
}

void FreeContext(gpointer data, GClosure*)
{
    delete static_cast<THandlerContext*>(data);
}

} // namespace

TUsbTestbed::TUsbTestbed() : FTestbed(umockdev_testbed_new())
{
    if (!FTestbed)
        throw std::runtime_error("cannot create the umockdev testbed");
}

TUsbTestbed::~TUsbTestbed()
{
    FBridges.clear();
    // Releasing the testbed removes its folder.
    g_object_unref(FTestbed);
}

bool TUsbTestbed::InMockEnvironment()
{
    // umockdev's own test looks only at UMOCKDEV_DIR; what counts here is
    // whether its library has been preloaded.
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (preload)
        dlclose(preload);
    return preload != nullptr;
}

std::string TUsbTestbed::RootDir() const
{
    gchar* root = umockdev_testbed_get_root_dir(FTestbed);
    std::string result(root);
    g_free(root);
    return result;
}

TEmulatedBridge& TUsbTestbed::AddBridge(const TBridgeOptions& options)
{
    FBridges.push_back(std::unique_ptr<TEmulatedBridge>(new TEmulatedBridge(*this, options)));
    return *FBridges.back();
}

TEmulatedBridge::TEmulatedBridge(TUsbTestbed& bus, const TBridgeOptions& options)
    : FBus(bus), FOptions(options), FState(std::make_shared<TState>(options))
{
    Plug();
}

TEmulatedBridge::~TEmulatedBridge()
{
    if (Plugged())
        umockdev_testbed_remove_device(FBus.FTestbed, FSysPath.c_str());
    for (const THandler& handler : FHandlers) {
        g_signal_handler_disconnect(handler.Object, handler.Ioctl);
        g_signal_handler_disconnect(handler.Object, handler.Vanished);
        g_object_unref(handler.Object);
    }
    // A request still being answered finds no device.
    std::lock_guard lock(FState->Lock);
    FState->Plugged = false;
    for (TUrb& urb : FState->Urbs)
        FState->Drop(urb);
    FState->Urbs.clear();
}

void TEmulatedBridge::Plug()
{
    const int devnum = FBus.FNextDevNum++;
    char number[8], node[32], name[16];
    std::snprintf(number, sizeof number, "%03d", devnum);
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    std::snprintf(name, sizeof name, "usb1/1-%d", devnum);
    char vendor[8], product[8];
    std::snprintf(vendor, sizeof vendor, "%04x", FOptions.Vendor);
    std::snprintf(product, sizeof product, "%04x", FOptions.Product);
    const std::string devnumText = std::to_string(devnum) + "\n";
    // The device node's number, as the kernel gives USB devices (major 189).
    const std::string major = "189:" + std::to_string(devnum - 1) + "\n";

    gchar* path = umockdev_testbed_add_device(
        FBus.FTestbed, "usb", name, nullptr,
        // attributes
        "busnum", "1\n", "devnum", devnumText.c_str(), "speed", "12\n", "bConfigurationValue",
        "1\n", "dev", major.c_str(), "idVendor", vendor, "idProduct", product, "product",
        FOptions.Description.c_str(), "serial", FOptions.Serial.c_str(), nullptr,
        // properties
        "DEVNAME", node, "DEVTYPE", "usb_device", "BUSNUM", "001", "DEVNUM", number, nullptr);
    if (!path)
        throw std::runtime_error("cannot add a USB device to the testbed");
    FSysPath = path;
    g_free(path);
    FDevNode = node;
    // The device node itself: a plain file in the testbed (umockdev records
    // only its device number).
    const std::string nodeFile = FBus.RootDir() + node;
    g_mkdir_with_parents(nodeFile.substr(0, nodeFile.rfind('/')).c_str(), 0755);
    if (!g_file_test(nodeFile.c_str(), G_FILE_TEST_EXISTS))
        g_file_set_contents(nodeFile.c_str(), "", 0, nullptr);

    std::vector<uint8_t> descriptors = DeviceDescriptor(FOptions);
    const std::vector<uint8_t> config = ConfigDescriptor();
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    umockdev_testbed_set_attribute_binary(FBus.FTestbed, FSysPath.c_str(), "descriptors",
                                          descriptors.data(),
                                          static_cast<gint>(descriptors.size()));

    {
        std::lock_guard lock(FState->Lock);
        ++FState->Generation;
        FState->Plugged = true;
        FState->Baud = 9600;
        FState->DataValue = 8;
        FState->Latency = 16;
        FState->Wire.clear();
        FState->Reset(TClock::now());
    }

    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    const int generation = FState->Generation;
    const gulong ioctl = g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(HandleIoctl),
                                               new THandlerContext{FState, generation}, FreeContext,
                                               GConnectFlags(0));
    const gulong vanished = g_signal_connect_data(
        handler, "client-vanished", G_CALLBACK(ClientVanished),
        new THandlerContext{FState, generation}, FreeContext, GConnectFlags(0));
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(FBus.FTestbed, FDevNode.c_str(), handler, &error)) {
        const std::string message = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        g_signal_handler_disconnect(handler, ioctl);
        g_signal_handler_disconnect(handler, vanished);
        g_object_unref(handler);
        throw std::runtime_error("cannot attach the bridge's ioctl handler: " + message);
    }
    FHandlers.push_back({handler, ioctl, vanished});
}

void TEmulatedBridge::Unplug()
{
    if (!Plugged())
        return;
    // The remove event goes first: removing the device sends none.
    umockdev_testbed_uevent(FBus.FTestbed, FSysPath.c_str(), "remove");
    {
        std::lock_guard lock(FState->Lock);
        FState->Plugged = false;
        FState->Model.Disconnect();
        FState->Claimer = nullptr;
        for (TUrb& urb : FState->Urbs) {
            if (!urb.Done) {
                urb.Done = true;
                urb.Status = -ENODEV;
            }
        }
    }
    umockdev_testbed_remove_device(FBus.FTestbed, FSysPath.c_str());
}

void TEmulatedBridge::Replug()
{
    if (Plugged())
        return;
    Plug();
    umockdev_testbed_uevent(FBus.FTestbed, FSysPath.c_str(), "add");
}

bool TEmulatedBridge::Plugged() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Plugged;
}

void TEmulatedBridge::SetOutStalled(bool stalled)
{
    std::lock_guard lock(FState->Lock);
    FState->OutStalled = stalled;
}

void TEmulatedBridge::MarkLineErrors(uint8_t bits, unsigned packets)
{
    std::lock_guard lock(FState->Lock);
    FState->LineErrorBits = bits;
    FState->LineErrorPackets = packets;
}

void TEmulatedBridge::SetClaimRefusal(int error)
{
    std::lock_guard lock(FState->Lock);
    FState->ClaimRefusal = error;
}

std::vector<TWireRequest> TEmulatedBridge::WireRequests() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Wire;
}

void TEmulatedBridge::ClearWireRequests()
{
    std::lock_guard lock(FState->Lock);
    FState->Wire.clear();
}

uint32_t TEmulatedBridge::BaudRate() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Baud;
}

uint8_t TEmulatedBridge::LatencyMs() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Latency;
}

std::vector<TSampleSent> TEmulatedBridge::TakeSentSamples()
{
    std::lock_guard lock(FState->Lock);
    return std::exchange(FState->Samples, {});
}

uint64_t TEmulatedBridge::BytesToController() const
{
    std::lock_guard lock(FState->Lock);
    return FState->BytesToController;
}

bool TEmulatedBridge::Claimed() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Claimer != nullptr;
}

VarnelSim::TKnockOutcome TEmulatedBridge::Knock()
{
    std::lock_guard lock(FState->Lock);
    // The model acts at its own time: bring it up to now first.
    FState->Pump(TClock::now());
    return FState->Model.Knock();
}

VarnelSim::TModelStats TEmulatedBridge::ModelStats() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Model.Stats();
}

} // namespace VarnelUsb
