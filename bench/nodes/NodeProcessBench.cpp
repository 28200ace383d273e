// The audio thread's cost of a voice node: one 10 ms block at 48 kHz through
// OpenAINode::process, next to the host resampler alone doing the same
// conversion around a pass-through callback. The difference is what the node
// adds: the input ring buffer, the playback decision and the output copy.
#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "OrvantaSDK/AudioBusList.h"
#include "OrvantaSDK/AudioGraphResampler.h"
#include "nodes/OpenAINode.h"
#include "realtime/RealtimeEndpoint.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <memory>

using namespace orvanta;
using namespace orvanta::extensions::openai;

namespace {

constexpr int rate = 48000;
constexpr int frames = 480; // 10 ms
// The node's input queue holds 2 s; stay under it so every block is captured
// (a full queue drops blocks, which is cheaper and not the case to measure).
constexpr int blocksPerNode = 190;

void fillTone(AudioBuffer<float>& buffer, long& phase) {
    float* p = buffer.getWritePointer(0);
    for (int i = 0; i < frames; ++i, ++phase)
        p[i] = 0.25f * std::sin(static_cast<float>(phase) * 0.0577f);
}

template <class F> double timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ResamplerAlone(benchmark::State& state) {
    AudioGraphResampler resampler(24000, 240);
    resampler.setNumberOfBuses(1, 1);
    resampler.setProcessCallback([](AudioBusList& in, AudioBusList& out) {
        const auto* src = in[0].getBuffer()->getReadPointer(0);
        std::copy(src, src + in[0].getNumberOfFrames(), out[0].getBuffer()->getWritePointer(0));
        return true;
    });
    resampler.prepare(rate);
    AudioBuffer<float> in(1, frames, rate), out(1, frames, rate);
    long phase = 0;
    for (auto _ : state) {
        fillTone(in, phase);
        AudioBusList inputs, outputs;
        inputs.push_back(AudioBus(&in));
        outputs.push_back(AudioBus(&out));
        state.SetIterationTime(timed([&] { resampler.process(inputs, outputs); }));
        benchmark::DoNotOptimize(out.getReadPointer(0)[0]);
    }
}
BENCHMARK(BM_ResamplerAlone)->UseManualTime();

void BM_VoiceNodeProcess(benchmark::State& state) {
    setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime");
    auto makeNode = [] {
        auto node = std::make_unique<OpenAINode>(OVAnyMap{{"apiKey", "sk-bench"}});
        std::vector<AudioBusFormat> ins{AudioBusFormat(rate, 1)}, outs{AudioBusFormat(rate, 1)};
        node->setBusFormats(ins, outs);
        // A minute of answer to play: playback runs in every measured block.
        node->onResponseAudioReceived(std::vector<int16_t>(1400000, 3000), "item", 0);
        return node;
    };
    std::unique_ptr<OpenAINode> node = makeNode();
    AudioBuffer<float> in(1, frames, rate), out(1, frames, rate);
    long phase = 0;
    int blocks = 0;
    for (auto _ : state) {
        if (++blocks == blocksPerNode) {
            node = makeNode(); // not timed
            blocks = 0;
        }
        fillTone(in, phase);
        AudioBus inBus(&in), outBus(&out);
        state.SetIterationTime(timed([&] { node->process(inBus, outBus); }));
        benchmark::DoNotOptimize(out.getReadPointer(0)[0]);
    }
    node.reset();
    clearRealtimeEndpointOverride();
}
BENCHMARK(BM_VoiceNodeProcess)->UseManualTime()->Iterations(20000);

} // namespace

BENCHMARK_MAIN();
