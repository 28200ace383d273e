#include "tools/cli/WavReader.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace orvanta::cli {

struct WavReader::Impl {
    SNDFILE* file = nullptr;
    SF_INFO info{};
    // Read-ahead, interleaved as in the file: `ahead` frames, `used` of
    // them already handed out.
    std::vector<float> interleaved;
    std::int64_t ahead = 0;
    std::int64_t used = 0;
};

namespace {
constexpr std::int64_t kReadAheadFrames = 8192;
}

WavReader::WavReader(const std::string& path) : impl(std::make_unique<Impl>()) {
    // libsndfile words a missing file as "System error : ..."; the system's
    // own text reads better.
    if (FILE* probe = std::fopen(path.c_str(), "rb"))
        std::fclose(probe);
    else
        throw std::runtime_error("cannot open '" + path + "': " + std::strerror(errno));
    impl->file = sf_open(path.c_str(), SFM_READ, &impl->info);
    if (!impl->file)
        throw std::runtime_error("cannot read '" + path + "' as audio: " + sf_strerror(nullptr));
    if (impl->info.channels < 1 || impl->info.samplerate < 1000 || impl->info.samplerate > 384000) {
        sf_close(impl->file);
        throw std::runtime_error("cannot use '" + path + "': unsupported rate or channel count");
    }
    // Integer files are scaled to [-1, 1) as they are read; floats pass as
    // they are.
    sf_command(impl->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    impl->interleaved.resize(static_cast<std::size_t>(kReadAheadFrames * impl->info.channels));
}

WavReader::~WavReader() { sf_close(impl->file); }

int WavReader::getSampleRate() const { return impl->info.samplerate; }
int WavReader::getChannels() const { return impl->info.channels; }
std::int64_t WavReader::getFrames() const { return impl->info.frames; }
double WavReader::getDurationSeconds() const {
    return static_cast<double>(impl->info.frames) / impl->info.samplerate;
}

std::int64_t WavReader::read(float* out, std::int64_t frames) {
    Impl& in = *impl;
    const int channels = in.info.channels;
    std::int64_t done = 0;
    while (done < frames) {
        if (in.used == in.ahead) {
            in.ahead = std::max<sf_count_t>(0, sf_readf_float(in.file, in.interleaved.data(), kReadAheadFrames));
            in.used = 0;
            if (in.ahead == 0)
                break;
        }
        const std::int64_t n = std::min(frames - done, in.ahead - in.used);
        const float* from = in.interleaved.data() + in.used * channels;
        if (channels == 1) {
            std::copy_n(from, n, out + done);
        } else {
            const float scale = 1.0f / static_cast<float>(channels);
            for (std::int64_t f = 0; f < n; ++f) {
                float sum = 0.0f;
                for (int c = 0; c < channels; ++c)
                    sum += from[f * channels + c];
                out[done + f] = sum * scale;
            }
        }
        in.used += n;
        done += n;
    }
    return done;
}

std::vector<float> WavReader::readAll() {
    std::vector<float> all;
    std::vector<float> block(4096);
    for (;;) {
        const auto got = read(block.data(), static_cast<std::int64_t>(block.size()));
        if (got <= 0)
            break;
        all.insert(all.end(), block.begin(), block.begin() + got);
    }
    return all;
}

} // namespace orvanta::cli
