#include "nodes/AudioQueue.h"

namespace orvanta::extensions::openai {

AudioQueue::AudioQueue(unsigned int capacity) : ring(capacity) {}

unsigned int AudioQueue::getAvailableItemsToProduce() const {
    return ring.getAvailableItemsToProduce();
}

void AudioQueue::produce(const float* data, unsigned int count) {
    ring.produce(data, count);
    produced.fetch_add(count);
}

unsigned int AudioQueue::getAvailableItemsToConsume() {
    applyPendingClear();
    return ring.getAvailableItemsToConsume();
}

unsigned int AudioQueue::consume(float* out, unsigned int count) {
    applyPendingClear();
    const unsigned int available = ring.getAvailableItemsToConsume();
    const unsigned int n = count < available ? count : available;
    ring.consume(out, n);
    consumed.fetch_add(n);
    return n;
}

bool AudioQueue::consumeAll(float* out, unsigned int count) {
    // Only this (the consumer's) side applies clears and moves the read
    // index, so what is available here cannot shrink before the copy.
    applyPendingClear();
    if (ring.getAvailableItemsToConsume() < count)
        return false;
    ring.consume(out, count);
    consumed.fetch_add(count);
    return true;
}

void AudioQueue::requestClear() {
    // Raise the mark monotonically: two racing requests keep the later one.
    const uint64_t mark = produced.load();
    uint64_t previous = clearMark.load();
    while (previous < mark && !clearMark.compare_exchange_weak(previous, mark)) {
    }
}

void AudioQueue::applyPendingClear() {
    const uint64_t mark = clearMark.load();
    const uint64_t done = consumed.load();
    if (mark <= done)
        return;
    // Everything below the mark was produced before the request, so it is in
    // the ring now (the producer stores its items before it bumps "produced").
    const auto count = static_cast<unsigned int>(mark - done);
    ring.discard(count);
    consumed.fetch_add(count);
}

} // namespace orvanta::extensions::openai
