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
    std::vector<float> interleaved; // scratch for files of two or more channels
};

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
}

WavReader::~WavReader() { sf_close(impl->file); }

int WavReader::getSampleRate() const { return impl->info.samplerate; }
int WavReader::getChannels() const { return impl->info.channels; }
std::int64_t WavReader::getFrames() const { return impl->info.frames; }
double WavReader::getDurationSeconds() const {
    return static_cast<double>(impl->info.frames) / impl->info.samplerate;
}

void WavReader::reserve(std::int64_t maxFrames) {
    if (impl->info.channels > 1)
        impl->interleaved.resize(static_cast<std::size_t>(maxFrames * impl->info.channels));
}

std::int64_t WavReader::read(float* out, std::int64_t frames) {
    const int channels = impl->info.channels;
    if (channels == 1)
        return std::max<sf_count_t>(0, sf_readf_float(impl->file, out, frames));
    const auto needed = static_cast<std::size_t>(frames * channels);
    if (impl->interleaved.size() < needed)
        impl->interleaved.resize(needed);
    const sf_count_t got = std::max<sf_count_t>(0, sf_readf_float(impl->file, impl->interleaved.data(), frames));
    const float scale = 1.0f / static_cast<float>(channels);
    for (sf_count_t f = 0; f < got; ++f) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c)
            sum += impl->interleaved[static_cast<std::size_t>(f * channels + c)];
        out[f] = sum * scale;
    }
    return got;
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
