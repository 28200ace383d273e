#include "nodes/AudioQueue.h"

namespace orvanta::extensions::openai {

AudioQueue::AudioQueue(unsigned int capacity) : ring(capacity) {}

unsigned int AudioQueue::getAvailableItemsToProduce() const { return ring.getAvailableItemsToProduce(); }

void AudioQueue::produce(const float* data, unsigned int count) {
    ring.produce(data, count);
    // After the ring's own release: whoever sees the new count finds the
    // items in the ring.
    produced.store(produced.load(std::memory_order_relaxed) + count, std::memory_order_release);
}

bool AudioQueue::applyPendingClear() {
    const uint64_t mark = clearMark.load(std::memory_order_acquire);
    if (mark == clearSeen)
        return false;
    clearSeen = mark;
    discardUntil(mark);
    return true;
}

unsigned int AudioQueue::getAvailableItemsToConsume() const { return ring.getAvailableItemsToConsume(); }

unsigned int AudioQueue::consume(float* out, unsigned int count) {
    const unsigned int available = ring.getAvailableItemsToConsume();
    const unsigned int n = count < available ? count : available;
    ring.consume(out, n);
    consumed.store(consumed.load(std::memory_order_relaxed) + n, std::memory_order_release);
    return n;
}

void AudioQueue::discardUntil(uint64_t position) {
    const uint64_t done = consumed.load(std::memory_order_relaxed);
    if (position <= done)
        return;
    // Everything below a position taken from producedCount() is in the ring
    // by now (the producer stores its items before it bumps the count).
    const uint64_t wanted = position - done;
    const unsigned int available = ring.getAvailableItemsToConsume();
    const unsigned int count = wanted < available ? static_cast<unsigned int>(wanted) : available;
    ring.discard(count);
    consumed.store(done + count, std::memory_order_release);
}

void AudioQueue::requestClear() {
    // Raise the mark monotonically: two racing requests keep the later one.
    const uint64_t mark = producedCount();
    uint64_t previous = clearMark.load();
    while (previous < mark && !clearMark.compare_exchange_weak(previous, mark)) {
    }
}

} // namespace orvanta::extensions::openai
