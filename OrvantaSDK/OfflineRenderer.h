#pragma once

#include "OrvantaSDK/AudioNode.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace orvanta {

// Drives one audio node as the host would, without audio hardware: gives it
// its bus formats, starts the graph, and pushes audio through process
// (processor nodes) or consume (sink nodes) in host-sized blocks, collecting
// the output in memory. Either as fast as possible on the calling thread
// (render) or on an own audio thread, optionally paced in real time
// (startRealtime), as a command-line demo playing a file needs.
//
// Audio is interleaved at the caller's side and de-interleaved into the
// node's buses. The node must outlive the renderer.
class OfflineRenderer {
public:
    struct Settings {
        int sampleRate = 48000;
        int blockFrames = 480;
        int channels = 1;
        // Paced runs wake once per step (of wall-clock time, at least one
        // block) and render the blocks whose time has come back to back: in
        // real time on average, one process call per block as a host makes,
        // without a wake-up for every block.
        double stepSeconds = 0.1;
        // Paced runs go this many times faster than real time.
        double speed = 1.0;
    };
    // Fills `frames` interleaved frames of input; false ends the run (the
    // block is not rendered).
    using Source = std::function<bool(float* interleaved, int frames)>;
    // Receives each block of output (nothing for a sink node).
    using Sink = std::function<void(const float* interleaved, int frames)>;

    OfflineRenderer(AudioNode& node, Settings settings);
    // Stops a real-time run and joins its thread.
    ~OfflineRenderer();
    OfflineRenderer(const OfflineRenderer&) = delete;
    OfflineRenderer& operator=(const OfflineRenderer&) = delete;

    // Host thread: setBusFormats with the settings' format on every bus
    // (the node's bases then prepare off the audio thread), then
    // onGraphStart. False, and no graph start, when the node refuses.
    bool start();
    // Host thread: ends a real-time run, then onGraphStop.
    void stop();

    // Renders `interleaved` (the last block padded with silence) on the
    // calling thread, which acts as the audio thread; returns the output,
    // interleaved, of the same padded length (empty for a sink node).
    // Needs start() first.
    std::vector<float> render(const std::vector<float>& interleaved);

    // Starts the audio thread: for each block it asks `source` for the
    // input, processes it and hands the output to `sink`. Paced: block k is
    // rendered once k block durations have passed on steady_clock, in steps
    // of the settings' stepSeconds; otherwise back to back. Runs until the
    // source returns false or stop() is called (which also ends a step's
    // wait at once). Needs start() first.
    void startRealtime(Source source, Sink sink, bool paced = true);
    // Waits until a real-time run has ended by itself.
    void waitRealtime();

    // Blocks rendered so far, and how many of them the node's process or
    // consume returned false for. Any thread.
    std::uint64_t getBlocksRendered() const;
    std::uint64_t getFailedBlocks() const;

private:
    struct Internals;
    std::unique_ptr<Internals> internals_;
};

} // namespace orvanta
