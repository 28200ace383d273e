#pragma once

#include "OrvantaSDK/AudioBusList.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace orvanta {

// Runs a node's processing at a fixed internal rate and block length
// (AudioGraphResampler(24000, 240): 24 kHz mono blocks of exactly 240
// frames) whatever the host's rate and block size.
//
// Input buses are mixed down to mono, converted to the internal rate (libsoxr,
// high quality, linear phase) and cut into blocks; the callback gets one
// block per input and per output bus. For output buses (processor nodes) the
// callback's blocks are converted back to the host rate and written to every
// channel of the host's output. Without output buses (sink nodes) the
// callback is only fed. At a host rate equal to the internal rate the
// samples pass through unchanged, without a converter.
//
// Latency: the output is the processed input delayed by exactly
// getLatencyFrames() host frames, for every block size and pattern of block
// sizes. It is the worst case of block gathering plus converter look-ahead,
// and the output is prefilled with that much silence so that every host
// block is written in full on every call. Measured for 24000/240: 48 kHz
// 1087 frames (22.6 ms), 44.1 kHz 1050 (23.8 ms), 16 kHz 719 (44.9 ms),
// 8 kHz 516 (64.5 ms), and at 24 kHz 239 frames, the block gathering alone.
//
// Threads: the constructor, setNumberOfBuses, setProcessCallback and
// prepare on a host thread while the audio thread is not in process.
// process on the audio thread: once prepared for the host rate it takes no
// lock and allocates nothing. The host rate is read from the buffers'
// sample rate; the first process call at a new rate prepares for it (and so
// allocates). The host's setBusFormats makes that call off the audio thread
// with a zero-frame block, so nodes need not call prepare themselves.
class AudioGraphResampler {
public:
    using ProcessCallback = std::function<bool(AudioBusList& inputs, AudioBusList& outputs)>;

    AudioGraphResampler(int internalSampleRate, int internalBlockFrames);
    ~AudioGraphResampler();
    AudioGraphResampler(const AudioGraphResampler&) = delete;
    AudioGraphResampler& operator=(const AudioGraphResampler&) = delete;

    // At least one input bus; up to AudioBusList::MaxBuses each side.
    // Throws std::invalid_argument otherwise. Drops any preparation.
    void setNumberOfBuses(int inputs, int outputs);
    void setProcessCallback(ProcessCallback callback);

    // Sets up converters and buffers for a host rate and clears all state
    // (a fresh stream, prefilled output).
    void prepare(int hostSampleRate);

    // Audio thread. All buses carry the same number of frames (the first
    // input's count is used). Returns false when a callback returned false
    // in this call, or when the buses do not match setNumberOfBuses; the
    // output is written in full in every case.
    bool process(AudioBusList& inputs, AudioBusList& outputs);

    int getInternalSampleRate() const;
    int getInternalBlockFrames() const;
    // 0 until prepared.
    int getHostSampleRate() const;
    // Output delay in host frames for the prepared rate (0 without outputs).
    int getLatencyFrames() const;
    // Host frames that had to be written as silence because converted
    // output was not there in time; stays 0 unless something is broken.
    std::uint64_t getUnderrunFrames() const;

private:
    struct Internals;
    std::unique_ptr<Internals> internals_;
};

} // namespace orvanta
