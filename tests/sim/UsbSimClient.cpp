// SPDX-License-Identifier: GPL-3.0-or-later
// A minimal console for varnel-usb-sim's program tests: opens the emulated
// bridge through libftdi, as the console would, and plays one part.
//   usb-sim-client knock             lock on peak 6, SIGUSR1 to varnel-usb-sim
//                                    (the parent), wait for status 4, lock again
//   usb-sim-client count S MIN MAX   count scope samples for S seconds
//   usb-sim-client dropped S         the bridge must vanish within S seconds
// Exit 0 when the part went as expected; what went wrong on standard error.
#include <ftdi.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

struct TFrame
{
    uint8_t Id, B2, B3;
};

class TLine
{
public:
    // No purge: the controller starts when the bridge is claimed, and a
    // purge would throw its first frames away.
    bool Open()
    {
        FFtdi = ftdi_new();
        if (!FFtdi || ftdi_usb_open(FFtdi, 0x0403, 0x6001) != 0)
            return Fail("cannot open the bridge");
        if (ftdi_set_baudrate(FFtdi, 38400) != 0 ||
            ftdi_set_line_property(FFtdi, BITS_8, STOP_BIT_1, NONE) != 0 ||
            ftdi_set_latency_timer(FFtdi, 16) != 0)
            return Fail("cannot set the line up");
        return true;
    }

    ~TLine()
    {
        if (FFtdi) {
            ftdi_usb_close(FFtdi);
            ftdi_free(FFtdi);
        }
    }

    bool Send(uint8_t id, uint8_t a, uint8_t b)
    {
        uint8_t frame[5] = {0xBB, id, a, b,
                            static_cast<uint8_t>((256 - (0xBB + id + a + b) % 256) % 256)};
        return ftdi_write_data(FFtdi, frame, 5) == 5;
    }

    // Frames that arrived since the last call; false when the bridge is gone.
    bool Read(std::vector<TFrame>& frames)
    {
        uint8_t buffer[4096];
        const int got = ftdi_read_data(FFtdi, buffer, sizeof(buffer));
        if (got < 0)
            return false;
        if (got == 0)
            std::this_thread::sleep_for(2ms);
        FData.insert(FData.end(), buffer, buffer + got);
        std::size_t i = 0;
        while (i + 5 <= FData.size()) {
            const uint8_t* f = &FData[i];
            if (f[0] == 0xAA && ((f[0] + f[1] + f[2] + f[3] + f[4]) & 0xFF) == 0) {
                frames.push_back({f[1], f[2], f[3]});
                i += 5;
            } else {
                ++i;
            }
        }
        FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }

    // Reads until status `status` arrives; the peak ids on the way go to peaks.
    bool WaitForStatus(uint8_t status, std::vector<uint8_t>& peaks, TClock::duration limit = 10s)
    {
        const auto end = TClock::now() + limit;
        while (TClock::now() < end) {
            std::vector<TFrame> frames;
            if (!Read(frames))
                return Fail("the bridge went away");
            for (const TFrame& f : frames) {
                if (f.Id == 18)
                    peaks.push_back(f.B2);
                if (f.Id == 3 && f.B2 == status)
                    return true;
            }
        }
        return Fail("no status " + std::to_string(status));
    }

    static bool Fail(const std::string& why)
    {
        std::fprintf(stderr, "usb-sim-client: %s\n", why.c_str());
        return false;
    }

private:
    ftdi_context* FFtdi = nullptr;
    std::vector<uint8_t> FData;
};

bool LockOn(TLine& line, uint8_t peak)
{
    std::vector<uint8_t> peaks;
    if (!line.Send(34, 0, peak) || !line.WaitForStatus(3, peaks))
        return false;
    if (peaks.empty() || peaks.back() != peak)
        return TLine::Fail("locked on another peak");
    return true;
}

bool Knock(TLine& line)
{
    if (!LockOn(line, 6))
        return false;
    std::vector<uint8_t> peaks;
    if (::kill(::getppid(), SIGUSR1) != 0 || !line.WaitForStatus(4, peaks))
        return false;
    return LockOn(line, 6);
}

bool Count(TLine& line, double seconds, long low, long high)
{
    long samples = 0;
    const auto end = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                         std::chrono::duration<double>(seconds));
    while (TClock::now() < end) {
        std::vector<TFrame> frames;
        if (!line.Read(frames))
            return TLine::Fail("the bridge went away");
        for (const TFrame& f : frames)
            samples += f.Id == 1;
    }
    std::printf("%ld\n", samples);
    if (samples < low || samples > high)
        return TLine::Fail(std::to_string(samples) + " scope samples");
    return true;
}

bool Dropped(TLine& line, double seconds)
{
    const auto end = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                         std::chrono::duration<double>(seconds));
    while (TClock::now() < end) {
        std::vector<TFrame> frames;
        if (!line.Read(frames))
            return true;
    }
    return TLine::Fail("the bridge is still there");
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    TLine line;
    if (args.empty() || !line.Open())
        return 1;
    bool ok = false;
    if (args[0] == "knock")
        ok = Knock(line);
    else if (args[0] == "count" && args.size() == 4)
        ok = Count(line, std::atof(args[1].c_str()), std::atol(args[2].c_str()),
                   std::atol(args[3].c_str()));
    else if (args[0] == "dropped" && args.size() == 2)
        ok = Dropped(line, std::atof(args[1].c_str()));
    else
        TLine::Fail("unknown part");
    return ok ? 0 : 1;
}
