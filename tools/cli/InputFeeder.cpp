#include "tools/cli/InputFeeder.h"

#include <algorithm>
#include <thread>

namespace orvanta::cli {

InputFeeder::InputFeeder(WavReader& wav, int blockFrames, double paceSpeed)
    : reader(wav), sampleRate(wav.getSampleRate()), speed(paceSpeed) {
    reader.reserve(blockFrames);
}

bool InputFeeder::fill(float* interleaved, int frames) {
    if (stopped.load())
        return false;
    if (speed > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (!started) {
            next = now;
            started = true;
        }
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(frames / (sampleRate * speed)));
        std::this_thread::sleep_until(next);
    }
    std::int64_t got = 0;
    if (!fileDone.load() && gate.load() && !overflowing.load()) {
        got = reader.read(interleaved, frames);
        if (got < frames)
            fileDone.store(true);
        fileFramesFed.fetch_add(got);
    }
    lastHadFile.store(got > 0);
    blocksSinceFile = got > 0 ? 0 : std::min(blocksSinceFile + 1, 1 << 20);
    std::fill(interleaved + got, interleaved + frames, 0.0f);
    if (fileDone.load())
        framesAfterFile.fetch_add(frames - got);
    return true;
}

void InputFeeder::noteInputOverflow(bool dropping) {
    overflowing.store(dropping);
    // The resampler holds a little of the previous block back, so a drop
    // right after file audio may cut into it too.
    if (dropping && blocksSinceFile <= 2)
        fileDropped.store(true);
}

} // namespace orvanta::cli
