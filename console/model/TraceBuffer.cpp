// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/TraceBuffer.h"

#include <algorithm>

TTraceBuffer::TTraceBuffer(int refreshMsec, QObject* parent) : QObject(parent)
{
    FValues.reserve(Capacity + 1);
    FRefreshTimer.setSingleShot(true);
    FRefreshTimer.setInterval(refreshMsec);
    connect(&FRefreshTimer, &QTimer::timeout, this, &TTraceBuffer::Refreshed);
}

void TTraceBuffer::Append(double value)
{
    if (FValues.size() >= Capacity)
        FValues.removeFirst();
    FValues.append(value);
    if (!FRefreshTimer.isActive())
        FRefreshTimer.start();
}

double TTraceBuffer::Low() const
{
    return FValues.isEmpty() ? 0 : *std::min_element(FValues.begin(), FValues.end());
}

double TTraceBuffer::High() const
{
    return FValues.isEmpty() ? 0 : *std::max_element(FValues.begin(), FValues.end());
}
