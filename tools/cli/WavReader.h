#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvanta::cli {

// Reads a sound file (WAV, or anything libsndfile knows) as mono float
// samples at the file's own rate; wider files are mixed down by averaging
// their channels. Main thread or one audio thread, not both at once.
class WavReader {
public:
    // Throws std::runtime_error with a one-line reason ("cannot open 'x.wav':
    // No such file or directory") when the file is missing or not a sound
    // file libsndfile can decode.
    explicit WavReader(const std::string& path);
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    int getSampleRate() const;
    int getChannels() const;
    std::int64_t getFrames() const;
    double getDurationSeconds() const;

    // Reads up to `frames` mono frames into `out`; returns how many were
    // read (0 at the end). The file is read ahead in large pieces, so that
    // small reads (an audio thread's blocks) rarely reach the file system;
    // allocates nothing once constructed.
    std::int64_t read(float* out, std::int64_t frames);

    // The whole remaining file, mono.
    std::vector<float> readAll();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace orvanta::cli
