#include "support/AllocationCounter.h"

#include "OrvantaSDK/AudioGraphResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace orvanta;

namespace {

constexpr double Pi = 3.14159265358979323846;

std::vector<float> sine(int rate, double hz, std::size_t frames, float amplitude = 0.5f) {
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2.0 * Pi * hz * static_cast<double>(i) / rate));
    return out;
}

// Drives a resampler as a host would: one mono (or wider) bus per side,
// blocks of the sizes `nextBlock` returns, the output buffer filled with
// NaN before each call so that an unwritten frame shows.
struct Host {
    AudioGraphResampler resampler{24000, 240};
    int rate;
    int channels;
    int outputs;
    AudioBuffer<float> in;
    AudioBuffer<float> out;
    int callbacks = 0;
    bool badBlock = false;

    Host(int hostRate, int numChannels = 1, int numOutputs = 1, int maxBlock = 8192)
        : rate(hostRate), channels(numChannels), outputs(numOutputs), in(numChannels, maxBlock, hostRate),
          out(numChannels, maxBlock, hostRate) {
        resampler.setNumberOfBuses(1, numOutputs);
        resampler.setProcessCallback([this](AudioBusList& ins, AudioBusList& outs) {
            ++callbacks;
            const AudioBuffer<float>& b = *ins[0].getBuffer();
            if (b.getNumberOfFrames() != 240 || b.getNumberOfChannels() != 1 || b.getSampleRate() != 24000 ||
                outs.size() != static_cast<std::size_t>(outputs))
                badBlock = true;
            for (auto& o : outs) {
                if (o.getNumberOfFrames() != 240)
                    badBlock = true;
                std::copy_n(b.getReadPointer(0), 240, o.getBuffer()->getWritePointer(0));
            }
            return true;
        });
        resampler.prepare(hostRate);
    }

    // Returns channel 0 of the output; checks every channel was written.
    template <class NextBlock>
    std::vector<float> run(const std::vector<float>& input, NextBlock nextBlock) {
        std::vector<float> result;
        std::size_t pos = 0;
        while (pos < input.size()) {
            const int n = static_cast<int>(std::min<std::size_t>(nextBlock(), input.size() - pos));
            in.setNumberOfFrames(n);
            out.setNumberOfFrames(n);
            for (int ch = 0; ch < channels; ++ch) {
                std::copy_n(input.data() + pos, n, in.getWritePointer(ch));
                std::fill_n(out.getWritePointer(ch), n, std::numeric_limits<float>::quiet_NaN());
            }
            AudioBusList ins;
            ins.push_back(AudioBus(&in));
            AudioBusList outs;
            if (outputs)
                outs.push_back(AudioBus(&out));
            EXPECT_TRUE(resampler.process(ins, outs));
            if (outputs) {
                for (int ch = 0; ch < channels; ++ch)
                    for (int i = 0; i < n; ++i)
                        if (std::isnan(out.getReadPointer(ch)[i]))
                            ADD_FAILURE() << "frame " << pos + i << " channel " << ch << " not written";
                result.insert(result.end(), out.getReadPointer(0), out.getReadPointer(0) + n);
            }
            pos += n;
        }
        return result;
    }
};

double snrDb(const std::vector<float>& reference, const std::vector<float>& actual, std::size_t from, std::size_t to) {
    double signal = 0, noise = 0;
    for (std::size_t i = from; i < to; ++i) {
        signal += double(reference[i]) * reference[i];
        noise += (double(actual[i]) - reference[i]) * (double(actual[i]) - reference[i]);
    }
    return 10.0 * std::log10(signal / std::max(noise, 1e-30));
}

} // namespace

TEST(AudioGraphResampler, SineAt48kThrough24kAndBackKeepsSnrAbove60dB) {
    Host host(48000);
    const auto input = sine(48000, 1000.0, 48000);
    const auto output = host.run(input, [] { return 480; });
    const int latency = host.resampler.getLatencyFrames();
    ASSERT_GT(latency, 0);
    ASSERT_LT(latency, 4800) << "latency should be a few milliseconds";

    // Output n is input n - latency; the converters' start-up ringing is left out.
    std::vector<float> expected(output.size(), 0.0f);
    for (std::size_t i = latency; i < output.size(); ++i)
        expected[i] = input[i - latency];
    EXPECT_GE(snrDb(expected, output, 4800, output.size()), 60.0);
    EXPECT_EQ(host.resampler.getUnderrunFrames(), 0u);

    // One sample off already costs far more than the margin, so the documented
    // latency is the real one.
    std::vector<float> shifted(output.size(), 0.0f);
    for (std::size_t i = latency + 1; i < output.size(); ++i)
        shifted[i] = input[i - latency - 1];
    EXPECT_LT(snrDb(shifted, output, 4800, output.size()), 40.0);
}

TEST(AudioGraphResampler, CallbackGetsWhole240FrameBlocksAtEveryRateAndBlockSize) {
    for (int rate : {8000, 16000, 22050, 24000, 44100, 48000, 96000}) {
        for (int block : {1, 37, 128, 240, 441, 480, 1000, 5000}) {
            SCOPED_TRACE("rate " + std::to_string(rate) + " block " + std::to_string(block));
            Host host(rate, block == 441 ? 2 : 1);
            const std::size_t frames = static_cast<std::size_t>(rate) / 2; // half a second
            host.run(sine(rate, 440.0, frames), [&] { return block; });
            EXPECT_FALSE(host.badBlock);
            // Half a second at 24 kHz is 50 blocks; the converters hold back
            // at most their look-ahead, which is part of the latency.
            const int heldBack = host.resampler.getLatencyFrames() * 24000 / rate / 240 + 1;
            EXPECT_LE(host.callbacks, 50);
            EXPECT_GE(host.callbacks, 50 - heldBack);
            EXPECT_EQ(host.resampler.getUnderrunFrames(), 0u);
        }
    }
}

TEST(AudioGraphResampler, LatencyDoesNotDependOnTheHostBlockPattern) {
    for (int rate : {16000, 44100, 48000}) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        const auto input = sine(rate, 1000.0, static_cast<std::size_t>(rate), 0.4f);
        Host fixed(rate);
        const auto a = fixed.run(input, [] { return 512; });
        Host irregular(rate);
        std::mt19937 random(7);
        std::uniform_int_distribution<int> size(1, 3000);
        const auto b = irregular.run(input, [&] { return size(random); });
        ASSERT_EQ(a.size(), b.size());
        EXPECT_EQ(fixed.resampler.getLatencyFrames(), irregular.resampler.getLatencyFrames());
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_NEAR(a[i], b[i], 1e-5) << "frame " << i;
        EXPECT_EQ(irregular.resampler.getUnderrunFrames(), 0u);
    }
}

TEST(AudioGraphResampler, At24kSamplesPassThroughUnchanged) {
    Host host(24000);
    std::vector<float> input(24000);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (auto& v : input)
        v = value(random);
    std::mt19937 sizes(2);
    std::uniform_int_distribution<int> size(1, 700);
    const auto output = host.run(input, [&] { return size(sizes); });
    const std::size_t latency = static_cast<std::size_t>(host.resampler.getLatencyFrames());
    EXPECT_EQ(latency, 239u); // gathering a 240-frame block, nothing more
    for (std::size_t i = 0; i < output.size(); ++i)
        ASSERT_EQ(output[i], i < latency ? 0.0f : input[i - latency]) << "frame " << i;
}

TEST(AudioGraphResampler, ProcessAllocatesNothingOncePrepared) {
    if (!alloccount::countsMalloc())
        std::cout << "note: counting operator new only (sanitizer build)\n";
    for (int rate : {8000, 16000, 22050, 24000, 44100, 48000, 96000}) {
        for (int outputs : {0, 1}) {
            SCOPED_TRACE("rate " + std::to_string(rate) + " outputs " + std::to_string(outputs));
            Host host(rate, 1, outputs);
            const auto input = sine(rate, 300.0, 4096);
            AudioBusList ins;
            ins.push_back(AudioBus(&host.in));
            AudioBusList outs;
            if (outputs)
                outs.push_back(AudioBus(&host.out));
            std::uint64_t allocations = 0;
            for (int round = 0; round < 600; ++round) {
                const int n = 1 + (round * 97) % 2048;
                host.in.setNumberOfFrames(n);
                host.out.setNumberOfFrames(n);
                std::copy_n(input.data(), n, host.in.getWritePointer(0));
                alloccount::begin();
                host.resampler.process(ins, outs);
                allocations += alloccount::end();
            }
            EXPECT_EQ(allocations, 0u);
            EXPECT_GT(host.callbacks, 0);
        }
    }
}

TEST(AudioGraphResampler, SinkOnlyFeedsTheCallbackAndStereoIsMixedDown) {
    AudioGraphResampler resampler(24000, 240);
    resampler.setNumberOfBuses(1, 0);
    std::vector<float> received;
    bool sawOutputs = false;
    resampler.setProcessCallback([&](AudioBusList& ins, AudioBusList& outs) {
        sawOutputs = sawOutputs || !outs.empty();
        received.insert(received.end(), ins[0].getBuffer()->getReadPointer(0),
                        ins[0].getBuffer()->getReadPointer(0) + ins[0].getNumberOfFrames());
        return true;
    });
    AudioBuffer<float> in(2, 1000, 24000);
    for (int i = 0; i < 1000; ++i) {
        in.getWritePointer(0)[i] = 0.25f;
        in.getWritePointer(1)[i] = 0.75f;
    }
    AudioBusList ins;
    ins.push_back(AudioBus(&in));
    AudioBusList none;
    EXPECT_TRUE(resampler.process(ins, none));
    EXPECT_FALSE(sawOutputs);
    EXPECT_EQ(resampler.getLatencyFrames(), 0);
    ASSERT_EQ(received.size(), 960u); // four whole blocks of 1000 frames; 40 wait for the next call
    for (float v : received)
        ASSERT_EQ(v, 0.5f);
}

TEST(AudioGraphResampler, RefusalsAreReportedButTheOutputIsStillWritten) {
    Host host(48000);
    host.resampler.setProcessCallback([](AudioBusList&, AudioBusList&) { return false; });
    host.in.setNumberOfFrames(4800);
    host.out.setNumberOfFrames(4800);
    std::fill_n(host.out.getWritePointer(0), 4800, std::numeric_limits<float>::quiet_NaN());
    AudioBusList ins;
    ins.push_back(AudioBus(&host.in));
    AudioBusList outs;
    outs.push_back(AudioBus(&host.out));
    EXPECT_FALSE(host.resampler.process(ins, outs));
    for (int i = 0; i < 4800; ++i)
        ASSERT_FALSE(std::isnan(host.out.getReadPointer(0)[i]));

    AudioBusList twoOuts = outs;
    twoOuts.push_back(AudioBus(&host.out));
    EXPECT_FALSE(host.resampler.process(ins, twoOuts)) << "bus count differs from setNumberOfBuses";
    EXPECT_THROW(host.resampler.setNumberOfBuses(0, 1), std::invalid_argument);
}
