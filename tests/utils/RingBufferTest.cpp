#include "utils/RingBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

using orvanta::audio::RingBuffer;

namespace {

template <typename T>
std::vector<T> take(RingBuffer<T>& ring, unsigned int count) {
    std::vector<T> out(count, T(-1));
    ring.consume(out.data(), count);
    return out;
}

} // namespace

TEST(RingBuffer, WrapsInOrderThroughCallerStorageReadsDiscardsClearsAndStaysInsideIt) {
    float storage[5] = {};
    {
        RingBuffer<float> ring(4, storage);
        const float a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8};
        ring.produce(a, 4);
        EXPECT_EQ(ring.getAvailableItemsToProduce(), 0u);
        EXPECT_EQ(take(ring, 4), (std::vector<float>{1, 2, 3, 4}));
        ring.produce(a, 1); // into the last slot: the write index wraps to the first
        EXPECT_EQ(ring.getWritePointer(), storage);
        EXPECT_EQ(take(ring, 1), (std::vector<float>{1}));
        ring.produce(a, 2); // both indices at slot 2 after this: the next four go to slots 2, 3, 4, 0
        EXPECT_EQ(take(ring, 2), (std::vector<float>{1, 2}));
        ring.produce(b, 4);
        EXPECT_EQ(ring.getWritePointer(), storage + 1);
        EXPECT_EQ(ring.getReadPointer(), storage + 2);
        EXPECT_EQ(storage[0], 8.0f);
        std::vector<float> peek(3);
        ring.read(peek.data(), 3); // twice: read removes nothing
        ring.read(peek.data(), 3);
        EXPECT_EQ(peek, (std::vector<float>{5, 6, 7}));
        ring.discard(1);
        EXPECT_EQ(take(ring, 3), (std::vector<float>{6, 7, 8}));
        EXPECT_EQ(ring.getAvailableItemsToProduce(), 4u);
        ring.produce(a, 3);
        ring.discard(100);
        EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
        ring.produce(a, 3);
        ring.clear();
        EXPECT_EQ(ring.getAvailableItemsToProduce(), 4u);
        ring.produce(b, 2);
        EXPECT_EQ(take(ring, 2), (std::vector<float>{5, 6}));
    } // destroying must not free `storage` (ASan / the allocator would object)

    // Asking for more than there is stays inside the storage and keeps the indices sound.
    RingBuffer<short> ring(5);
    std::vector<short> big(1000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<short>(i + 1);
    ring.produce(big.data(), 0);
    ring.produce(big.data(), 3);
    ring.produce(big.data() + 100, 1000); // only 2 fit; the rest is dropped
    std::vector<short> expected(1000, 0); // silence after the stored items, not stale storage
    std::copy_n(std::vector<short>{1, 2, 3, 101, 102}.begin(), 5, expected.begin());
    EXPECT_EQ(take(ring, 1000), expected);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 5u);

    RingBuffer<char> none(0);
    none.produce("x", 1);
    EXPECT_EQ(none.getAvailableItemsToConsume(), 0u);
    EXPECT_THROW(RingBuffer<char>(std::numeric_limits<unsigned int>::max()), std::length_error);
}

// One producer and one consumer at unrelated block sizes through a buffer whose capacity is not a power of two.
TEST(RingBuffer, TwoThreadStressKeepsOrderAndContent) {
    constexpr std::uint32_t total = 4'000'000;
    RingBuffer<float> ring(997);
    auto value = [](std::uint32_t i) { return static_cast<float>(i % (1u << 24)); }; // exact as a float
    std::thread producer([&] {
        std::vector<float> block(128);
        for (std::uint32_t next = 0, size = 1; next < total;) {
            const std::uint32_t n = std::min(size = size % 127 + 1, total - next);
            while (ring.getAvailableItemsToProduce() < n)
                std::this_thread::yield();
            for (std::uint32_t i = 0; i < n; ++i)
                block[i] = value(next + i);
            ring.produce(block.data(), n);
            next += n;
        }
    });
    std::vector<float> block(200);
    std::uint32_t firstWrong = total;
    for (std::uint32_t expected = 0, size = 7; expected < total; expected += size) {
        size = std::min(size * 13 % 199 + 1, total - expected); // 1 .. 199, scrambled
        while (ring.getAvailableItemsToConsume() < size)
            std::this_thread::yield();
        ring.consume(block.data(), size);
        for (std::uint32_t i = 0; i < size; ++i)
            if (block[i] != value(expected + i))
                firstWrong = std::min(firstWrong, expected + i);
    }
    producer.join();
    EXPECT_EQ(firstWrong, total) << "the first wrong item";
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
}
