#pragma once

namespace orvanta {

// Sample rate (Hz) and channel count of a bus. A plain value.
class AudioBusFormat {
public:
    AudioBusFormat() = default;
    AudioBusFormat(int sampleRate, int numberOfChannels) : sampleRate_(sampleRate), channels_(numberOfChannels) {}

    int getSampleRate() const { return sampleRate_; }
    int getNumberOfChannels() const { return channels_; }
    void setSampleRate(int sampleRate) { sampleRate_ = sampleRate; }
    void setNumberOfChannels(int channels) { channels_ = channels; }

    // True when both rate and channel count agree.
    static bool matchBusFormats(const AudioBusFormat& a, const AudioBusFormat& b) {
        return a.sampleRate_ == b.sampleRate_ && a.channels_ == b.channels_;
    }

    friend bool operator==(const AudioBusFormat& a, const AudioBusFormat& b) { return matchBusFormats(a, b); }
    friend bool operator!=(const AudioBusFormat& a, const AudioBusFormat& b) { return !matchBusFormats(a, b); }

private:
    int sampleRate_ = 48000;
    int channels_ = 1;
};

} // namespace orvanta
