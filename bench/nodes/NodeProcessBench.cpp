// The audio thread's cost of a voice node: 10 ms blocks at 48 kHz through
// OpenAINode::process, beside the host resampler alone doing the same
// conversion around a pass-through callback. The difference is what the node
// adds: capture into the input queue, the playback decision and the output
// copy.
//
// Both run side by side in one loop (batches of blocks, alternating which
// goes first) and are timed by the thread's CPU clock, so that a busy machine
// slows both alike; the "ratio" counter is node time over resampler time for
// the same blocks. The node is in its
// steady state: every block is captured and an answer keeps playing. Run with repetitions for the spread:
//   nodes_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "OrvantaSDK/AudioBusList.h"
#include "OrvantaSDK/AudioGraphResampler.h"
#include "nodes/OpenAINode.h"
#include "realtime/RealtimeEndpoint.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <memory>
#include <thread>

using namespace orvanta;
using namespace orvanta::extensions::openai;

namespace {

constexpr int rate = 48000;
constexpr int frames = 480; // 10 ms
constexpr int batch = 8;    // blocks per timed batch
// Response audio queued between batches (untimed) as the I/O thread would:
// a little more than the batch plays, so the answer never runs dry.
constexpr int responsePerBatch = batch * 240 + 240;

// The calling thread's CPU time: time spent descheduled on a busy machine
// does not count against either side.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void fillTone(AudioBuffer<float>& buffer, long& phase) {
    float* p = buffer.getWritePointer(0);
    for (int i = 0; i < frames; ++i, ++phase)
        p[i] = 0.25f * std::sin(static_cast<float>(phase) * 0.0577f);
}

// A voice node without a session (nothing listens at its endpoint). The
// sender is idle, as it is between chunks; the input queue is emptied through
// the clear action between batches (untimed) so that every block is captured
// (a full queue drops blocks, which is cheaper and not the case to measure).
class IdleNode {
public:
    IdleNode() {
        setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime");
        node = std::make_unique<OpenAINode>(OVAnyMap{{"apiKey", "sk-bench"}});
        std::vector<AudioBusFormat> ins{AudioBusFormat(rate, 1)}, outs{AudioBusFormat(rate, 1)};
        node->setBusFormats(ins, outs);
        node->onResponseAudioReceived(std::vector<int16_t>(24000, 3000), "item", 0); // past the threshold
    }
    ~IdleNode() {
        node.reset();
        clearRealtimeEndpointOverride();
    }
    void makeRoom(long batches) {
        if (batches % 16 != 0)
            return;
        node->callAction("clearInputBuffer", OVAnyMap());
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // the sender applies it
    }

    std::unique_ptr<OpenAINode> node;
};

void BM_VoiceNodeProcessBesideResampler(benchmark::State& state) {
    IdleNode live;
    AudioGraphResampler alone(24000, 240);
    alone.setNumberOfBuses(1, 1);
    alone.setProcessCallback([](AudioBusList& in, AudioBusList& out) {
        const auto* src = in[0].getBuffer()->getReadPointer(0);
        std::copy(src, src + in[0].getNumberOfFrames(), out[0].getBuffer()->getWritePointer(0));
        return true;
    });
    alone.prepare(rate);

    AudioBuffer<float> in(1, frames, rate), out(1, frames, rate);
    const std::vector<int16_t> response(responsePerBatch, 3000);
    long phase = 0;
    double nodeSeconds = 0, aloneSeconds = 0;
    bool nodeFirst = true;
    long batches = 0;

    auto runNode = [&] {
        const double start = threadSeconds();
        for (int b = 0; b < batch; ++b) {
            fillTone(in, phase);
            AudioBus inBus(&in), outBus(&out);
            live.node->process(inBus, outBus);
        }
        const double s = threadSeconds() - start;
        benchmark::DoNotOptimize(out.getReadPointer(0)[0]);
        return s;
    };
    auto runAlone = [&] {
        const double start = threadSeconds();
        for (int b = 0; b < batch; ++b) {
            fillTone(in, phase);
            AudioBusList inputs, outputs;
            inputs.push_back(AudioBus(&in));
            outputs.push_back(AudioBus(&out));
            alone.process(inputs, outputs);
        }
        const double s = threadSeconds() - start;
        benchmark::DoNotOptimize(out.getReadPointer(0)[0]);
        return s;
    };

    for (auto _ : state) {
        double n, a;
        if (nodeFirst) {
            n = runNode();
            a = runAlone();
        } else {
            a = runAlone();
            n = runNode();
        }
        nodeFirst = !nodeFirst;
        nodeSeconds += n;
        aloneSeconds += a;
        state.SetIterationTime(n);
        live.node->onResponseAudioReceived(response, "item", 0); // untimed: the I/O thread's share
        live.makeRoom(++batches);
    }
    const double blocks = static_cast<double>(state.iterations()) * batch;
    state.counters["node_ns_per_block"] = nodeSeconds / blocks * 1e9;
    state.counters["resampler_ns_per_block"] = aloneSeconds / blocks * 1e9;
    state.counters["ratio"] = nodeSeconds / aloneSeconds;
}
BENCHMARK(BM_VoiceNodeProcessBesideResampler)->UseManualTime()->Iterations(2500);

} // namespace

BENCHMARK_MAIN();
