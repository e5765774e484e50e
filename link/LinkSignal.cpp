// SPDX-License-Identifier: GPL-3.0-or-later
#include "LinkSignal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

struct TLinkSignal::TState
{
    std::atomic<uint64_t> Raised{0};
    std::mutex Lock;
    // The wake-up descriptor of every thread inside Wait.
    std::vector<int> Waiters;
    std::vector<int> Watched;
};

namespace {

// Each waiting thread has its own wake-up descriptor, made at its first wait
// and closed when the thread ends.
struct TWakeUp
{
    int Descriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~TWakeUp()
    {
        if (Descriptor >= 0)
            ::close(Descriptor);
    }
    void Drain() const
    {
        uint64_t value = 0;
        while (::read(Descriptor, &value, sizeof value) > 0) {
        }
    }
};

} // namespace

TLinkSignal& TLinkSignal::Instance()
{
    static TLinkSignal signal;
    return signal;
}

TLinkSignal::TState& TLinkSignal::State()
{
    static TState state;
    return state;
}

void TLinkSignal::Raise()
{
    TState& state = State();
    std::lock_guard lock(state.Lock);
    ++state.Raised;
    const uint64_t one = 1;
    for (const int waiter : state.Waiters)
        [[maybe_unused]] const ssize_t written = ::write(waiter, &one, sizeof one);
}

uint64_t TLinkSignal::Raised() const
{
    return State().Raised.load();
}

void TLinkSignal::Watch(int descriptor)
{
    TState& state = State();
    std::lock_guard lock(state.Lock);
    state.Watched.push_back(descriptor);
}

void TLinkSignal::Unwatch(int descriptor)
{
    {
        TState& state = State();
        std::lock_guard lock(state.Lock);
        const auto it = std::find(state.Watched.begin(), state.Watched.end(), descriptor);
        if (it != state.Watched.end())
            state.Watched.erase(it);
    }
    // A waiter may be polling the descriptor that is about to be closed.
    Raise();
}

void TLinkSignal::Wait(uint64_t seen, std::chrono::milliseconds timeout, bool watchPorts)
{
    thread_local TWakeUp wakeUp;
    TState& state = State();
    std::vector<pollfd> entries;
    {
        std::lock_guard lock(state.Lock);
        if (state.Raised.load() != seen)
            return;
        entries.push_back({wakeUp.Descriptor, POLLIN, 0});
        if (watchPorts)
            for (const int descriptor : state.Watched)
                entries.push_back({descriptor, POLLIN, 0});
        state.Waiters.push_back(wakeUp.Descriptor);
    }
    const int timeoutMs = static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1 << 30));
    while (::poll(entries.data(), entries.size(), timeoutMs) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(state.Lock);
    state.Waiters.erase(std::find(state.Waiters.begin(), state.Waiters.end(), wakeUp.Descriptor));
    wakeUp.Drain();
}
