#include "OrvantaSDK/AudioGraphResampler.h"
#include "OrvantaSDK/OfflineRenderer.h"
#include "OrvantaSDK/SingleBusAudioProcessorNode.h"
#include "OrvantaSDK/SingleBusAudioSinkNode.h"

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
            std::copy_n(in[0].getBuffer()->getReadPointer(0), in[0].getNumberOfFrames(),
                        out[0].getBuffer()->getWritePointer(0));
            return true;
        });
    }
    bool setBusFormat(AudioBusFormat& in, AudioBusFormat& out) override {
        return AudioBusFormat::matchBusFormats(in, out) && in.getNumberOfChannels() == 1;
    }
    bool process(AudioBus& in, AudioBus& out) override {
        AudioBusList ins;
        ins.push_back(AudioBus(in.getBuffer()));
        AudioBusList outs;
        outs.push_back(AudioBus(out.getBuffer()));
        return resampler.process(ins, outs);
    }
    void onGraphStart() override { ++starts; }

    AudioGraphResampler resampler{24000, 240};
    std::atomic<int> blocks{0};
    int starts = 0;
};

class CollectingSink : public SingleBusAudioSinkNode {
public:
    CollectingSink() {
        resampler.setNumberOfBuses(1, 0);
        resampler.setProcessCallback([this](AudioBusList& in, AudioBusList&) {
            frames += in[0].getNumberOfFrames();
            return true;
        });
    }
    bool setBusFormat(AudioBusFormat& format) override { return format.getNumberOfChannels() == 1; }
    bool consume(AudioBus& bus) override {
        AudioBusList ins;
        ins.push_back(AudioBus(bus.getBuffer()));
        AudioBusList none;
        return resampler.process(ins, none);
    }

    AudioGraphResampler resampler{24000, 240};
    std::atomic<long> frames{0};
};

std::vector<float> sine(int rate, std::size_t frames) {
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i)
        out[i] = 0.5f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 700.0 * double(i) / rate));
    return out;
}

} // namespace

TEST(OfflineRenderer, DrivesAProcessorNodeLikeTheHost) {
    for (auto [rate, block] : {std::pair{48000, 480}, std::pair{44100, 441}, std::pair{16000, 160}}) {
        SCOPED_TRACE(rate);
        LoopbackNode node;
        OfflineRenderer renderer(node, {rate, block, 1});
        ASSERT_TRUE(renderer.start());
        EXPECT_EQ(node.starts, 1);
        // setBusFormats prepared the resampler on this thread, before any block.
        EXPECT_EQ(node.resampler.getHostSampleRate(), rate);
        EXPECT_EQ(node.blocks.load(), 0);

        const auto input = sine(rate, static_cast<std::size_t>(rate));
        const auto output = renderer.render(input);
        ASSERT_EQ(output.size(), input.size());
        EXPECT_EQ(renderer.getBlocksRendered(), input.size() / static_cast<std::size_t>(block));
        EXPECT_EQ(renderer.getFailedBlocks(), 0u);

        const std::size_t latency = static_cast<std::size_t>(node.resampler.getLatencyFrames());
        double signal = 0, noise = 0;
        for (std::size_t i = static_cast<std::size_t>(rate) / 10; i < output.size(); ++i) {
            const double expected = input[i - latency];
            signal += expected * expected;
            noise += (output[i] - expected) * (output[i] - expected);
        }
        EXPECT_GT(10 * std::log10(signal / noise), 60.0);
        renderer.stop();
    }
}

TEST(OfflineRenderer, RefusedFormatMeansNoGraphStart) {
    LoopbackNode node;
    OfflineRenderer renderer(node, {48000, 480, 2});
    EXPECT_FALSE(renderer.start());
    EXPECT_EQ(node.starts, 0);
    EXPECT_THROW(renderer.render({0.0f}), std::logic_error);
}

TEST(OfflineRenderer, FeedsASinkNodeAtTheInternalRate) {
    CollectingSink sink;
    OfflineRenderer renderer(sink, {44100, 512, 1});
    ASSERT_TRUE(renderer.start());
    EXPECT_TRUE(renderer.render(sine(44100, 44100 * 2)).empty());
    // Two seconds at 24 kHz, less what the converter still holds.
    EXPECT_LE(sink.frames.load(), 48000 + 240);
    EXPECT_GE(sink.frames.load(), 48000 - 2400);
    EXPECT_EQ(sink.frames.load() % 240, 0);
}

TEST(OfflineRenderer, RealtimeRunsOnItsOwnThreadUntilTheSourceEnds) {
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
        [&](const float* block, int frames) { collected.insert(collected.end(), block, block + frames); },
        false);
    renderer.waitRealtime();
    EXPECT_EQ(collected.size(), input.size());
    EXPECT_EQ(renderer.getBlocksRendered(), 100u);

    // Paced, in steps of five blocks at twice real time: block k is never
    // rendered before k block durations (at that speed) have passed.
    OfflineRenderer paced(node, {48000, 480, 1, 0.05, 2.0});
    ASSERT_TRUE(paced.start());
    int served = 0;
    const auto begin = std::chrono::steady_clock::now();
    paced.startRealtime(
        [&](float* block, int frames) {
            std::fill_n(block, frames, 0.0f);
            return ++served <= 30;
        },
        nullptr);
    paced.waitRealtime();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::microseconds(29 * 5000));
    EXPECT_EQ(paced.getBlocksRendered(), 30u);

    // stop() ends an endless source at once, even in the middle of an hour's step.
    OfflineRenderer slow(node, {48000, 480, 1, 3600.0});
    ASSERT_TRUE(slow.start());
    std::atomic<int> first{0};
    slow.startRealtime(
        [&](float* block, int frames) {
            std::fill_n(block, frames, 0.0f);
            ++first;
            return true;
        },
        nullptr);
    while (first.load() < 1)
        std::this_thread::yield();
    slow.stop();
    EXPECT_EQ(first.load(), 1);
}
