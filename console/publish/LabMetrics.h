// SPDX-License-Identifier: GPL-3.0-or-later
// The metrics endpoint fed from the console's facts: the lock history's
// facts as they change, and the rest (counters, lock health) from a source
// the program gives, taken in once a second. The counters of the facts are
// shown as totals since the start (TMetricsTotals), so it must see every
// change of the facts: it follows them from its construction. Lives on the main thread; the
// endpoint serves what it was last given from threads of its own.
#pragma once

#include "console/model/MetricsText.h"
#include "console/publish/MetricsEndpoint.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class TLockHistory;

class TLabMetrics : public QObject
{
    Q_OBJECT

public:
    // Fills what the lock history does not hold into a snapshot whose
    // facts are already the history's.
    using TMoreFacts = std::function<void(TMetricsSnapshot&)>;

    static constexpr int RefreshIntervalMsec = 1000;

    // Listens at the address ("HOST:PORT"); the history must outlive it.
    TLabMetrics(const TLockHistory& history, const QString& listen, const QString& version,
                QObject* parent = nullptr);
    ~TLabMetrics() override;

    void SetMoreFacts(TMoreFacts more);
    const TMetricsEndpoint& Endpoint() const { return *FEndpoint; }
    // Hands the current facts to the endpoint now.
    void Refresh();

private:
    const TLockHistory& FHistory;
    QString FVersion;
    TMoreFacts FMore;
    TMetricsTotals FTotals;
    std::unique_ptr<TMetricsEndpoint> FEndpoint;
    QTimer* FTimer = nullptr;
};
