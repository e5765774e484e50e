// SPDX-License-Identifier: GPL-3.0-or-later
// One first-in first-out list of calls that the main thread runs in posting
// order. Any thread may post; a post either returns at once or waits until the
// main thread has run the call. The main thread is woken through its event
// loop, with at most one wake-up outstanding however many calls are posted.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Whoever calls on the main thread through the list owns the calls it posts:
// when the owner goes, its calls that have not run are dropped, and calls
// posted for it later are never run. Live on the main thread only, since
// that is where calls run.
class TMainThreadCallOwner
{
public:
    using TToken = std::weak_ptr<const void>;

    TMainThreadCallOwner();
    ~TMainThreadCallOwner();
    TMainThreadCallOwner(const TMainThreadCallOwner&) = delete;
    TMainThreadCallOwner& operator=(const TMainThreadCallOwner&) = delete;

    // What a call carries; any thread may keep a copy and post with it.
    TToken Token() const { return FAlive; }

private:
    std::shared_ptr<const void> FAlive;
};

class TMainThreadCallList
{
public:
    using TCall = std::function<void()>;

    // The process-wide list.
    static TMainThreadCallList& Instance();

    TMainThreadCallList(const TMainThreadCallList&) = delete;
    TMainThreadCallList& operator=(const TMainThreadCallList&) = delete;

    // Appends a call and returns at once. The call runs only while its owner
    // lives.
    void Post(TCall call, TMainThreadCallOwner::TToken owner);

    // Appends a call and blocks until the main thread has run it, or until it
    // is dropped with its owner. On the main thread itself the call runs at
    // once if its owner lives.
    void PostAndWait(TCall call, TMainThreadCallOwner::TToken owner);

    // Runs pending calls on the calling thread, oldest first, until the list
    // is empty. Meant for the main thread, e.g. while it waits for a thread
    // that may be blocked in PostAndWait. Returns whether anything ran.
    bool RunPending();

    std::size_t PendingCount() const;

    // True on the thread that runs the application's event loop.
    static bool IsMainThread();

private:
    // Only the process-wide instance exists: the event loop's wake-up refers
    // to it and may arrive at any later time.
    TMainThreadCallList() = default;

    friend class TMainThreadCallOwner;

    struct TEntry
    {
        TCall Call;
        TMainThreadCallOwner::TToken Owner;
    };

    void Append(TEntry entry);
    // Removes the pending calls whose owner is gone.
    void DropOrphans();
    bool RunOne();
    // The event-loop side: runs the calls that were pending when it started.
    void RunWoken();

    mutable std::mutex FLock;
    std::deque<TEntry> FCalls;
    bool FWakePending = false;
};
