// SPDX-License-Identifier: GPL-3.0-or-later
// What the controller says, with nothing of the link or of Qt: the ids of
// its device messages, the status codes of DeviceStatus with the two
// questions the console asks of them (is the controller busy tuning, is it
// ready for a command), and the kinds of DeviceEvent. The console's protocol
// library and the controller simulator both use these (library
// varnel_frames), so neither side has numbers of its own.
#pragma once

#include <cstdint>

// Every message the controller sends. The answers to read requests carry
// the id of their request (TCommandId); messages 2 and 73 carry nothing the
// console uses.
enum class TMessageId : uint8_t
{
    ScopeSample = 1,
    Unnamed2 = 2,
    DeviceStatus = 3,
    TuningMirrorPosition = 4,
    StabilizationMirrorPosition = 5,
    DeviceEvent = 6,
    CFTTemperature = 8,
    ServiceSample = 9,
    PeakId = 18,
    PhaseValue = 53,
    DelayValue = 55,
    PathGainValue = 57,
    CFTValue = 59,
    PValue = 61,
    IValue = 63,
    DValue = 65,
    PIDGainValue = 67,
    ExpectedPeaksValue = 69,
    ScopeScaleValue = 71,
    Unnamed73 = 73,
    SetPointValue = 77,
    HarmonicValue = 80,
    CFTTemp10Value = 83,
    CFTTemp40Value = 85,
    CFTOffsetValue = 87,
    CFTRawValue = 89,
    ModulationValue = 91,
    FOffsetValue = 93,
    LifetimeHigh = 123,
    LifetimeLow = 124
};

// The id byte of a device message on the wire.
constexpr uint8_t MessageIdByte(TMessageId id)
{
    return static_cast<uint8_t>(id);
}

// The status codes DeviceStatus carries in b2. Codes 6 and 8 mean the same
// to the operator ("learning"), as do 11 and 13 ("tuning - wait"); 9 and
// every code above LastKnown have no text.
namespace StatusCode {
inline constexpr uint8_t NotReady = 0;
inline constexpr uint8_t TuningStart = 1;
inline constexpr uint8_t LockTry = 2;
inline constexpr uint8_t Locked = 3;
inline constexpr uint8_t Unlocked = 4;
inline constexpr uint8_t TuningStop = 5;
inline constexpr uint8_t Learning = 6;
inline constexpr uint8_t Prepare = 7;
inline constexpr uint8_t Learning8 = 8;
inline constexpr uint8_t NoText = 9;
inline constexpr uint8_t TuningError = 10;
inline constexpr uint8_t Wait = 11;
inline constexpr uint8_t Phase = 12;
inline constexpr uint8_t Wait13 = 13;
inline constexpr uint8_t WaitForUser = 14;
inline constexpr uint8_t LastKnown = WaitForUser;
} // namespace StatusCode

// The controller is tuning on its own (start, lock try, prepare, wait,
// phase): a command now would cut into its work.
constexpr bool IsBusyStatus(uint32_t code)
{
    using namespace StatusCode;
    return code == TuningStart || code == LockTry || code == Prepare || code == Wait ||
           code == Phase || code == Wait13;
}

// The controller can take a command: not "not ready", and a code the console
// has a text for.
constexpr bool IsReadyStatus(uint32_t code)
{
    return code != StatusCode::NotReady && code != StatusCode::NoText &&
           code <= StatusCode::LastKnown;
}

// The kinds of DeviceEvent (b2); b3 carries the peak id.
namespace EventKind {
// The laser reached the peak in b3.
inline constexpr uint8_t Peak = 1;
// Something the operator should hear, with no peak.
inline constexpr uint8_t Notice = 2;
// The tuning stopped with an error.
inline constexpr uint8_t CriticalStop = 3;
} // namespace EventKind
