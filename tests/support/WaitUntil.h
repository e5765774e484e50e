// SPDX-License-Identifier: GPL-3.0-or-later
// The one way tests wait for something on the main thread: its event loop
// (and with it the calls posted to the main thread) runs until the condition
// holds or the time is up. Unlike QTest::qWaitFor it never sleeps between
// passes, so a reader that waits for the main thread at every scope sample
// is not held back by the test that watches it.
#pragma once

#include <QEventLoop>
#include <QTimer>

#include <chrono>

template <typename TCondition>
bool WaitUntil(TCondition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds(5), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}
