// SPDX-License-Identifier: GPL-3.0-or-later
// A virtual USB bus with emulated USB-serial bridges (FT232R) on it, each with
// the simulated controller behind its serial line. The bus lives in a umockdev
// testbed: sysfs, udev and the usbdevfs device nodes are faked, so a program
// running under umockdev's preload library (in this process or a child given
// UMOCKDEV_DIR) opens the bridges through real libusb and libftdi; only the
// kernel is replaced. The bridge answers usbdevfs requests as the chip would:
// bulk-IN packets of at most 64 bytes, each led by the two modem-status bytes,
// sent when 62 bytes wait or when the latency timer expires; bytes toward the
// controller paced at the baud rate the host set.
#pragma once

#include "sim/ControllerModel.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace VarnelUsb {

using TClock = std::chrono::steady_clock;

struct TBridgeOptions
{
    // The product string: ASCII, at most 126 bytes.
    std::string Description = "KWTP Emulated Controller";
    std::string Manufacturer = "KWTP";
    std::string Serial = "KW000001";
    uint16_t Vendor = 0x0403;
    uint16_t Product = 0x6001;
    uint16_t Release = 0x0600; // bcdDevice: 0x0600 is an FT232R
    // Answer no request but the descriptors: a device of another kind.
    bool Foreign = false;
    // Stall the baud-rate request, as a bridge whose firmware refuses it.
    bool StallBaudRate = false;
    // The controller sends as fast as the chip's buffer toward the host
    // takes, not at the baud rate.
    bool Unpaced = false;
    // Never complete a request for a string descriptor (GET_DESCRIPTOR of
    // type string): the host's request waits until it gives up and cancels
    // it, as with a device whose firmware hangs.
    bool SilentStrings = false;
    VarnelSim::TModelOptions Model;
};

// One vendor request as it went over the wire (control transfers of type
// vendor, in order).
struct TWireRequest
{
    uint8_t RequestType;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    bool operator==(const TWireRequest&) const = default;
};

// Vendor requests of the chip.
enum TSioRequest : uint8_t
{
    _sio_reset = 0,
    _sio_set_modem_ctrl = 1,
    _sio_set_flow_ctrl = 2,
    _sio_set_baudrate = 3,
    _sio_set_data = 4,
    _sio_poll_modem_status = 5,
    _sio_set_event_char = 6,
    _sio_set_error_char = 7,
    _sio_set_latency_timer = 9,
    _sio_get_latency_timer = 10,
    _sio_set_bitmode = 11,
    _sio_read_pins = 12,
    _sio_read_eeprom = 0x90,
};

// Values of the reset request: the chip itself, its buffer toward the
// controller, its buffer toward the host.
enum TSioReset : uint16_t
{
    _reset_chip = 0,
    _reset_purge_to_controller = 1,
    _reset_purge_to_host = 2,
};

// A scope sample whose last byte the controller put on the line, and when.
struct TSampleSent
{
    uint16_t Raw;
    TClock::time_point When;
};

class TEmulatedBridge;

class TUsbTestbed
{
public:
    TUsbTestbed();
    ~TUsbTestbed();
    TUsbTestbed(const TUsbTestbed&) = delete;
    TUsbTestbed& operator=(const TUsbTestbed&) = delete;

    // Plugs a new device in; it stays owned by the testbed.
    TEmulatedBridge& AddBridge(const TBridgeOptions& options);
    // The folder a child process needs in UMOCKDEV_DIR.
    std::string RootDir() const;
    // True when this process runs under umockdev's preload library.
    static bool InMockEnvironment();

private:
    friend class TEmulatedBridge;
    UMockdevTestbed* FTestbed;
    std::vector<std::unique_ptr<TEmulatedBridge>> FBridges;
    int FNextDevNum = 2;
};

class TEmulatedBridge
{
public:
    ~TEmulatedBridge();

    // Pulls the device off the bus: a remove event, then every transfer in
    // flight fails with "no device", and so does every later request.
    void Unplug();
    // Plugs it in again, under a new device number.
    void Replug();
    bool Plugged() const;
    // Its device node as programs see it, e.g. "/dev/bus/usb/001/002"; in the
    // testbed it lives under TUsbTestbed::RootDir().
    const std::string& DeviceNode() const { return FDevNode; }

    // While set, transfers toward the controller are taken but never
    // completed, as by a chip whose serial line is held up.
    void SetOutStalled(bool stalled);
    // The next `packets` bulk-in packets carry these bits in their line
    // status byte (the second status byte): 0x02 overrun, 0x04 parity error,
    // 0x08 framing error, 0x10 break, as the chip reports what its serial
    // line met.
    void MarkLineErrors(uint8_t bits, unsigned packets = 1);
    // Claiming the interface fails with this errno (0: it succeeds), as when
    // another program holds the bridge (EBUSY).
    void SetClaimRefusal(int error);

    // Vendor requests received since the device was plugged in (or cleared).
    std::vector<TWireRequest> WireRequests() const;
    void ClearWireRequests();
    // The line as the host set it up.
    uint32_t BaudRate() const;
    uint8_t LatencyMs() const;
    // Scope samples that left the controller since the last call.
    std::vector<TSampleSent> TakeSentSamples();
    // Bytes the controller has received from the host.
    uint64_t BytesToController() const;
    // A program holds the bridge's interface (opened it and has not let go).
    bool Claimed() const;
    // Knocks the controller's laser now (see TControllerModel::Knock).
    VarnelSim::TKnockOutcome Knock();
    // The controller's counters.
    VarnelSim::TModelStats ModelStats() const;

    struct TState;

private:
    friend class TUsbTestbed;
    TEmulatedBridge(TUsbTestbed& bus, const TBridgeOptions& options);
    void Plug();

    TUsbTestbed& FBus;
    TBridgeOptions FOptions;
    std::string FSysPath;
    std::string FDevNode;
    // Shared with the ioctl handlers, which may still run while the bridge
    // goes away.
    std::shared_ptr<TState> FState;
    // The ioctl handler of every plug-in (a UMockdevIoctlBase) and its
    // signal connections, kept until the end.
    struct THandler
    {
        void* Object;
        unsigned long Ioctl;
        unsigned long Vanished;
    };
    std::vector<THandler> FHandlers;
};

} // namespace VarnelUsb
