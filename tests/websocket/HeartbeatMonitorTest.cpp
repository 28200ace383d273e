#include "websocket/HeartbeatMonitor.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using namespace orvanta::websocket;
using namespace std::chrono_literals;

namespace {

// Counts the monitor's callbacks; the test waits on the counts.
struct Counts {
    template <typename Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return pred(*this); });
    }
    void bump(int Counts::*counter, HeartbeatMonitor* monitor = nullptr) {
        std::lock_guard<std::mutex> lock(mutex);
        ++(this->*counter);
        if (monitor && lost == 1 && counter == &Counts::lost) missesAtFirstLoss = monitor->getConsecutiveMisses();
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    int pings = 0, timeouts = 0, lost = 0;
    uint32_t missesAtFirstLoss = 0;
};

} // namespace

TEST(HeartbeatMonitor, AnsweredPingsNeverCountAsMisses) {
    Counts counts;
    HeartbeatMonitor* self = nullptr;
    // sendPing runs outside the monitor's lock, so it may answer at once.
    HeartbeatMonitor monitor({5ms, 1h, 2}, [&] {
        counts.bump(&Counts::pings);
        self->notifyPongReceived();
    });
    self = &monitor;
    monitor.setTimeoutCallback([&] { counts.bump(&Counts::timeouts); });
    monitor.start();
    monitor.start();  // a second thread would be assigned over a joinable one
    EXPECT_TRUE(monitor.isRunning());
    // With an hour to wait for each pong, five pings mean five answers heard.
    ASSERT_TRUE(counts.waitFor([](const Counts& c) { return c.pings >= 5; }));
    monitor.stop();
    monitor.stop();
    EXPECT_EQ(counts.timeouts, 0);
    EXPECT_EQ(monitor.getConsecutiveMisses(), 0u);
    EXPECT_FALSE(monitor.isRunning());
}

TEST(HeartbeatMonitor, SilenceCountsMissesAndReportsLossFromTheLimitOn) {
    Counts counts;
    HeartbeatMonitor monitor({1ms, 5ms, 3}, [] {});
    monitor.setTimeoutCallback([&] { counts.bump(&Counts::timeouts); });
    monitor.setConnectionLostCallback([&] { counts.bump(&Counts::lost, &monitor); });
    monitor.start();
    ASSERT_TRUE(counts.waitFor([](const Counts& c) { return c.lost >= 2; }));
    monitor.stop();
    EXPECT_EQ(counts.missesAtFirstLoss, 3u);
    EXPECT_EQ(counts.timeouts, counts.lost + 2);  // every miss is a timeout; loss from the third on
    EXPECT_EQ(monitor.getConsecutiveMisses(), static_cast<uint32_t>(counts.timeouts));

    // A restart counts from zero again.
    Counts again;
    monitor.setTimeoutCallback([&] { again.bump(&Counts::timeouts); });
    monitor.setConnectionLostCallback([&] { again.bump(&Counts::lost, &monitor); });
    monitor.start();
    ASSERT_TRUE(again.waitFor([](const Counts& c) { return c.lost >= 1; }));
    monitor.stop();
    EXPECT_EQ(again.missesAtFirstLoss, 3u);

    // A pong that comes late, during the pause after a miss, still clears the
    // count.
    Counts late;
    HeartbeatMonitor slow({1h, 5ms, 9}, [] {});
    slow.setTimeoutCallback([&] { late.bump(&Counts::timeouts); });
    slow.start();
    ASSERT_TRUE(late.waitFor([](const Counts& c) { return c.timeouts == 1; }));
    EXPECT_EQ(slow.getConsecutiveMisses(), 1u);
    slow.notifyPongReceived();
    EXPECT_EQ(slow.getConsecutiveMisses(), 0u);
}

TEST(HeartbeatMonitor, StopDuringTheWaitEndsItAndCountsTheMiss) {
    Counts counts;
    // Neither the pong timeout nor the pause could end by itself within the test's time limit.
    auto monitor = std::make_unique<HeartbeatMonitor>(HeartbeatMonitor::Config{1h, 1h, 1}, [&] { counts.bump(&Counts::pings); });
    monitor->setTimeoutCallback([&] { counts.bump(&Counts::timeouts); });
    monitor->start();
    ASSERT_TRUE(counts.waitFor([](const Counts& c) { return c.pings == 1; }));
    monitor.reset();  // the destructor stops and joins
    EXPECT_EQ(counts.timeouts, 1);
}
