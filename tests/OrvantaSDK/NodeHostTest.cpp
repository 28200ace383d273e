#include "OrvantaSDK/AudioGraphResampler.h"
#include "OrvantaSDK/OfflineRenderer.h"
#include "OrvantaSDK/SingleBusAudioProcessorNode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

using namespace orvanta;

namespace {

// Built the way the library's nodes are: a resampler to 24 kHz whose
// callback does the work, host buses handed over through one-bus lists.
class LoopbackNode : public SingleBusAudioProcessorNode {
public:
    LoopbackNode() {
        resampler.setNumberOfBuses(1, 1);
        resampler.setProcessCallback([this](AudioBusList& in, AudioBusList& out) {
            ++blocks;
            std::copy_n(in[0].getBuffer()->getReadPointer(0), 240, out[0].getBuffer()->getWritePointer(0));
            return true;
        });
    }
    bool setBusFormat(AudioBusFormat& in, AudioBusFormat& out) override {
        return AudioBusFormat::matchBusFormats(in, out) && in.getNumberOfChannels() == 1;
    }
    bool process(AudioBus& in, AudioBus& out) override {
        AudioBusList ins, outs;
        ins.push_back(AudioBus(in.getBuffer()));
        outs.push_back(AudioBus(out.getBuffer()));
        return resampler.process(ins, outs);
    }
    void onGraphStart() override { ++starts; }

    AudioGraphResampler resampler{24000, 240};
    std::atomic<int> blocks{0};
    int starts = 0;
};

std::vector<float> sine(int rate, std::size_t frames) {
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i)
        out[i] = 0.5f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 700.0 * double(i) / rate));
    return out;
}

// A source for startRealtime: `blocks` blocks of silence, counted.
OfflineRenderer::Source silence(std::atomic<int>& served, int blocks) {
    return [&served, blocks](float* block, int frames) {
        std::fill_n(block, frames, 0.0f);
        return ++served <= blocks;
    };
}

} // namespace

TEST(OfflineRenderer, DrivesAProcessorNodeLikeTheHostOrRefusesToStart) {
    LoopbackNode node;
    OfflineRenderer renderer(node, {44100, 441, 1});
    ASSERT_TRUE(renderer.start());
    EXPECT_EQ(node.starts, 1);
    // setBusFormats prepared the resampler on this thread, before any block.
    EXPECT_EQ(node.resampler.getHostSampleRate(), 44100);
    EXPECT_EQ(node.blocks.load(), 0);
    const auto input = sine(44100, 44100);
    const auto output = renderer.render(input);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(renderer.getBlocksRendered(), 100u);
    EXPECT_EQ(renderer.getFailedBlocks(), 0u);
    const std::size_t latency = static_cast<std::size_t>(node.resampler.getLatencyFrames());
    for (std::size_t i = 4410; i < output.size(); ++i)
        ASSERT_NEAR(output[i], input[i - latency], 1e-3) << i;
    renderer.stop();

    OfflineRenderer stereo(node, {48000, 480, 2}); // the node takes mono only
    EXPECT_FALSE(stereo.start());
    EXPECT_EQ(node.starts, 1);
    EXPECT_THROW(stereo.render({0.0f}), std::logic_error);
}

TEST(OfflineRenderer, RealtimeRunsOnItsOwnThreadUntilTheSourceEndsOrStop) {
    LoopbackNode node;
    OfflineRenderer renderer(node, {48000, 480, 1});
    ASSERT_TRUE(renderer.start());
    const auto input = sine(48000, 48000);
    std::size_t read = 0;
    std::vector<float> collected;
    renderer.startRealtime(
        [&](float* block, int frames) {
            if (read >= input.size())
                return false;
            std::copy_n(input.data() + read, frames, block);
            read += static_cast<std::size_t>(frames);
            return true;
        },
        [&](const float* block, int frames) { collected.insert(collected.end(), block, block + frames); }, false);
    renderer.waitRealtime();
    EXPECT_EQ(collected.size(), input.size());
    EXPECT_EQ(renderer.getBlocksRendered(), 100u);

    // Paced, in steps of five blocks at twice real time: block k is never
    // rendered before k block durations (at that speed) have passed.
    OfflineRenderer paced(node, {48000, 480, 1, 0.05, 2.0});
    ASSERT_TRUE(paced.start());
    std::atomic<int> served{0};
    const auto begin = std::chrono::steady_clock::now();
    paced.startRealtime(silence(served, 30), nullptr);
    paced.waitRealtime();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::microseconds(29 * 5000));
    EXPECT_EQ(paced.getBlocksRendered(), 30u);

    // stop() ends an endless source at once, even in the middle of an hour's
    // step (or the test times out).
    OfflineRenderer slow(node, {48000, 480, 1, 3600.0});
    ASSERT_TRUE(slow.start());
    std::atomic<int> first{0};
    slow.startRealtime(silence(first, 1000), nullptr);
    while (first.load() < 1)
        std::this_thread::yield();
    slow.stop();
    EXPECT_EQ(first.load(), 1);
}
