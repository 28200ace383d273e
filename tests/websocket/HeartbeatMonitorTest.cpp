#include "websocket/HeartbeatMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace orvanta::websocket;
using namespace std::chrono_literals;

namespace {

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST(HeartbeatMonitor, AnsweredPingsNeverCountAsMisses) {
    std::atomic<int> pings{0}, timeouts{0};
    HeartbeatMonitor* self = nullptr;
    // sendPing runs outside the monitor's lock, so it may answer at once.
    HeartbeatMonitor monitor({5ms, 2s, 2}, [&] {
        ++pings;
        self->notifyPongReceived();
    });
    self = &monitor;
    monitor.setTimeoutCallback([&] { ++timeouts; });
    monitor.start();
    monitor.start();  // one thread only
    ASSERT_TRUE(eventually([&] { return pings >= 5; }));
    monitor.stop();
    monitor.stop();
    EXPECT_EQ(timeouts, 0);
    EXPECT_EQ(monitor.getConsecutiveMisses(), 0u);
    EXPECT_FALSE(monitor.isRunning());
}

TEST(HeartbeatMonitor, SilenceCountsMissesAndReportsLossFromTheLimitOn) {
    std::atomic<int> timeouts{0}, lost{0};
    std::atomic<uint32_t> missesAtFirstLoss{0};
    HeartbeatMonitor monitor({1ms, 5ms, 3}, [] {});
    monitor.setTimeoutCallback([&] { ++timeouts; });
    monitor.setConnectionLostCallback([&] {
        if (lost++ == 0) missesAtFirstLoss = monitor.getConsecutiveMisses();
    });
    monitor.start();
    ASSERT_TRUE(eventually([&] { return lost >= 2; }));
    monitor.stop();
    EXPECT_EQ(missesAtFirstLoss, 3u);
    EXPECT_GE(timeouts, 4);
    EXPECT_GE(monitor.getConsecutiveMisses(), 4u);

    // A pong that comes late, while the loop pauses, still resets the count;
    // a pong with no ping outstanding does nothing.
    std::atomic<int> cycles{0};
    HeartbeatMonitor late({300ms, 5ms, 9}, [&] { ++cycles; });
    late.start();
    ASSERT_TRUE(eventually([&] { return late.getConsecutiveMisses() == 1; }));
    late.notifyPongReceived();
    EXPECT_EQ(late.getConsecutiveMisses(), 0u);
    late.notifyPongReceived();
    EXPECT_EQ(late.getConsecutiveMisses(), 0u);
}

TEST(HeartbeatMonitor, StopDuringTheWaitReturnsPromptlyAndCountsTheMiss) {
    std::atomic<int> timeouts{0};
    std::atomic<bool> pinged{false};
    auto monitor = std::make_unique<HeartbeatMonitor>(HeartbeatMonitor::Config{1s, 60s, 1}, [&] { pinged = true; });
    monitor->setTimeoutCallback([&] { ++timeouts; });
    monitor->start();
    ASSERT_TRUE(eventually([&] { return pinged.load(); }));
    const auto before = std::chrono::steady_clock::now();
    monitor.reset();  // the destructor stops and joins
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
    EXPECT_EQ(timeouts, 1);
}
