#include "tools/cli/ReplyRecorder.h"

#include "tools/cli/WavWriter.h"

#include <algorithm>
#include <cmath>

namespace orvanta::cli {

ReplyRecorder::ReplyRecorder(int sampleRate, double bufferSeconds, bool keep)
    : ring(static_cast<unsigned int>(sampleRate * bufferSeconds)), keepSilence(keep), scratch(8192) {}

void ReplyRecorder::push(const float* samples, int frames) {
    bool sound = false;
    for (int i = 0; i < frames && !sound; ++i)
        sound = std::fabs(samples[i]) > silenceLevel;
    if (sound) {
        soundFrames.fetch_add(frames);
        lastSoundNanos.store(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    const auto count = static_cast<unsigned int>(frames);
    if (ring.getAvailableItemsToProduce() < count) {
        lostFrames.fetch_add(frames);
        return;
    }
    ring.produce(samples, count);
}

void ReplyRecorder::drainTo(WavWriter& writer) {
    for (;;) {
        const unsigned int n =
            std::min<unsigned int>(ring.getAvailableItemsToConsume(), static_cast<unsigned int>(scratch.size()));
        if (n == 0)
            return;
        ring.consume(scratch.data(), n);
        if (keepSilence) {
            writer.write(scratch.data(), n);
            continue;
        }
        // Silence is held back until sound follows it, so that none is
        // written before the first sound or after the last.
        unsigned int runStart = 0;
        for (unsigned int i = 0; i < n; ++i) {
            if (std::fabs(scratch[i]) > silenceLevel)
                continue;
            // scratch[i] is silent: flush the sound before it.
            if (i > runStart) {
                if (wroteSound)
                    writer.writeSilence(pendingSilence);
                pendingSilence = 0;
                writer.write(scratch.data() + runStart, i - runStart);
                wroteSound = true;
            }
            ++pendingSilence;
            runStart = i + 1;
        }
        if (n > runStart) {
            if (wroteSound)
                writer.writeSilence(pendingSilence);
            pendingSilence = 0;
            writer.write(scratch.data() + runStart, n - runStart);
            wroteSound = true;
        }
    }
}

std::chrono::steady_clock::time_point ReplyRecorder::getLastSound() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastSoundNanos.load()));
}

} // namespace orvanta::cli
