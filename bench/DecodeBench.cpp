// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the decode path: the frame scan over a large buffer of good
// frames, bad frames and noise, delivering into a sink that only counts.
#include "protocol/ReadFrameUnit.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

class TCountingSink : public TVarnelFrameSink
{
public:
    uint64_t Messages = 0;
    uint64_t CRCErrors = 0;

    void Queue(TSyncProc1P, uint32_t p1) override { Messages += p1 | 1; }
    void Queue(TSyncProc2P, uint32_t p1, uint32_t) override { Messages += p1 | 1; }
    void Synchronize(TSyncProc1P, uint32_t p1) override { Messages += p1 | 1; }
    void Synchronize(TSyncProc2P, uint32_t p1, uint32_t) override { Messages += p1 | 1; }
    void QueueCRCError() override { ++CRCErrors; }
};

// A reader-sized buffer: mostly good frames of the ids the controller streams,
// one in twenty with a broken checksum, one in ten followed by a few noise
// bytes. Returns the number of frames (good and bad) it holds.
uint64_t FillMixedStream(std::vector<uint8_t>& buffer)
{
    static constexpr uint8_t ids[] = {1, 3, 4, 5, 8, 9, 18, 53, 93, 124, 7};
    std::mt19937 random(20240601);
    std::vector<uint8_t> stream;
    uint64_t frames = 0;
    while (stream.size() + 8 < buffer.size()) {
        const uint8_t id = ids[random() % std::size(ids)];
        const auto b2 = static_cast<uint8_t>(random());
        const auto b3 = static_cast<uint8_t>(random());
        auto checksum = static_cast<uint8_t>(0u - (0xAAu + id + b2 + b3));
        if (random() % 20 == 0)
            ++checksum;
        stream.insert(stream.end(), {0xAA, id, b2, b3, checksum});
        ++frames;
        if (random() % 10 == 0)
            for (unsigned n = random() % 3 + 1; n > 0; --n)
                stream.push_back(static_cast<uint8_t>(random() % 0xAA));
    }
    buffer.assign(stream.begin(), stream.end());
    return frames;
}

void BM_ScanMixedStream(benchmark::State& state)
{
    std::vector<uint8_t> pattern(static_cast<std::size_t>(state.range(0)));
    const uint64_t frames = FillMixedStream(pattern);
    TCountingSink sink;
    // The stream ends on a frame or noise, so nothing is carried over and the
    // scan leaves the buffer as it found it: every pass sees the same bytes.
    if (ScanVarnelFrames(pattern.data(), static_cast<uint32_t>(pattern.size()), sink) != 0) {
        state.SkipWithError("the stream must not end inside a frame");
        return;
    }
    for (auto _ : state) {
        const uint32_t carry =
            ScanVarnelFrames(pattern.data(), static_cast<uint32_t>(pattern.size()), sink);
        benchmark::DoNotOptimize(carry);
    }
    benchmark::DoNotOptimize(sink.Messages);
    const double totalFrames =
        static_cast<double>(frames) * static_cast<double>(state.iterations());
    state.counters["frames_per_second"] =
        benchmark::Counter(totalFrames, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(pattern.size()) * state.iterations());
}

} // namespace

// The reader's buffer size, and a larger stream for a steadier figure.
BENCHMARK(BM_ScanMixedStream)->Arg(TReadVarnelFrameThread::BufferSize)->Arg(1 << 20);

BENCHMARK_MAIN();
