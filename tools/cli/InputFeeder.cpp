#include "tools/cli/InputFeeder.h"

#include <algorithm>

namespace orvanta::cli {

InputFeeder::InputFeeder(WavReader& wav)
    : reader(wav), sampleRate(wav.getSampleRate()), fileFrames(wav.getFrames()) {}

bool InputFeeder::fill(float* interleaved, int frames) {
    if (stopped.load())
        return false;
    std::int64_t got = 0;
    if (!fileDone.load() && gate.load() && !overflowing.load()) {
        got = reader.read(interleaved, frames);
        const std::int64_t fed = fileFramesFed.fetch_add(got) + got;
        if (got < frames || fed >= fileFrames)
            fileDone.store(true);
    }
    lastHadFile.store(got > 0);
    blocksSinceFile = got > 0 ? 0 : std::min(blocksSinceFile + 1, 1 << 20);
    std::fill(interleaved + got, interleaved + frames, 0.0f);
    if (fileDone.load())
        framesAfterFile.fetch_add(frames - got);
    return true;
}

std::int64_t InputFeeder::framesThroughNodeLeft() const {
    const auto needed = static_cast<std::int64_t>(throughNodeSeconds * sampleRate);
    return std::max<std::int64_t>(0, needed - framesAfterFile.load());
}

void InputFeeder::noteInputOverflow(bool dropping) {
    overflowing.store(dropping);
    // The resampler holds a little of the previous block back, so a drop
    // right after file audio may cut into it too.
    if (dropping && blocksSinceFile <= 2)
        fileDropped.store(true);
}

} // namespace orvanta::cli
