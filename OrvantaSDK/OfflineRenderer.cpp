#include "OrvantaSDK/OfflineRenderer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace orvanta {

struct OfflineRenderer::Internals {
    AudioNode& node;
    Settings settings;
    bool started = false;
    AudioBuffer<float> input;
    AudioBuffer<float> output;
    std::vector<float> interleavedIn;
    std::vector<float> interleavedOut;
    std::atomic<std::uint64_t> blocks{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<bool> stopRequested{false};
    std::mutex stepMutex; // only for the paced wait between steps
    std::condition_variable stepWake;
    std::thread audioThread;

    Internals(AudioNode& n, Settings s) : node(n), settings(s) {}

    // One block from interleavedIn to interleavedOut. Audio thread.
    void renderBlock() {
        const int channels = settings.channels;
        const int frames = settings.blockFrames;
        for (int ch = 0; ch < channels; ++ch) {
            float* dest = input.getWritePointer(ch);
            for (int i = 0; i < frames; ++i)
                dest[i] = interleavedIn[static_cast<std::size_t>(i * channels + ch)];
        }
        AudioBusList ins;
        ins.push_back(AudioBus(&input));
        AudioBusList outs;
        if (node.getNumberOfOutputs() > 0) {
            output.clear();
            outs.push_back(AudioBus(&output));
        }
        if (!node.process(ins, outs))
            failed.fetch_add(1, std::memory_order_relaxed);
        blocks.fetch_add(1, std::memory_order_relaxed);
        if (node.getNumberOfOutputs() > 0) {
            for (int ch = 0; ch < channels; ++ch) {
                const float* source = output.getReadPointer(ch);
                for (int i = 0; i < frames; ++i)
                    interleavedOut[static_cast<std::size_t>(i * channels + ch)] = source[i];
            }
        }
    }

    // Audio thread: the whole run. Nothing in the per-block path locks or
    // allocates; a paced run waits for its next step between blocks.
    void run(const Source& source, const Sink& sink, bool paced) {
        using Clock = std::chrono::steady_clock;
        const std::chrono::duration<double> period(static_cast<double>(settings.blockFrames) /
                                                   (settings.sampleRate * settings.speed));
        const std::uint64_t stepBlocks = static_cast<std::uint64_t>(
            std::clamp(std::round(settings.stepSeconds / period.count()), 1.0, 1e9));
        const auto start = Clock::now();
        auto blockTime = [&](std::uint64_t block) {
            return start + std::chrono::duration_cast<Clock::duration>(period * static_cast<double>(block));
        };
        std::uint64_t next = 0; // the next block to render
        while (!stopRequested.load()) {
            // Unpaced: one block per round. Paced: every block due by now.
            const std::uint64_t due =
                paced ? static_cast<std::uint64_t>((Clock::now() - start) / period) + 1 : next + 1;
            for (; next < due; ++next) {
                if (stopRequested.load() || !source(interleavedIn.data(), settings.blockFrames))
                    return;
                renderBlock();
                if (sink && node.getNumberOfOutputs() > 0)
                    sink(interleavedOut.data(), settings.blockFrames);
            }
            if (paced) {
                std::unique_lock<std::mutex> lock(stepMutex);
                stepWake.wait_until(lock, blockTime(next + stepBlocks - 1), [this] { return stopRequested.load(); });
            }
        }
    }

    void joinAudioThread() {
        {
            // Under the step mutex, so that a paced wait cannot miss it.
            std::lock_guard<std::mutex> lock(stepMutex);
            stopRequested = true;
        }
        stepWake.notify_all();
        if (audioThread.joinable())
            audioThread.join();
    }
};

OfflineRenderer::OfflineRenderer(AudioNode& node, Settings settings)
    : internals_(std::make_unique<Internals>(node, settings)) {
    if (settings.sampleRate <= 0 || settings.blockFrames <= 0 || settings.channels <= 0)
        throw std::invalid_argument("OfflineRenderer: rate, block size and channels must be positive");
    if (!std::isfinite(settings.stepSeconds) || settings.stepSeconds < 0 || !std::isfinite(settings.speed) ||
        settings.speed <= 0)
        throw std::invalid_argument("OfflineRenderer: the pacing step and speed must be finite, the speed positive");
    if (node.getNumberOfInputs() != 1 || node.getNumberOfOutputs() > 1)
        throw std::invalid_argument("OfflineRenderer: drives nodes with one input and at most one output");
    const std::size_t samples = static_cast<std::size_t>(settings.blockFrames) * settings.channels;
    internals_->input = AudioBuffer<float>(settings.channels, settings.blockFrames, settings.sampleRate);
    internals_->output = AudioBuffer<float>(settings.channels, settings.blockFrames, settings.sampleRate);
    internals_->interleavedIn.assign(samples, 0.0f);
    internals_->interleavedOut.assign(samples, 0.0f);
}

OfflineRenderer::~OfflineRenderer() { internals_->joinAudioThread(); }

bool OfflineRenderer::start() {
    Internals& in = *internals_;
    const AudioBusFormat format(in.settings.sampleRate, in.settings.channels);
    std::vector<AudioBusFormat> inputs(1, format);
    std::vector<AudioBusFormat> outputs(static_cast<std::size_t>(in.node.getNumberOfOutputs()), format);
    if (!in.node.setBusFormats(inputs, outputs))
        return false;
    in.node.onGraphStart();
    in.started = true;
    return true;
}

void OfflineRenderer::stop() {
    internals_->joinAudioThread();
    if (internals_->started)
        internals_->node.onGraphStop();
    internals_->started = false;
}

std::vector<float> OfflineRenderer::render(const std::vector<float>& interleaved) {
    Internals& in = *internals_;
    if (!in.started)
        throw std::logic_error("OfflineRenderer: start() first");
    if (in.audioThread.joinable())
        throw std::logic_error("OfflineRenderer: a real-time run owns the node");
    const std::size_t blockSamples = in.interleavedIn.size();
    const std::size_t blocks = (interleaved.size() + blockSamples - 1) / blockSamples;
    std::vector<float> result;
    if (in.node.getNumberOfOutputs() > 0)
        result.reserve(blocks * blockSamples);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t from = b * blockSamples;
        const std::size_t n = std::min(blockSamples, interleaved.size() - from);
        std::copy_n(interleaved.begin() + static_cast<std::ptrdiff_t>(from), n, in.interleavedIn.begin());
        std::fill(in.interleavedIn.begin() + static_cast<std::ptrdiff_t>(n), in.interleavedIn.end(), 0.0f);
        in.renderBlock();
        if (in.node.getNumberOfOutputs() > 0)
            result.insert(result.end(), in.interleavedOut.begin(), in.interleavedOut.end());
    }
    return result;
}

void OfflineRenderer::startRealtime(Source source, Sink sink, bool paced) {
    Internals& in = *internals_;
    if (!in.started)
        throw std::logic_error("OfflineRenderer: start() first");
    in.joinAudioThread();
    in.stopRequested = false;
    in.audioThread = std::thread(
        [&in, source = std::move(source), sink = std::move(sink), paced] { in.run(source, sink, paced); });
}

void OfflineRenderer::waitRealtime() {
    if (internals_->audioThread.joinable())
        internals_->audioThread.join();
}

std::uint64_t OfflineRenderer::getBlocksRendered() const { return internals_->blocks.load(); }
std::uint64_t OfflineRenderer::getFailedBlocks() const { return internals_->failed.load(); }

} // namespace orvanta
