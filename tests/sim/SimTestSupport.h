// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the simulator tests: device frames cut from the model's
// output and a clock that only moves when told.
#pragma once

#include "sim/ControllerModel.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace VarnelSimTest {

using namespace std::chrono_literals;
using VarnelSim::TClock;

// Written out here rather than taken from the code under test.
inline bool ChecksumOK(const uint8_t* f)
{
    return ((f[0] + f[1] + f[2] + f[3] + f[4]) & 0xFF) == 0;
}

inline std::vector<uint8_t> Command(uint8_t id, uint8_t a = 0, uint8_t b = 0)
{
    return {0xBB, id, a, b, static_cast<uint8_t>((256 - (0xBB + id + a + b) % 256) % 256)};
}

struct TFrame
{
    uint8_t Id;
    uint8_t B2;
    uint8_t B3;
    TClock::time_point At; // when it was taken from the model
    uint16_t Value() const { return static_cast<uint16_t>(B2 | B3 << 8); }
};

// Drives a model like a line would: the clock in small steps, the output
// taken after every step. Frames must arrive whole and intact.
class TDriver
{
public:
    explicit TDriver(VarnelSim::TControllerModel& model) : FModel(model) {}

    void Connect() { FModel.Connect(FNow); }
    void Send(const std::vector<uint8_t>& bytes) { FModel.Receive(bytes.data(), bytes.size()); }

    // Runs for the given time and returns the frames that came out.
    std::vector<TFrame> Run(TClock::duration length, TClock::duration step = 10ms)
    {
        std::vector<TFrame> frames;
        const TClock::time_point end = FNow + length;
        while (FNow < end) {
            FNow = std::min(end, FNow + step);
            FModel.AdvanceTo(FNow);
            const std::vector<uint8_t> bytes = FModel.TakeOutput();
            FRaw.insert(FRaw.end(), bytes.begin(), bytes.end());
            for (std::size_t i = 0; i + 5 <= bytes.size(); i += 5)
                frames.push_back({bytes[i + 1], bytes[i + 2], bytes[i + 3], FNow});
        }
        return frames;
    }

    // Runs until a frame with this id arrives (or the time is up).
    std::vector<TFrame> RunUntil(uint8_t id, TClock::duration limit)
    {
        std::vector<TFrame> frames;
        const TClock::time_point end = FNow + limit;
        while (FNow < end) {
            for (const TFrame& f : Run(10ms)) {
                frames.push_back(f);
                if (f.Id == id)
                    return frames;
            }
        }
        return frames;
    }

    TClock::time_point Now() const { return FNow; }
    const std::vector<uint8_t>& Raw() const { return FRaw; }

private:
    VarnelSim::TControllerModel& FModel;
    TClock::time_point FNow{std::chrono::hours(1)};
    std::vector<uint8_t> FRaw;
};

inline std::vector<TFrame> Only(const std::vector<TFrame>& frames, uint8_t id)
{
    std::vector<TFrame> out;
    for (const TFrame& f : frames)
        if (f.Id == id)
            out.push_back(f);
    return out;
}

// The tuning story told by the frames: "s7" for status 7, "e1:6" for an
// event of kind 1 at peak 6, "p6" for peak id 6; everything else left out.
inline std::vector<std::string> Story(const std::vector<TFrame>& frames)
{
    std::vector<std::string> story;
    for (const TFrame& f : frames) {
        if (f.Id == 3)
            story.push_back("s" + std::to_string(f.B2));
        else if (f.Id == 6)
            story.push_back("e" + std::to_string(f.B2) + ":" + std::to_string(f.B3));
        else if (f.Id == 18)
            story.push_back("p" + std::to_string(f.B2));
    }
    return story;
}

} // namespace VarnelSimTest
