// One first-in first-out list of calls that the main thread runs in posting
// order. Any thread may post; a post either returns at once or waits until the
// main thread has run the call. The main thread is woken through its event
// loop, with at most one wake-up outstanding however many calls are posted.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

class TMainThreadCallList
{
public:
    using TCall = std::function<void()>;

    // The process-wide list.
    static TMainThreadCallList& Instance();

    TMainThreadCallList(const TMainThreadCallList&) = delete;
    TMainThreadCallList& operator=(const TMainThreadCallList&) = delete;

    // Appends a call and returns at once. A call with an owner tag is dropped
    // by DropOwner if it has not run by then; without a tag it always runs.
    void Post(TCall call, const void* owner = nullptr);

    // Appends a call and blocks until the main thread has run it. On the main
    // thread itself the call runs at once.
    void PostAndWait(TCall call);

    // Removes the pending calls posted with this owner tag.
    void DropOwner(const void* owner);

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

    struct TEntry
    {
        TCall Call;
        const void* Owner = nullptr;
    };

    void Append(TEntry entry);
    bool RunOne();
    // The event-loop side: runs the calls that were pending when it started.
    void RunWoken();

    mutable std::mutex FLock;
    std::deque<TEntry> FCalls;
    bool FWakePending = false;
};
