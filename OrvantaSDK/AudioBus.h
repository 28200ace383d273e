#pragma once

#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBusFormat.h"

namespace orvanta {

// One bus of a node: a view of an AudioBuffer<float> owned elsewhere (by the
// host's graph or by a resampler). Copying a bus copies the view, never the
// samples. Safe on the audio thread.
class AudioBus {
public:
    AudioBus() = default;
    explicit AudioBus(AudioBuffer<float>* buffer) : buffer_(buffer) {}

    AudioBuffer<float>* getBuffer() const { return buffer_; }
    void setBuffer(AudioBuffer<float>* buffer) { buffer_ = buffer; }

    // The buffer's rate and channel count ({0, 0} without a buffer).
    AudioBusFormat getFormat() const {
        return buffer_ ? AudioBusFormat(buffer_->getSampleRate(), buffer_->getNumberOfChannels()) : AudioBusFormat(0, 0);
    }
    int getNumberOfFrames() const { return buffer_ ? buffer_->getNumberOfFrames() : 0; }

private:
    AudioBuffer<float>* buffer_ = nullptr;
};

} // namespace orvanta
