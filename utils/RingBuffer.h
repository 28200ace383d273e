#pragma once

#include <atomic>

namespace orvanta {
namespace audio {

// Fixed-size lock-free FIFO of samples between exactly one producing thread
// and one consuming thread. Holds up to `capacity` items in `capacity` + 1
// slots (one slot stays empty so full and empty differ); capacity need not
// be a power of two. Instantiated for char, float and short.
//
// Real-time safe: after construction nothing allocates, locks, logs or
// throws, and each operation does at most two block copies.
//
// Callers check the availability before producing or consuming. Asking for
// more than is available is clamped so that storage and indices stay sound:
// `produce` stores only what fits (the excess is dropped), `consume` and
// `read` copy only the stored items and fill the rest of `out` with zeros.
template <typename T>
class RingBuffer {
public:
    // Allocates and owns capacity + 1 items. Throws std::length_error when
    // capacity + 1 does not fit an unsigned int.
    explicit RingBuffer(unsigned int capacity);
    // Uses caller storage of capacity + 1 items, which must outlive the ring
    // buffer; it is not freed.
    RingBuffer(unsigned int capacity, T* buffer);
    ~RingBuffer();
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Either side, only while the other side is idle: empties the buffer.
    void clear();

    // --- producer thread ---
    unsigned int getAvailableItemsToProduce() const;
    void produce(const T* data, unsigned int count);
    // The slot the next item goes to; the contiguous run ends at the end of
    // storage. Moves no index.
    T* getWritePointer();

    // --- consumer thread ---
    unsigned int getAvailableItemsToConsume() const;
    // Copies out and removes `count` items.
    void consume(T* out, unsigned int count);
    // Copies out `count` items without removing them.
    void read(T* out, unsigned int count);
    // Removes up to `count` items without copying.
    void discard(unsigned int count);
    // The oldest unread item; the contiguous run ends at the end of storage.
    T* getReadPointer();

    unsigned int getCapacity() const { return capacity; }

private:
    unsigned int wrap(unsigned long long index) const;
    unsigned int stored(unsigned int read, unsigned int write) const;
    unsigned int copyOut(unsigned int read, T* out, unsigned int count, unsigned int available) const;

    const unsigned int capacity;
    const unsigned int bufferSize; // capacity + 1 slots
    T* const buffer;
    const bool ownsBuffer;
    // Apart, so the two sides do not bounce one cache line between cores.
    alignas(64) std::atomic<unsigned int> readIndex{0};  // stored by the consumer (and clear)
    alignas(64) std::atomic<unsigned int> writeIndex{0}; // stored by the producer (and clear)
};

extern template class RingBuffer<char>;
extern template class RingBuffer<float>;
extern template class RingBuffer<short>;

} // namespace audio
} // namespace orvanta
