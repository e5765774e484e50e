// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <future>
#include <memory>

TMainThreadCallOwner::TMainThreadCallOwner() : FAlive(std::make_shared<char>()) {}

TMainThreadCallOwner::~TMainThreadCallOwner()
{
    FAlive.reset();
    TMainThreadCallList::Instance().DropOrphans();
}

TMainThreadCallList& TMainThreadCallList::Instance()
{
    static TMainThreadCallList list;
    return list;
}

bool TMainThreadCallList::IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void TMainThreadCallList::Post(TCall call, TMainThreadCallOwner::TToken owner)
{
    Append({std::move(call), std::move(owner)});
}

void TMainThreadCallList::PostAndWait(TCall call, TMainThreadCallOwner::TToken owner)
{
    if (IsMainThread()) {
        if (!owner.expired())
            call();
        return;
    }
    // The promise is fulfilled once the call has run; an entry destroyed
    // unrun breaks the promise, which also ends the wait.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    Append({[call = std::move(call), done = std::move(done)] {
                call();
                done->set_value();
            },
            std::move(owner)});
    finished.wait();
}

void TMainThreadCallList::Append(TEntry entry)
{
    bool wake = false;
    {
        std::lock_guard guard(FLock);
        FCalls.push_back(std::move(entry));
        if (!FWakePending) {
            FWakePending = true;
            wake = true;
        }
    }
    if (!wake)
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr)
        QMetaObject::invokeMethod(
            app, [this] { RunWoken(); }, Qt::QueuedConnection);
    else {
        std::lock_guard guard(FLock);
        FWakePending = false;
    }
}

void TMainThreadCallList::DropOrphans()
{
    // Destroyed outside the lock: a dropped waited-for call ends its wait.
    std::deque<TEntry> dropped;
    {
        std::lock_guard guard(FLock);
        for (auto it = FCalls.begin(); it != FCalls.end();) {
            if (it->Owner.expired()) {
                dropped.push_back(std::move(*it));
                it = FCalls.erase(it);
            } else {
                ++it;
            }
        }
    }
}

bool TMainThreadCallList::RunOne()
{
    TEntry entry;
    {
        std::lock_guard guard(FLock);
        if (FCalls.empty())
            return false;
        entry = std::move(FCalls.front());
        FCalls.pop_front();
    }
    // Owners go on the main thread only, so one alive now stays alive for the
    // length of the call.
    if (!entry.Owner.expired())
        entry.Call();
    return true;
}

bool TMainThreadCallList::RunPending()
{
    bool ran = false;
    while (RunOne())
        ran = true;
    return ran;
}

void TMainThreadCallList::RunWoken()
{
    std::size_t count = 0;
    {
        std::lock_guard guard(FLock);
        // From here on a new post wakes the loop again, so nothing posted
        // during this batch can be left behind.
        FWakePending = false;
        count = FCalls.size();
    }
    // Only the batch present now: a steady stream of posts then cannot keep
    // the event loop from painting and handling input.
    for (; count > 0 && RunOne(); --count) {
    }
}

std::size_t TMainThreadCallList::PendingCount() const
{
    std::lock_guard guard(FLock);
    return FCalls.size();
}
