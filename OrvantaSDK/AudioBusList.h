#pragma once

#include "OrvantaSDK/AudioBus.h"

#include <array>
#include <cstddef>
#include <stdexcept>

namespace orvanta {

// The buses of one side of a node. Storage is inline (up to MaxBuses), so
// building a list on the audio thread allocates nothing.
class AudioBusList {
public:
    static constexpr std::size_t MaxBuses = 8;

    AudioBusList() = default;
    // `count` buses without buffers.
    explicit AudioBusList(std::size_t count) { resize(count); }

    void resize(std::size_t count) {
        if (count > MaxBuses)
            throw std::length_error("AudioBusList: too many buses");
        for (std::size_t i = count; i < count_; ++i)
            buses_[i] = AudioBus();
        count_ = count;
    }
    void push_back(const AudioBus& bus) {
        if (count_ == MaxBuses)
            throw std::length_error("AudioBusList: too many buses");
        buses_[count_++] = bus;
    }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    AudioBus& operator[](std::size_t index) { return buses_[index]; }
    const AudioBus& operator[](std::size_t index) const { return buses_[index]; }
    AudioBus& at(std::size_t index) {
        if (index >= count_)
            throw std::out_of_range("AudioBusList: no such bus");
        return buses_[index];
    }
    const AudioBus& at(std::size_t index) const { return const_cast<AudioBusList*>(this)->at(index); }

    AudioBus* begin() { return buses_.data(); }
    AudioBus* end() { return buses_.data() + count_; }
    const AudioBus* begin() const { return buses_.data(); }
    const AudioBus* end() const { return buses_.data() + count_; }

private:
    std::array<AudioBus, MaxBuses> buses_{};
    std::size_t count_ = 0;
};

} // namespace orvanta
