// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/TraceBuffer.h"

#include <algorithm>

TTraceBuffer::TTraceBuffer(int refreshMsec, QObject* parent)
    : QObject(parent), FRefreshMsec(std::max(refreshMsec, 0))
{
    FValues.reserve(Capacity + 1);
    FFallbackTimer.setSingleShot(true);
    connect(&FFallbackTimer, &QTimer::timeout, this, &TTraceBuffer::Refresh);
    // Counted from here as from a refresh: the first samples are drawn one
    // interval on, as any others.
    FSinceRefresh.start();
}

void TTraceBuffer::Append(double value)
{
    if (FValues.size() >= Capacity)
        FValues.removeFirst();
    FValues.append(value);
    FUnshown = true;
    if (FRefreshQueued)
        return;
    const qint64 elapsed = FSinceRefresh.elapsed();
    if (elapsed >= FRefreshMsec) {
        // After the rest of the delivery, so that its later samples are
        // drawn with this one.
        FRefreshQueued = true;
        QMetaObject::invokeMethod(this, &TTraceBuffer::Refresh, Qt::QueuedConnection);
        return;
    }
    if (!FFallbackTimer.isActive())
        FFallbackTimer.start(static_cast<int>(2 * qint64{FRefreshMsec} - elapsed));
}

void TTraceBuffer::Refresh()
{
    FRefreshQueued = false;
    FFallbackTimer.stop();
    if (!FUnshown)
        return;
    FUnshown = false;
    FSinceRefresh.start();
    emit Refreshed();
}

double TTraceBuffer::Low() const
{
    return FValues.isEmpty() ? 0 : *std::min_element(FValues.begin(), FValues.end());
}

double TTraceBuffer::High() const
{
    return FValues.isEmpty() ? 0 : *std::max_element(FValues.begin(), FValues.end());
}
