#include "OrvantaSDK/AudioGraphResampler.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvanta {
namespace {

// Host frames handled per pass; larger host blocks are taken in pieces of
// this size so that no buffer ever depends on the host's block size.
constexpr int PieceFrames = 1024;
// Host frames per chunk given to the input converter; at most this many
// less one wait in its staging buffer (counted in the latency).
constexpr std::size_t InputChunk = 32;

// A mono stream converter; none at all when both rates are equal. soxr is
// always given input in chunks of one fixed size (the rest waits in a small
// staging buffer): its internal buffers then settle to a size that priming
// reaches, and never grow on the audio thread.
class Converter {
public:
    Converter() = default;
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    ~Converter() { reset(); }

    void open(int fromRate, int toRate, std::size_t chunk) {
        reset();
        if (fromRate == toRate)
            return;
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        // High quality, linear phase, flat to 85% of the lower Nyquist
        // (10.2 kHz at 24 kHz, far above speech); the wider transition band
        // shortens the filter and so the delay.
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_LINEAR_PHASE);
        quality.passband_end = 0.85;
        // One thread: soxr must not start worker threads under the audio
        // thread. Small DFT blocks: soxr holds back a whole block of input,
        // so this is what sets most of the delay (about 25 ms instead of 75
        // at 48 kHz).
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        runtime.log2_min_dft_size = 8;
        runtime.log2_large_dft_size = 9;
        soxr_ = soxr_create(fromRate, toRate, 1, &error, &io, &quality, &runtime);
        if (!soxr_ || error) {
            reset();
            throw std::runtime_error(std::string("AudioGraphResampler: soxr_create failed: ") +
                                     (error ? error : "unknown error"));
        }
        staging_.assign(chunk, 0.0f);
        staged_ = 0;
        prime(fromRate, toRate);
    }

    // Converts `in` into `out` (room for `room` frames); returns the frames
    // written. Output that does not fit is lost, which the buffer sizes
    // below rule out.
    std::size_t run(const float* in, std::size_t frames, float* out, std::size_t room) {
        if (!soxr_) {
            const std::size_t n = std::min(frames, room);
            std::memcpy(out, in, n * sizeof(float));
            return n;
        }
        std::size_t written = 0;
        while (frames > 0) {
            const std::size_t n = std::min(frames, staging_.size() - staged_);
            std::memcpy(staging_.data() + staged_, in, n * sizeof(float));
            staged_ += n;
            in += n;
            frames -= n;
            if (staged_ == staging_.size()) {
                written += convert(staging_.data(), staged_, out + written, room - written);
                staged_ = 0;
            }
        }
        return written;
    }

private:
    std::size_t convert(const float* in, std::size_t frames, float* out, std::size_t room) {
        std::size_t written = 0;
        std::size_t used = 0;
        // soxr may hand out only part of what it could per call; keep asking
        // until it has nothing more, so no input piles up inside it.
        for (;;) {
            std::size_t idone = 0;
            std::size_t odone = 0;
            soxr_process(soxr_, in + used, frames - used, &idone, out + written, room - written, &odone);
            used += idone;
            const bool progressed = idone > 0 || odone > 0;
            const bool more = odone > 0;
            if (skip_ > 0) {
                const std::size_t drop = std::min(skip_, odone);
                std::memmove(out + written, out + written + drop, (odone - drop) * sizeof(float));
                odone -= drop;
                skip_ -= drop;
            }
            written += odone;
            if (!progressed || written == room || (used == frames && !more))
                return written;
        }
    }

    // Runs two seconds of silence through, in the same fixed chunks, so
    // that soxr sizes its buffers here and not on the audio thread
    // (soxr_clear would free them again). The silence is a whole number of
    // output frames long, and the output still owed for it is skipped as it
    // arrives: the stream is then exactly as aligned as a fresh one, output
    // frame k belonging to input time k.
    void prime(int fromRate, int toRate) {
        skip_ = 0;
        const std::size_t chunk = staging_.size();
        const std::size_t g = static_cast<std::size_t>(std::gcd(fromRate, toRate));
        const std::size_t unit = std::lcm(static_cast<std::size_t>(fromRate) / g, chunk);
        std::size_t total = std::max<std::size_t>(static_cast<std::size_t>(fromRate) * 2, 256 * chunk);
        total = (total + unit - 1) / unit * unit;
        const std::size_t owed = total / (static_cast<std::size_t>(fromRate) / g) * (static_cast<std::size_t>(toRate) / g);
        std::vector<float> zeros(chunk, 0.0f);
        std::vector<float> out(owed + 8192);
        std::size_t emitted = 0;
        for (std::size_t fed = 0; fed < total; fed += chunk)
            emitted += convert(zeros.data(), chunk, out.data(), out.size());
        skip_ = owed - emitted;
    }

    void reset() {
        if (soxr_)
            soxr_delete(soxr_);
        soxr_ = nullptr;
    }

    soxr_t soxr_ = nullptr;
    std::vector<float> staging_;
    std::size_t staged_ = 0;
    std::size_t skip_ = 0;
};

// A linear FIFO of mono frames with a read position; compacted after each
// piece, so it never grows beyond the capacity given at preparation.
struct Fifo {
    std::vector<float> data;
    std::size_t begin = 0;
    std::size_t end = 0;

    void allocate(std::size_t capacity) {
        data.assign(capacity, 0.0f);
        begin = end = 0;
    }
    std::size_t size() const { return end - begin; }
    std::size_t room() const { return data.size() - end; }
    float* writePointer() { return data.data() + end; }
    const float* readPointer() const { return data.data() + begin; }
    void compact() {
        if (begin == 0)
            return;
        std::memmove(data.data(), data.data() + begin, size() * sizeof(float));
        end -= begin;
        begin = 0;
    }
};

struct InputBus {
    Converter converter;
    Fifo fifo; // internal-rate frames waiting for a whole block
    AudioBuffer<float> block;
};

struct OutputBus {
    Converter converter;
    Fifo fifo; // host-rate frames ready to be played
    AudioBuffer<float> block;
    std::size_t debt = 0; // frames owed after an underrun, skipped on arrival
};

} // namespace

struct AudioGraphResampler::Internals {
    int internalRate;
    int blockFrames;
    int numInputs = 1;
    int numOutputs = 1;
    ProcessCallback callback;

    int hostRate = 0;
    int latency = 0;
    std::uint64_t underrun = 0;
    std::vector<InputBus> inputs;
    std::vector<OutputBus> outputs;
    std::vector<float> mono; // one piece of host input, mixed down
    AudioBusList callbackInputs;
    AudioBusList callbackOutputs;

    std::size_t framesAtInternalRate(std::size_t hostFrames) const {
        return (hostFrames * static_cast<std::size_t>(internalRate) + hostRate - 1) / hostRate;
    }
    std::size_t framesAtHostRate(std::size_t internalFrames) const {
        return (internalFrames * static_cast<std::size_t>(hostRate) + internalRate - 1) / internalRate;
    }

    int measureLatency();
    void prepare(int rate);
    bool feedPiece(AudioBusList& in, std::size_t offset, std::size_t frames);
    void playPiece(AudioBusList& out, std::size_t offset, std::size_t frames);
    void silence(AudioBusList& out);
};

// The largest shortfall between host frames taken in and converted frames
// ready to go out, over any pattern of host blocks: fed one frame at a time
// every point in time is visited, and soxr's output depends only on how much
// input it has seen. Half a second covers the start-up and the repeating
// pattern of block gathering.
int AudioGraphResampler::Internals::measureLatency() {
    Converter in;
    Converter out;
    in.open(hostRate, internalRate, InputChunk);
    out.open(internalRate, hostRate, static_cast<std::size_t>(blockFrames));
    std::vector<float> zeros(static_cast<std::size_t>(blockFrames), 0.0f);
    std::vector<float> scratchIn(static_cast<std::size_t>(blockFrames) + 4096);
    std::vector<float> scratchOut(framesAtHostRate(static_cast<std::size_t>(blockFrames)) + 4096);
    std::size_t gathered = 0;
    long long produced = 0;
    long long worst = 0;
    const float frame = 0.0f;
    for (long long t = 1; t <= hostRate / 2; ++t) {
        gathered += in.run(&frame, 1, scratchIn.data(), scratchIn.size());
        while (gathered >= static_cast<std::size_t>(blockFrames)) {
            gathered -= static_cast<std::size_t>(blockFrames);
            produced += static_cast<long long>(
                out.run(zeros.data(), zeros.size(), scratchOut.data(), scratchOut.size()));
        }
        worst = std::max(worst, t - produced);
    }
    return static_cast<int>(worst);
}

void AudioGraphResampler::Internals::prepare(int rate) {
    if (rate <= 0)
        throw std::invalid_argument("AudioGraphResampler: sample rate must be positive");
    hostRate = rate;
    latency = numOutputs > 0 ? measureLatency() : 0;
    underrun = 0;

    const std::size_t block = static_cast<std::size_t>(blockFrames);
    // Room for one piece converted, a block left over, and soxr releasing
    // what it held back for look-ahead.
    const std::size_t inCapacity = 2 * framesAtInternalRate(PieceFrames) + 2 * block + 4096;
    const std::size_t outCapacity =
        static_cast<std::size_t>(latency) + PieceFrames + 4 * framesAtHostRate(block) + 4096;

    inputs = std::vector<InputBus>(static_cast<std::size_t>(numInputs));
    for (auto& bus : inputs) {
        bus.converter.open(hostRate, internalRate, InputChunk);
        bus.fifo.allocate(inCapacity);
        bus.block = AudioBuffer<float>(1, blockFrames, internalRate);
    }
    outputs = std::vector<OutputBus>(static_cast<std::size_t>(numOutputs));
    for (auto& bus : outputs) {
        bus.converter.open(internalRate, hostRate, block);
        bus.fifo.allocate(outCapacity);
        bus.fifo.end = static_cast<std::size_t>(latency); // the prefill: silence
        bus.block = AudioBuffer<float>(1, blockFrames, internalRate);
    }
    mono.assign(PieceFrames, 0.0f);
    callbackInputs.resize(static_cast<std::size_t>(numInputs));
    for (std::size_t i = 0; i < inputs.size(); ++i)
        callbackInputs[i].setBuffer(&inputs[i].block);
    callbackOutputs.resize(static_cast<std::size_t>(numOutputs));
    for (std::size_t i = 0; i < outputs.size(); ++i)
        callbackOutputs[i].setBuffer(&outputs[i].block);
}

bool AudioGraphResampler::Internals::feedPiece(AudioBusList& in, std::size_t offset, std::size_t frames) {
    bool ok = true;
    for (std::size_t b = 0; b < inputs.size(); ++b) {
        const AudioBuffer<float>& host = *in[b].getBuffer();
        const int channels = host.getNumberOfChannels();
        const float* source = mono.data();
        if (channels == 1) {
            source = host.getReadPointer(0) + offset;
        } else if (channels == 0) {
            std::fill_n(mono.data(), frames, 0.0f);
        } else {
            const float scale = 1.0f / static_cast<float>(channels);
            for (std::size_t i = 0; i < frames; ++i) {
                float sum = 0.0f;
                for (int ch = 0; ch < channels; ++ch)
                    sum += host.getReadPointer(ch)[offset + i];
                mono[i] = sum * scale;
            }
        }
        Fifo& fifo = inputs[b].fifo;
        fifo.end += inputs[b].converter.run(source, frames, fifo.writePointer(), fifo.room());
    }

    const std::size_t block = static_cast<std::size_t>(blockFrames);
    for (;;) {
        for (const auto& bus : inputs)
            if (bus.fifo.size() < block)
                goto gathered;
        for (auto& bus : inputs) {
            std::memcpy(bus.block.getWritePointer(0), bus.fifo.readPointer(), block * sizeof(float));
            bus.fifo.begin += block;
        }
        for (auto& bus : outputs)
            bus.block.clear();
        if (callback && !callback(callbackInputs, callbackOutputs))
            ok = false;
        for (auto& bus : outputs) {
            Fifo& fifo = bus.fifo;
            const std::size_t before = fifo.end;
            fifo.end += bus.converter.run(bus.block.getReadPointer(0), block, fifo.writePointer(), fifo.room());
            if (bus.debt > 0) {
                // Frames already replaced by silence: drop them so the delay
                // stays what it was.
                const std::size_t skip = std::min(bus.debt, fifo.end - before);
                std::memmove(fifo.data.data() + before, fifo.data.data() + before + skip,
                             (fifo.end - before - skip) * sizeof(float));
                fifo.end -= skip;
                bus.debt -= skip;
            }
        }
    }
gathered:
    for (auto& bus : inputs)
        bus.fifo.compact();
    return ok;
}

void AudioGraphResampler::Internals::playPiece(AudioBusList& out, std::size_t offset, std::size_t frames) {
    for (std::size_t b = 0; b < outputs.size(); ++b) {
        OutputBus& bus = outputs[b];
        AudioBuffer<float>* host = out[b].getBuffer();
        const std::size_t ready = std::min(frames, bus.fifo.size());
        const std::size_t room = static_cast<std::size_t>(host->getNumberOfFrames());
        for (int ch = 0; ch < host->getNumberOfChannels(); ++ch) {
            float* dest = host->getWritePointer(ch);
            for (std::size_t i = 0; i < frames && offset + i < room; ++i)
                dest[offset + i] = i < ready ? bus.fifo.readPointer()[i] : 0.0f;
        }
        bus.fifo.begin += ready;
        if (ready < frames) {
            underrun += frames - ready;
            bus.debt += frames - ready;
        }
        bus.fifo.compact();
    }
}

void AudioGraphResampler::Internals::silence(AudioBusList& out) {
    for (auto& bus : out)
        if (bus.getBuffer())
            bus.getBuffer()->clear();
}

AudioGraphResampler::AudioGraphResampler(int internalSampleRate, int internalBlockFrames)
    : internals_(std::make_unique<Internals>()) {
    if (internalSampleRate <= 0 || internalBlockFrames <= 0)
        throw std::invalid_argument("AudioGraphResampler: rate and block length must be positive");
    internals_->internalRate = internalSampleRate;
    internals_->blockFrames = internalBlockFrames;
}

AudioGraphResampler::~AudioGraphResampler() = default;

void AudioGraphResampler::setNumberOfBuses(int inputs, int outputs) {
    if (inputs < 1 || outputs < 0 || inputs > static_cast<int>(AudioBusList::MaxBuses) ||
        outputs > static_cast<int>(AudioBusList::MaxBuses))
        throw std::invalid_argument("AudioGraphResampler: needs 1 to 8 input buses and 0 to 8 output buses");
    internals_->numInputs = inputs;
    internals_->numOutputs = outputs;
    internals_->hostRate = 0;
    internals_->inputs.clear();
    internals_->outputs.clear();
}

void AudioGraphResampler::setProcessCallback(ProcessCallback callback) { internals_->callback = std::move(callback); }

void AudioGraphResampler::prepare(int hostSampleRate) { internals_->prepare(hostSampleRate); }

bool AudioGraphResampler::process(AudioBusList& inputs, AudioBusList& outputs) {
    Internals& in = *internals_;
    if (inputs.size() != static_cast<std::size_t>(in.numInputs) ||
        outputs.size() != static_cast<std::size_t>(in.numOutputs)) {
        in.silence(outputs);
        return false;
    }
    for (const auto& bus : inputs) {
        if (!bus.getBuffer() || bus.getNumberOfFrames() != inputs[0].getNumberOfFrames()) {
            in.silence(outputs);
            return false;
        }
    }
    for (const auto& bus : outputs) {
        if (!bus.getBuffer()) {
            in.silence(outputs);
            return false;
        }
    }

    int rate = inputs[0].getBuffer()->getSampleRate();
    if (rate <= 0)
        rate = in.hostRate > 0 ? in.hostRate : in.internalRate;
    if (rate != in.hostRate)
        in.prepare(rate); // a format change: allocates, so the host does it off the audio thread

    bool ok = true;
    const std::size_t total = static_cast<std::size_t>(inputs[0].getNumberOfFrames());
    for (std::size_t offset = 0; offset < total; offset += PieceFrames) {
        const std::size_t frames = std::min<std::size_t>(PieceFrames, total - offset);
        ok = in.feedPiece(inputs, offset, frames) && ok;
        in.playPiece(outputs, offset, frames);
    }
    return ok;
}

int AudioGraphResampler::getInternalSampleRate() const { return internals_->internalRate; }
int AudioGraphResampler::getInternalBlockFrames() const { return internals_->blockFrames; }
int AudioGraphResampler::getHostSampleRate() const { return internals_->hostRate; }
int AudioGraphResampler::getLatencyFrames() const { return internals_->latency; }
std::uint64_t AudioGraphResampler::getUnderrunFrames() const { return internals_->underrun; }

} // namespace orvanta
