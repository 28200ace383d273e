#include "tools/cli/WavWriter.h"

#include <sndfile.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orvanta::cli {

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
}

WavWriter::~WavWriter() {
    try {
        close();
    } catch (const std::exception&) {
        // Reported by an explicit close(); a destructor cannot.
    }
}

void WavWriter::write(const float* samples, std::int64_t count) {
    if (!file || count <= 0)
        return;
    const sf_count_t written = sf_writef_float(file, samples, count);
    framesWritten += written;
    failed = failed || written != count;
}

void WavWriter::writeSilence(std::int64_t count) {
    static const std::vector<float> zeros(4096, 0.0f);
    while (count > 0) {
        const auto n = std::min<std::int64_t>(count, static_cast<std::int64_t>(zeros.size()));
        write(zeros.data(), n);
        count -= n;
    }
}

void WavWriter::close() {
    if (!file)
        return;
    const int rc = sf_close(file);
    file = nullptr;
    if (rc != 0 || failed)
        throw std::runtime_error("could not write all of '" + path + "'");
}

} // namespace orvanta::cli
