#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace orvanta::cli {

// Writes mono 16-bit PCM WAV. Samples gather in memory and reach the file
// in large writes, so that many small pieces (a reply cut at its silences)
// cost no more than one. One thread.
class WavWriter {
public:
    // Throws std::runtime_error with a one-line reason when the file cannot
    // be created.
    WavWriter(const std::string& path, int sampleRate);
    ~WavWriter(); // close()
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Samples are clipped to [-1, 1].
    void write(const float* samples, std::int64_t count);
    void writeSilence(std::int64_t count);
    // Finishes the header; further writes are ignored. Throws
    // std::runtime_error when the data could not be written completely.
    void close();

    // Frames accepted so far (all of them written once close() succeeded).
    std::int64_t getFramesWritten() const { return framesWritten; }

private:
    void flush();

    std::string path;
    SNDFILE* file = nullptr;
    std::vector<float> pending;
    std::size_t pendingFrames = 0;
    std::int64_t framesWritten = 0;
    bool failed = false;
};

} // namespace orvanta::cli
