// SPDX-License-Identifier: GPL-3.0-or-later
// Wakes the thread that reads the link as soon as there is something for it:
// a bridge port raises the signal when bytes arrive or it fails, or lets the
// signal watch a descriptor that turns readable then. A thread that asks a
// reader to stop raises it too, so a waiting reader sees the request at once.
#pragma once

#include <chrono>
#include <cstdint>

class TLinkSignal
{
public:
    // The process-wide signal.
    static TLinkSignal& Instance();

    TLinkSignal(const TLinkSignal&) = delete;
    TLinkSignal& operator=(const TLinkSignal&) = delete;

    // Wakes every thread waiting now; one that is about to wait with an
    // older count returns at once.
    void Raise();
    // Number of raises so far: read it before looking at the ports, and wait
    // with it, so a raise made in between is never missed.
    uint64_t Raised() const;

    // A descriptor that turns readable when its port has bytes or has failed.
    // Unwatch before closing it.
    void Watch(int descriptor);
    void Unwatch(int descriptor);

    // Waits until a raise after `seen`, a watched descriptor turns readable
    // (when `watchPorts` is set) or `timeout` has passed.
    void Wait(uint64_t seen, std::chrono::milliseconds timeout, bool watchPorts);

private:
    TLinkSignal() = default;
    struct TState;
    static TState& State();
};
