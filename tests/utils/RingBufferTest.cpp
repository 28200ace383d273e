#include "utils/RingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

using orvanta::audio::RingBuffer;

namespace {

std::vector<float> take(RingBuffer<float>& ring, unsigned int count) {
    std::vector<float> out(count, -1.0f);
    ring.consume(out.data(), count);
    return out;
}

} // namespace

TEST(RingBuffer, FillsToCapacityAndWrapsInOrder) {
    float storage[5] = {};
    {
        RingBuffer<float> ring(4, storage);
        const float a[4] = {1, 2, 3, 4};
        ring.produce(a, 4);
        EXPECT_EQ(ring.getAvailableItemsToProduce(), 0u);
        EXPECT_EQ(ring.getAvailableItemsToConsume(), 4u);
        EXPECT_EQ(take(ring, 4), (std::vector<float>{1, 2, 3, 4}));

        // Both indices at slot 2 after this, so the next four items go to
        // slots 2, 3, 4 and 0.
        ring.produce(a, 3);
        EXPECT_EQ(take(ring, 3), (std::vector<float>{1, 2, 3}));
        const float b[4] = {5, 6, 7, 8};
        ring.produce(b, 4);
        EXPECT_EQ(ring.getWritePointer(), storage + 1);
        EXPECT_EQ(storage[0], 8.0f);                    // the caller's storage really is used
        EXPECT_EQ(take(ring, 4), (std::vector<float>{5, 6, 7, 8}));
        EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
        EXPECT_EQ(ring.getAvailableItemsToProduce(), 4u);
        EXPECT_EQ(ring.getReadPointer(), ring.getWritePointer());
    } // destroying must not free `storage` (ASan / the allocator would object)
}

TEST(RingBuffer, ReadDiscardClearAndZeroCounts) {
    RingBuffer<float> ring(6);
    const float a[5] = {1, 2, 3, 4, 5};
    ring.produce(a, 0);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    ring.produce(a, 5);

    std::vector<float> first(3), second(3);
    ring.read(first.data(), 3);
    ring.read(second.data(), 3);
    EXPECT_EQ(first, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(second, first);
    EXPECT_EQ(take(ring, 3), first);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 2u);

    ring.discard(100);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    EXPECT_EQ(ring.getReadPointer(), ring.getWritePointer());

    ring.produce(a, 4);
    ring.discard(1);
    EXPECT_EQ(take(ring, 3), (std::vector<float>{2, 3, 4}));

    ring.produce(a, 5);
    ring.clear();
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 6u);
    ring.produce(a, 2);
    EXPECT_EQ(take(ring, 2), (std::vector<float>{1, 2}));
}

TEST(RingBuffer, OverAskingStaysInsideStorageAndKeepsIndicesSound) {
    RingBuffer<short> ring(5);
    std::vector<short> big(1000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<short>(i + 1);

    ring.produce(big.data(), 3);
    ring.produce(big.data() + 100, 1000); // only 2 fit; the rest is dropped
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 5u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 0u);

    std::vector<short> out(1000, 7);
    ring.consume(out.data(), 1000);
    EXPECT_EQ(std::vector<short>(out.begin(), out.begin() + 5), (std::vector<short>{1, 2, 3, 101, 102}));
    for (std::size_t i = 5; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0) << i; // silence, not stale storage
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 5u);

    RingBuffer<char> none(0);
    const char c = 'x';
    none.produce(&c, 1);
    EXPECT_EQ(none.getAvailableItemsToConsume(), 0u);

    EXPECT_THROW(RingBuffer<char>(std::numeric_limits<unsigned int>::max()), std::length_error);
}

// One producer and one consumer at unrelated block sizes through a small
// buffer whose capacity is not a power of two: every item must arrive once,
// in order, with its content.
TEST(RingBuffer, TwoThreadStressKeepsOrderAndContent) {
    constexpr std::uint32_t total = 4'000'000;
    constexpr std::uint32_t floatExact = 1u << 24; // integers below this are exact floats
    RingBuffer<float> ring(997);

    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        std::vector<float> block(128);
        std::uint32_t next = 0;
        std::uint32_t size = 1;
        while (next < total) {
            size = size % 127 + 1; // 2 .. 127, then around again
            const std::uint32_t n = std::min(size, total - next);
            if (ring.getAvailableItemsToProduce() < n) {
                std::this_thread::yield();
                continue;
            }
            for (std::uint32_t i = 0; i < n; ++i)
                block[i] = static_cast<float>((next + i) % floatExact);
            ring.produce(block.data(), n);
            next += n;
        }
        producerDone = true;
    });

    std::vector<float> block(200);
    std::uint32_t expected = 0;
    std::uint32_t size = 7;
    bool orderOk = true;
    while (expected < total && orderOk) {
        size = size * 13 % 199 + 1; // 1 .. 199, scrambled
        const std::uint32_t n = std::min(size, total - expected);
        if (ring.getAvailableItemsToConsume() < n) {
            std::this_thread::yield();
            continue;
        }
        ring.consume(block.data(), n);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (block[i] != static_cast<float>((expected + i) % floatExact)) {
                ADD_FAILURE() << "item " << expected + i << " arrived as " << block[i];
                orderOk = false;
                break;
            }
        }
        expected += n;
    }
    // After a failure, drain so that the producer can finish and be joined.
    while (!orderOk && !producerDone)
        ring.discard(ring.getAvailableItemsToConsume());
    producer.join();
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
}
