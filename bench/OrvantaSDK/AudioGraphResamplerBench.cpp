#include "OrvantaSDK/AudioGraphResampler.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

using namespace orvanta;

namespace {

// One host block of `frames` at `rate` through a processor-style resampler
// (to 24 kHz, a copying callback, back to the host rate); items are host
// frames, so the rate shows how much faster than real time it runs.
void roundTrip(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const int frames = rate / 100; // 10 ms blocks
    AudioGraphResampler resampler(24000, 240);
    resampler.setNumberOfBuses(1, 1);
    resampler.setProcessCallback([](AudioBusList& in, AudioBusList& out) {
        std::memcpy(out[0].getBuffer()->getWritePointer(0), in[0].getBuffer()->getReadPointer(0),
                    sizeof(float) * static_cast<std::size_t>(in[0].getNumberOfFrames()));
        return true;
    });
    resampler.prepare(rate);
    AudioBuffer<float> in(1, frames, rate);
    AudioBuffer<float> out(1, frames, rate);
    for (int i = 0; i < frames; ++i)
        in.getWritePointer(0)[i] = 0.5f * std::sin(0.05f * static_cast<float>(i));
    AudioBusList ins;
    ins.push_back(AudioBus(&in));
    AudioBusList outs;
    outs.push_back(AudioBus(&out));
    for (auto _ : state) {
        resampler.process(ins, outs);
        benchmark::DoNotOptimize(out.getReadPointer(0)[0]);
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// The same block only copied: the floor for moving the samples at all.
void copyOnly(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0)) / 100;
    AudioBuffer<float> in(1, frames, 48000);
    AudioBuffer<float> out(1, frames, 48000);
    for (auto _ : state) {
        std::memcpy(out.getWritePointer(0), in.getReadPointer(0), sizeof(float) * static_cast<std::size_t>(frames));
        benchmark::DoNotOptimize(out.getReadPointer(0)[0]);
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

} // namespace

BENCHMARK(roundTrip)->Arg(48000)->Arg(44100)->Arg(24000)->Arg(16000);
BENCHMARK(copyOnly)->Arg(48000);
BENCHMARK_MAIN();
