#pragma once

#include "utils/RingBuffer.h"

#include <atomic>
#include <cstdint>

namespace orvanta::extensions::openai {

// A single-producer/single-consumer float FIFO that numbers its samples and
// whose contents any third thread may ask to drop.
//
// Positions: every sample has a stream position, the number of samples
// produced before it. producedCount() is the position of the next sample to
// be produced, consumedCount() that of the next to be consumed (samples
// dropped by a clear count as consumed). Other threads use positions to say
// "everything produced before this call" without touching the ring.
//
// A plain ring buffer may only be cleared while both sides are idle, but the
// nodes' "clear" actions arrive from host threads while the audio thread or
// the sender is running. So a clear is a request: it records the position
// produced so far, and the consumer drops up to that mark when it next
// applies pending clears. Audio produced before the request is never
// delivered afterwards; audio produced after it is kept. Nothing here locks
// or allocates after construction.
class AudioQueue {
public:
    explicit AudioQueue(unsigned int capacity);

    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    // Producer side.
    unsigned int getAvailableItemsToProduce() const;
    void produce(const float* data, unsigned int count);

    // Consumer side. A pending clear is applied only by applyPendingClear(),
    // so what the consumer found available stays available until it moves
    // on. Returns true when a clear was requested since the last call.
    bool applyPendingClear();
    unsigned int getAvailableItemsToConsume() const;
    // Copies at most what is there and returns how many items it copied;
    // nothing past that is written.
    unsigned int consume(float* out, unsigned int count);
    // Drops the items before stream position `position` (those still there).
    void discardUntil(uint64_t position);

    // Any thread.
    uint64_t producedCount() const { return produced.load(std::memory_order_acquire); }
    uint64_t consumedCount() const { return consumed.load(std::memory_order_acquire); }
    // An estimate: items in the ring, a pending clear not yet applied.
    unsigned int getBufferedItems() const { return ring.getAvailableItemsToConsume(); }
    // Drop everything produced before this call.
    void requestClear();

private:
    audio::RingBuffer<float> ring;
    // Each written by one side only, so plain stores suffice (no locked
    // read-modify-write on the audio thread).
    std::atomic<uint64_t> produced{0};
    std::atomic<uint64_t> consumed{0};
    std::atomic<uint64_t> clearMark{0}; // highest "produced" a clear asked to drop
    uint64_t clearSeen = 0;             // consumer only: the mark last applied
};

} // namespace orvanta::extensions::openai
