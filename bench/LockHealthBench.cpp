// SPDX-License-Identifier: GPL-3.0-or-later
// Lock health under a flapping controller: what a refresh (the figures the
// facts take once a second) costs after N status changes, what one status
// change costs, and a whole second of changes at the line rate with its
// refresh. None of it may grow with N: the goal is a refresh under 100 us
// after 2,000,000 changes as after 1,000, where a history of one span per
// change took 7.6 ms; history_entries (buckets and relock entries) stays at
// its bound.
#include "console/model/LockHealth.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

namespace {

// A controller that flipped between locked and unlocked every millisecond,
// `changes` times, with a relock every second.
void Flap(TLockHealth& health, qint64& now, int64_t changes)
{
    health.LinkUp(QStringLiteral("KW000001"));
    for (int64_t change = 0; change < changes; ++change) {
        health.Status(change % 2 == 0 ? 3 : 4);
        if (change % 1000 == 0)
            health.Relocked(4000 + change % 7000);
        ++now;
    }
}

void BM_RefreshAfterChanges(benchmark::State& state)
{
    qint64 now = 0;
    TLockHealth health;
    health.SetClock([&now] { return now; });
    Flap(health, now, state.range(0));
    int64_t change = 0;
    for (auto _ : state) {
        // A refresh a second, as the supervision's timer does, the
        // controller still flapping.
        now += 1000;
        health.Status(change++ % 2 == 0 ? 3 : 4);
        benchmark::DoNotOptimize(health.LockedFractionHour());
        benchmark::DoNotOptimize(health.LockedFractionDay());
        benchmark::DoNotOptimize(health.SlowestRelockMsec());
    }
    state.counters["history_entries"] = static_cast<double>(health.HistoryEntries());
}
BENCHMARK(BM_RefreshAfterChanges)->Arg(1000)->Arg(2000000)->Unit(benchmark::kMicrosecond);

void BM_StatusChange(benchmark::State& state)
{
    qint64 now = 0;
    TLockHealth health;
    health.SetClock([&now] { return now; });
    health.LinkUp(QStringLiteral("KW000001"));
    int64_t change = 0;
    for (auto _ : state) {
        health.Status(change++ % 2 == 0 ? 3 : 4);
        ++now;
    }
    state.counters["history_entries"] = static_cast<double>(health.HistoryEntries());
}
BENCHMARK(BM_StatusChange)->Unit(benchmark::kNanosecond);

// A second of a controller flapping at the line rate (768 status frames, each
// a change) and its refresh: the whole cost of lock health for that second.
void BM_SecondAtTheLineRate(benchmark::State& state)
{
    qint64 now = 0;
    TLockHealth health;
    health.SetClock([&now] { return now; });
    Flap(health, now, state.range(0));
    int64_t change = 0;
    for (auto _ : state) {
        for (int frame = 0; frame < 768; ++frame) {
            health.Status(change++ % 2 == 0 ? 3 : 4);
            now += 1000 / 768 + (frame % 3 == 0 ? 1 : 0);
        }
        benchmark::DoNotOptimize(health.LockedFractionHour());
        benchmark::DoNotOptimize(health.LockedFractionDay());
        benchmark::DoNotOptimize(health.SlowestRelockMsec());
    }
    state.counters["history_entries"] = static_cast<double>(health.HistoryEntries());
}
BENCHMARK(BM_SecondAtTheLineRate)->Arg(1000)->Arg(2000000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
