// SPDX-License-Identifier: GPL-3.0-or-later
// Waiting, with the event loop running, for a Prometheus query's value.
#pragma once

#include "PrometheusProcess.h"

#include <QTest>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

// The value of the query's only series once it satisfies `accept`, within
// the limit; NaN when it never does.
inline double WaitForValue(VarnelHttp::TPrometheusProcess& prometheus, const std::string& query,
                           const std::function<bool(double)>& accept, int limitMsec = 60000)
{
    double value = std::nan("");
    (void)QTest::qWaitFor(
        [&] {
            std::vector<VarnelHttp::TPrometheusProcess::TSeries> series;
            if (prometheus.Query(query, series) && series.size() == 1 && accept(series[0].Value)) {
                value = series[0].Value;
                return true;
            }
            return false;
        },
        limitMsec);
    return value;
}
