#pragma once

#include "utils/RingBuffer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace orvanta::cli {

class WavWriter;

// The renderer's sink: carries the node's output from the audio thread to the
// main thread, which writes it to the reply file. Unless told to keep
// everything it writes only the reply: from the first sound to the last,
// without the silence around it.
//
// Threads: push on the audio thread (no lock, no allocation); drainTo on the
// main thread; the getters anywhere.
class ReplyRecorder {
public:
    // Below this a sample counts as silence (about -100 dBFS).
    static constexpr float silenceLevel = 1e-5f;

    ReplyRecorder(int sampleRate, double bufferSeconds, bool keepSilence);

    // Audio thread: one block of output. What does not fit is counted as lost.
    void push(const float* samples, int frames);
    // Main thread: writes what has arrived.
    void drainTo(WavWriter& writer);

    // Frames of the blocks that held any sound (a voice crosses zero, so
    // counting samples would undercount it).
    std::int64_t getSoundFrames() const { return soundFrames.load(); }
    std::int64_t getLostFrames() const { return lostFrames.load(); }
    // When the last block with sound was pushed; the epoch before any.
    std::chrono::steady_clock::time_point getLastSound() const;

private:
    audio::RingBuffer<float> ring;
    const bool keepSilence;
    std::vector<float> scratch;            // main thread
    std::int64_t pendingSilence = 0;       // main thread: silence not yet written
    bool wroteSound = false;               // main thread
    std::atomic<std::int64_t> soundFrames{0};
    std::atomic<std::int64_t> lostFrames{0};
    std::atomic<std::int64_t> lastSoundNanos{0};
};

} // namespace orvanta::cli
