#include "utils/RingBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace orvanta {
namespace audio {
namespace {

unsigned int slotsFor(unsigned int capacity) {
    if (capacity == std::numeric_limits<unsigned int>::max())
        throw std::length_error("RingBuffer capacity too large");
    return capacity + 1;
}

} // namespace

template <typename T>
RingBuffer<T>::RingBuffer(unsigned int cap)
    : capacity(cap), bufferSize(slotsFor(cap)), buffer(new T[bufferSize]()), ownsBuffer(true) {}

template <typename T>
RingBuffer<T>::RingBuffer(unsigned int cap, T* storage)
    : capacity(cap), bufferSize(slotsFor(cap)), buffer(storage), ownsBuffer(false) {}

template <typename T>
RingBuffer<T>::~RingBuffer() {
    if (ownsBuffer)
        delete[] buffer;
}

template <typename T>
unsigned int RingBuffer<T>::wrap(unsigned long long index) const {
    // Callers pass index < 2 * bufferSize, so one subtraction replaces a
    // division; 64-bit so the sum cannot overflow for huge capacities.
    return static_cast<unsigned int>(index >= bufferSize ? index - bufferSize : index);
}

template <typename T>
unsigned int RingBuffer<T>::stored(unsigned int read, unsigned int write) const {
    return write >= read ? write - read : bufferSize - (read - write);
}

template <typename T>
void RingBuffer<T>::clear() {
    readIndex.store(0);
    writeIndex.store(0);
}

template <typename T>
unsigned int RingBuffer<T>::getAvailableItemsToProduce() const {
    // Acquire on readIndex: slots the consumer released are no longer being
    // read when the producer overwrites them.
    const unsigned int read = readIndex.load(std::memory_order_acquire);
    const unsigned int write = writeIndex.load(std::memory_order_relaxed);
    return capacity - stored(read, write);
}

template <typename T>
void RingBuffer<T>::produce(const T* data, unsigned int count) {
    count = std::min(count, getAvailableItemsToProduce());
    if (count == 0)
        return;
    const unsigned int write = writeIndex.load(std::memory_order_relaxed);
    const unsigned int toEnd = bufferSize - write;
    if (count <= toEnd) {
        std::memcpy(buffer + write, data, count * sizeof(T));
    } else {
        std::memcpy(buffer + write, data, toEnd * sizeof(T));
        std::memcpy(buffer, data + toEnd, (count - toEnd) * sizeof(T));
    }
    // Release: the items are visible before the index that covers them.
    writeIndex.store(wrap(static_cast<unsigned long long>(write) + count), std::memory_order_release);
}

template <typename T>
T* RingBuffer<T>::getWritePointer() {
    return buffer + writeIndex.load(std::memory_order_relaxed);
}

template <typename T>
unsigned int RingBuffer<T>::getAvailableItemsToConsume() const {
    const unsigned int write = writeIndex.load(std::memory_order_acquire);
    const unsigned int read = readIndex.load(std::memory_order_relaxed);
    return stored(read, write);
}

template <typename T>
unsigned int RingBuffer<T>::copyOut(unsigned int read, T* out, unsigned int count, unsigned int available) const {
    const unsigned int n = std::min(count, available);
    const unsigned int toEnd = bufferSize - read;
    if (n <= toEnd) {
        std::memcpy(out, buffer + read, n * sizeof(T));
    } else {
        std::memcpy(out, buffer + read, toEnd * sizeof(T));
        std::memcpy(out + toEnd, buffer, (n - toEnd) * sizeof(T));
    }
    if (n < count)
        std::fill(out + n, out + count, T());
    return n;
}

template <typename T>
void RingBuffer<T>::consume(T* out, unsigned int count) {
    const unsigned int available = getAvailableItemsToConsume();
    const unsigned int read = readIndex.load(std::memory_order_relaxed);
    const unsigned int n = copyOut(read, out, count, available);
    // Release: the copy is done before the producer may reuse the slots.
    readIndex.store(wrap(static_cast<unsigned long long>(read) + n), std::memory_order_release);
}

template <typename T>
void RingBuffer<T>::read(T* out, unsigned int count) {
    copyOut(readIndex.load(std::memory_order_relaxed), out, count, getAvailableItemsToConsume());
}

template <typename T>
void RingBuffer<T>::discard(unsigned int count) {
    const unsigned int n = std::min(count, getAvailableItemsToConsume());
    const unsigned int read = readIndex.load(std::memory_order_relaxed);
    readIndex.store(wrap(static_cast<unsigned long long>(read) + n), std::memory_order_release);
}

template <typename T>
T* RingBuffer<T>::getReadPointer() {
    return buffer + readIndex.load(std::memory_order_relaxed);
}

static_assert(std::is_trivially_copyable<char>::value && std::is_trivially_copyable<float>::value &&
                  std::is_trivially_copyable<short>::value,
              "items are copied bit for bit");

template class RingBuffer<char>;
template class RingBuffer<float>;
template class RingBuffer<short>;

} // namespace audio
} // namespace orvanta
