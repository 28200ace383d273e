#pragma once

#include <cstdint>
#include <string>

typedef struct sf_private_tag SNDFILE;

namespace orvanta::cli {

// Writes mono 16-bit PCM WAV. One thread.
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

    std::int64_t getFramesWritten() const { return framesWritten; }

private:
    std::string path;
    SNDFILE* file = nullptr;
    std::int64_t framesWritten = 0;
    bool failed = false;
};

} // namespace orvanta::cli
