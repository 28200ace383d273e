#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace orvanta {

// Non-interleaved sample storage: `channels` planes of up to `capacity`
// frames, allocated by the constructor or resize() and never by anything
// else. setNumberOfFrames() changes the used length within the capacity
// without allocating, so one buffer serves blocks of varying size on the
// audio thread. The buffer also carries the sample rate of its audio.
//
// Threads: resize() off the audio thread; everything else may run on the
// audio thread (no allocation, no lock, no throw except on misuse of
// setNumberOfFrames beyond the capacity).
template <class T>
class AudioBuffer {
public:
    AudioBuffer() = default;
    AudioBuffer(int numberOfChannels, int numberOfFrames, int sampleRate = 0) {
        resize(numberOfChannels, numberOfFrames);
        sampleRate_ = sampleRate;
    }

    // Allocates zeroed storage; the frame count becomes `numberOfFrames`.
    void resize(int numberOfChannels, int numberOfFrames) {
        if (numberOfChannels < 0 || numberOfFrames < 0)
            throw std::invalid_argument("AudioBuffer: negative size");
        channels_ = numberOfChannels;
        capacity_ = numberOfFrames;
        frames_ = numberOfFrames;
        data_.assign(static_cast<std::size_t>(channels_) * static_cast<std::size_t>(capacity_), T());
    }

    // Sets the used length, at most the capacity. Keeps the samples.
    void setNumberOfFrames(int numberOfFrames) {
        if (numberOfFrames < 0 || numberOfFrames > capacity_)
            throw std::length_error("AudioBuffer: frame count beyond capacity");
        frames_ = numberOfFrames;
    }

    int getNumberOfChannels() const { return channels_; }
    int getNumberOfFrames() const { return frames_; }
    int getCapacity() const { return capacity_; }
    int getSampleRate() const { return sampleRate_; }
    void setSampleRate(int sampleRate) { sampleRate_ = sampleRate; }

    const T* getReadPointer(int channel) const { return data_.data() + offset(channel); }
    T* getWritePointer(int channel) { return data_.data() + offset(channel); }

    // Zeroes the used frames of every channel.
    void clear() {
        for (int ch = 0; ch < channels_; ++ch)
            std::fill_n(getWritePointer(ch), frames_, T());
    }

private:
    std::size_t offset(int channel) const {
        return static_cast<std::size_t>(channel) * static_cast<std::size_t>(capacity_);
    }

    std::vector<T> data_;
    int channels_ = 0;
    int capacity_ = 0;
    int frames_ = 0;
    int sampleRate_ = 0;
};

} // namespace orvanta
