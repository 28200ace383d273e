#include "tools/cli/WavWriter.h"

#include <sndfile.h>

#include <algorithm>
#include <stdexcept>

namespace orvanta::cli {

namespace {
constexpr std::size_t kPendingFrames = 32768;
}

WavWriter::WavWriter(const std::string& filePath, int sampleRate) : path(filePath) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        throw std::runtime_error("cannot write '" + path + "': " + sf_strerror(nullptr));
    // Without clipping, a sample past full scale would wrap around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    pending.resize(kPendingFrames);
}

WavWriter::~WavWriter() {
    try {
        close();
    } catch (const std::exception&) {
        // Reported by an explicit close(); a destructor cannot.
    }
}

void WavWriter::write(const float* samples, std::int64_t count) {
    while (file && count > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(count, kPendingFrames - pendingFrames));
        std::copy_n(samples, n, pending.data() + pendingFrames);
        pendingFrames += n;
        framesWritten += static_cast<std::int64_t>(n);
        samples += n;
        count -= static_cast<std::int64_t>(n);
        if (pendingFrames == kPendingFrames)
            flush();
    }
}

void WavWriter::writeSilence(std::int64_t count) {
    while (file && count > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(count, kPendingFrames - pendingFrames));
        std::fill_n(pending.data() + pendingFrames, n, 0.0f);
        pendingFrames += n;
        framesWritten += static_cast<std::int64_t>(n);
        count -= static_cast<std::int64_t>(n);
        if (pendingFrames == kPendingFrames)
            flush();
    }
}

void WavWriter::flush() {
    const auto count = static_cast<sf_count_t>(pendingFrames);
    failed = failed || sf_writef_float(file, pending.data(), count) != count;
    pendingFrames = 0;
}

void WavWriter::close() {
    if (!file)
        return;
    flush();
    const int rc = sf_close(file);
    file = nullptr;
    if (rc != 0 || failed)
        throw std::runtime_error("could not write all of '" + path + "'");
}

} // namespace orvanta::cli
