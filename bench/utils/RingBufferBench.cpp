#include "utils/RingBuffer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

using orvanta::audio::RingBuffer;

namespace {

// One audio block in and out, as the audio thread and the sender do.
void RingBuffer_ProduceConsume(benchmark::State& state) {
    const auto block = static_cast<unsigned int>(state.range(0));
    RingBuffer<float> ring(48000);
    std::vector<float> in(block, 0.25f), out(block);
    for (auto _ : state) {
        ring.produce(in.data(), block);
        ring.consume(out.data(), block);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * block);
}

// Producer and consumer on two threads; items per second across the pair.
void RingBuffer_TwoThreads(benchmark::State& state) {
    const auto block = static_cast<unsigned int>(state.range(0));
    RingBuffer<float> ring(48000);
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        std::vector<float> out(block);
        while (!done) {
            if (ring.getAvailableItemsToConsume() >= block)
                ring.consume(out.data(), block);
        }
    });
    std::vector<float> in(block, 0.5f);
    for (auto _ : state) {
        while (ring.getAvailableItemsToProduce() < block) {
        }
        ring.produce(in.data(), block);
    }
    done = true;
    consumer.join();
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * block);
}

} // namespace

BENCHMARK(RingBuffer_ProduceConsume)->Arg(240)->Arg(24000);
BENCHMARK(RingBuffer_TwoThreads)->Arg(240)->UseRealTime();
