#include "support/Recorders.h"
#include "websocket/HeartbeatMonitor.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace orvanta::websocket;
using namespace std::chrono_literals;

namespace {

// The monitor's callbacks in order: "ping", "timeout", "lost <misses counted then>".
struct Calls : testsupport::Inbox<std::string> {
    void watch(HeartbeatMonitor& m) {
        m.setTimeoutCallback([this] { add("timeout"); });
        m.setConnectionLostCallback([this, &m] { add("lost " + std::to_string(m.getConsecutiveMisses())); });
    }
    static long count(const std::vector<Entry>& all, const std::string& kind) {
        return std::count_if(all.begin(), all.end(), [&](const std::string& e) { return e.rfind(kind, 0) == 0; });
    }
    long count(const std::string& kind) { return count(all(), kind); }
    bool waitFor(const std::string& kind, long n) { return waitUntil([&](const auto& all) { return count(all, kind) >= n; }); }
    std::string firstLoss() {
        const auto all = this->all();
        return *std::find_if(all.begin(), all.end(), [](const std::string& e) { return e.rfind("lost", 0) == 0; });
    }
};

} // namespace

TEST(HeartbeatMonitor, AnsweredPingsNeverCountAsMisses) {
    Calls calls;
    HeartbeatMonitor* self = nullptr;
    // sendPing runs outside the monitor's lock, so it may answer at once.
    HeartbeatMonitor monitor({5ms, 1h, 2}, [&] { calls.add("ping"), self->notifyPongReceived(); });
    self = &monitor;
    calls.watch(monitor);
    monitor.start();
    monitor.start();  // a second thread would be assigned over a joinable one
    EXPECT_TRUE(monitor.isRunning());
    // With an hour to wait for each pong, five pings mean five answers heard.
    ASSERT_TRUE(calls.waitFor("ping", 5));
    monitor.stop();
    monitor.stop();
    EXPECT_EQ(calls.count("timeout"), 0);
    EXPECT_EQ(monitor.getConsecutiveMisses(), 0u);
    EXPECT_FALSE(monitor.isRunning());
}

TEST(HeartbeatMonitor, SilenceCountsMissesAndReportsLossFromTheLimitOn) {
    HeartbeatMonitor monitor({1ms, 5ms, 3}, [] {});
    for (int round = 0; round < 2; ++round) {  // a restart counts from zero again
        Calls calls;
        calls.watch(monitor);
        monitor.start();
        ASSERT_TRUE(calls.waitFor("lost", 2));
        monitor.stop();
        EXPECT_EQ(calls.firstLoss(), "lost 3");
        EXPECT_EQ(calls.count("timeout"), calls.count("lost") + 2);  // every miss is a timeout; loss from the third on
        EXPECT_EQ(monitor.getConsecutiveMisses(), static_cast<uint32_t>(calls.count("timeout")));
    }

    // A pong that comes late, during the pause after a miss, still clears the count.
    Calls late;
    HeartbeatMonitor slow({1h, 5ms, 9}, [] {});
    late.watch(slow);
    slow.start();
    ASSERT_TRUE(late.waitFor("timeout", 1));
    EXPECT_EQ(slow.getConsecutiveMisses(), 1u);
    slow.notifyPongReceived();
    EXPECT_EQ(slow.getConsecutiveMisses(), 0u);
}

TEST(HeartbeatMonitor, StopDuringTheWaitEndsItAndCountsTheMiss) {
    Calls calls;
    // Neither the pong timeout nor the pause could end by itself within the test's time limit.
    auto monitor = std::make_unique<HeartbeatMonitor>(HeartbeatMonitor::Config{1h, 1h, 1}, [&] { calls.add("ping"); });
    calls.watch(*monitor);
    monitor->start();
    ASSERT_TRUE(calls.waitFor("ping", 1));
    monitor.reset();  // the destructor stops and joins
    EXPECT_EQ(calls.count("timeout"), 1);
}
