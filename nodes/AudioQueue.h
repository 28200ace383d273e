#pragma once

#include "utils/RingBuffer.h"

#include <atomic>
#include <cstdint>

namespace orvanta::extensions::openai {

// A single-producer/single-consumer float FIFO whose contents any third
// thread may ask to drop.
//
// A plain ring buffer may only be cleared while both sides are idle, but the
// nodes' "clear" actions arrive from host threads while the audio thread or
// the sender is running. So a clear is a request: it records how much has
// been produced so far, and the consumer, at its next call, discards up to
// that mark before it reads anything. Audio produced before the request is
// never delivered afterwards; audio produced after it is kept. Nothing here
// locks or allocates after construction.
class AudioQueue {
public:
    explicit AudioQueue(unsigned int capacity);

    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    // Producer side.
    unsigned int getAvailableItemsToProduce() const;
    void produce(const float* data, unsigned int count);

    // Consumer side. Each applies a pending clear first. consume() copies at
    // most what is there (a clear may land between the two calls) and returns
    // how many items it copied; nothing past that is written.
    unsigned int getAvailableItemsToConsume();
    unsigned int consume(float* out, unsigned int count);
    // All `count` items or none (false).
    bool consumeAll(float* out, unsigned int count);

    // Any thread, as an estimate: items in the ring, a pending clear not yet
    // applied.
    unsigned int getBufferedItems() const { return ring.getAvailableItemsToConsume(); }

    // Any thread: drop everything produced before this call.
    void requestClear();

    // Consumer side, or any thread when the consumer is known to be idle.
    void applyPendingClear();

private:
    audio::RingBuffer<float> ring;
    std::atomic<uint64_t> produced{0};  // written by the producer only
    std::atomic<uint64_t> consumed{0};  // written by the consumer only
    std::atomic<uint64_t> clearMark{0}; // highest "produced" a clear asked to drop
};

} // namespace orvanta::extensions::openai
