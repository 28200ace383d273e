#include "utils/Timer.h"

#include "OrvantaSDK/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A flag a test can wait on without sleeping longer than it must.
struct Signal {
    std::mutex mutex;
    std::condition_variable cv;
    bool set = false;
    Clock::time_point when;

    void raise() {
        std::lock_guard<std::mutex> lock(mutex);
        set = true;
        when = Clock::now();
        cv.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return set; });
    }
    bool isSet() {
        std::lock_guard<std::mutex> lock(mutex);
        return set;
    }
};

// Captures host log lines for the life of the object.
struct HostLogCapture {
    std::mutex mutex;
    std::vector<std::pair<orvanta::Logger::Level, std::string>> lines;
    orvanta::Logger::Level previous = orvanta::Logger::getLevel();

    HostLogCapture() {
        orvanta::Logger::setLevel(orvanta::Logger::Level::Debug);
        orvanta::Logger::setSink([this](orvanta::Logger::Level level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.emplace_back(level, text);
        });
    }
    ~HostLogCapture() {
        orvanta::Logger::setSink({});
        orvanta::Logger::setLevel(previous);
    }
};

// Waits for a started timer to finish on its own (a stop() right after
// start() would cancel the callback instead).
bool waitUntilIdle(const Timer& timer) {
    const auto deadline = Clock::now() + 10s;
    while (timer.isRunning() && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return !timer.isRunning();
}

} // namespace

TEST(Timer, FiresOnceAfterItsDelay) {
    Timer timer;
    EXPECT_FALSE(timer.isRunning());
    timer.stop(); // idle: returns at once

    Signal now;
    timer.start([&] { now.raise(); }, 0);
    ASSERT_TRUE(now.wait());

    Signal later;
    const auto armed = Clock::now();
    timer.start([&] { later.raise(); }, 120);
    EXPECT_TRUE(timer.isRunning());
    ASSERT_TRUE(later.wait());
    EXPECT_GE(later.when - armed, 120ms);
    timer.stop();
    EXPECT_FALSE(timer.isRunning());
}

TEST(Timer, RestartAndStopCancelThePendingCallback) {
    Timer timer;
    std::atomic<int> firstRuns{0};
    Signal second;
    timer.start([&] { ++firstRuns; }, 10'000);
    timer.start([&] { second.raise(); }, 0);
    ASSERT_TRUE(second.wait());
    timer.stop();
    EXPECT_EQ(firstRuns, 0); // its thread was joined by the restart

    timer.start([&] { ++firstRuns; }, 10'000);
    EXPECT_TRUE(timer.isRunning());
    timer.stop();
    EXPECT_FALSE(timer.isRunning());
    EXPECT_EQ(firstRuns, 0);

    // The timer is reusable after a cancellation.
    Signal again;
    timer.start([&] { again.raise(); }, 1);
    EXPECT_TRUE(again.wait());
}

TEST(Timer, DestructionCancelsPendingAndWaitsForRunning) {
    std::atomic<bool> ran{false};
    {
        Timer timer;
        timer.start([&] { ran = true; }, 10'000);
    }
    EXPECT_FALSE(ran);

    Signal entered;
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    {
        Timer timer;
        timer.start(
            [&] {
                entered.raise();
                while (!release)
                    std::this_thread::yield();
                std::this_thread::sleep_for(20ms); // still busy when the destructor starts
                finished = true;
            },
            0);
        const bool callbackEntered = entered.wait();
        EXPECT_TRUE(callbackEntered);
        EXPECT_TRUE(timer.isRunning()); // still set while the callback runs
        release = true;
    }
    EXPECT_TRUE(finished);
}

TEST(Timer, CallbackExceptionsAreLoggedOnceAndEndTheTimer) {
    HostLogCapture capture;
    Timer timer;
    timer.start([] { throw std::runtime_error("socket gone"); }, 0);
    ASSERT_TRUE(waitUntilIdle(timer)); // the line is written before the flag drops
    timer.start([] { throw 42; }, 0);
    ASSERT_TRUE(waitUntilIdle(timer));
    timer.stop();

    std::lock_guard<std::mutex> lock(capture.mutex);
    ASSERT_EQ(capture.lines.size(), 2u);
    EXPECT_EQ(capture.lines[0].first, orvanta::Logger::Level::Error);
    EXPECT_EQ(capture.lines[0].second, "[Timer] Uncaught exception in callback: socket gone");
    EXPECT_EQ(capture.lines[1].first, orvanta::Logger::Level::Error);
    EXPECT_EQ(capture.lines[1].second, "[Timer] Unknown exception in timer callback.");
}
