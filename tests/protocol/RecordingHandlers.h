// SPDX-License-Identifier: GPL-3.0-or-later
// Handlers that record every call, and the helpers the protocol tests share.
#pragma once

#include "DeviceFrames.h"
#include "WaitUntil.h"

#include "protocol/ReadFrameUnit.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct THandlerCall
{
    std::string Name;
    uint32_t P1 = 0;
    uint32_t P2 = 0;

    bool operator==(const THandlerCall&) const = default;
};

inline void PrintTo(const THandlerCall& call, std::ostream* out)
{
    *out << call.Name << "(" << call.P1 << ", " << call.P2 << ")";
}

class TRecordingHandlers : public TVarnelMessageHandlers
{
public:
    std::vector<THandlerCall> Calls;
    int CRCErrors = 0;
    int LinkLost = 0;
    int OffMainThread = 0;
    // Called at the end of every recorded call, e.g. to stop a reader.
    std::function<void()> AfterCall;

    // Calls other than CRC errors and link-lost notices.
    std::size_t Count() const { return Calls.size(); }

    void HandleScopeSample(uint32_t v) override { Note("ScopeSample", v); }
    void HandleDeviceStatus(uint32_t c, uint32_t b3) override { Note("DeviceStatus", c, b3); }
    void HandleTuningMirrorPosition(uint32_t v) override { Note("TuningMirrorPosition", v); }
    void HandleStabilizationMirrorPosition(uint32_t v) override
    {
        Note("StabilizationMirrorPosition", v);
    }
    void HandleDeviceEvent(uint32_t k, uint32_t n) override { Note("DeviceEvent", k, n); }
    void HandleCFTTemperature(uint32_t v) override { Note("CFTTemperature", v); }
    void HandleServiceSample(uint32_t v) override { Note("ServiceSample", v); }
    void HandlePeakId(uint32_t v) override { Note("PeakId", v); }
    void HandlePhaseValue(uint32_t v) override { Note("PhaseValue", v); }
    void HandleDelayValue(uint32_t v) override { Note("DelayValue", v); }
    void HandlePathGainValue(uint32_t v) override { Note("PathGainValue", v); }
    void HandleCFTValue(uint32_t v) override { Note("CFTValue", v); }
    void HandlePValue(uint32_t v) override { Note("PValue", v); }
    void HandleIValue(uint32_t v) override { Note("IValue", v); }
    void HandleDValue(uint32_t v) override { Note("DValue", v); }
    void HandlePIDGainValue(uint32_t v) override { Note("PIDGainValue", v); }
    void HandleExpectedPeaksValue(uint32_t v) override { Note("ExpectedPeaksValue", v); }
    void HandleScopeScaleValue(uint32_t v) override { Note("ScopeScaleValue", v); }
    void HandleSetPointValue(uint32_t v) override { Note("SetPointValue", v); }
    void HandleHarmonicValue(uint32_t v) override { Note("HarmonicValue", v); }
    void HandleCFTTemp10Value(uint32_t v) override { Note("CFTTemp10Value", v); }
    void HandleCFTTemp40Value(uint32_t v) override { Note("CFTTemp40Value", v); }
    void HandleCFTOffsetValue(uint32_t v) override { Note("CFTOffsetValue", v); }
    void HandleCFTRawValue(uint32_t v) override { Note("CFTRawValue", v); }
    void HandleModulationValue(uint32_t v) override { Note("ModulationValue", v); }
    void HandleFOffsetValue(uint32_t v) override { Note("FOffsetValue", v); }
    void HandleLifetimeHigh(uint32_t v) override { Note("LifetimeHigh", v); }
    void HandleLifetimeLow(uint32_t v) override { Note("LifetimeLow", v); }
    void HandleCRCError() override
    {
        CheckThread();
        ++CRCErrors;
    }
    void HandleLinkLost() override
    {
        CheckThread();
        ++LinkLost;
    }

private:
    void Note(const char* name, uint32_t p1, uint32_t p2 = 0)
    {
        CheckThread();
        Calls.push_back({name, p1, p2});
        if (AfterCall)
            AfterCall();
    }
    void CheckThread();
};

// Concatenates byte sequences.
std::vector<uint8_t> Bytes(std::initializer_list<std::vector<uint8_t>> parts);
