// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/publish/LabMetrics.h"

#include "console/model/LockHistory.h"

#include <QTimer>

TLabMetrics::TLabMetrics(const TLockHistory& history, const QString& listen, const QString& version,
                         QObject* parent)
    : QObject(parent), FHistory(history), FVersion(version),
      FEndpoint(std::make_unique<TMetricsEndpoint>(listen))
{
    if (!FEndpoint->IsListening())
        return;
    connect(&FHistory, &TLockHistory::FactsChanged, this, &TLabMetrics::Refresh);
    FTimer = new QTimer(this);
    FTimer->setInterval(RefreshIntervalMsec);
    connect(FTimer, &QTimer::timeout, this, &TLabMetrics::Refresh);
    FTimer->start();
    Refresh();
}

TLabMetrics::~TLabMetrics() = default;

void TLabMetrics::SetMoreFacts(TMoreFacts more)
{
    FMore = std::move(more);
    Refresh();
}

void TLabMetrics::Refresh()
{
    if (!FEndpoint->IsListening())
        return;
    TMetricsSnapshot snapshot;
    snapshot.Facts = FHistory.Facts();
    FTotals.Total(snapshot.Facts);
    snapshot.Version = FVersion;
    if (FMore)
        FMore(snapshot);
    FEndpoint->SetSnapshot(snapshot);
}
