#include "utils/TaskRunner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using orvanta::async::TaskRunner;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Counts task runs and lets the test wait for a number of them.
struct RunCounter {
    std::mutex mutex;
    std::condition_variable changed;
    int runs = 0;

    void hit() {
        std::lock_guard<std::mutex> lock(mutex);
        ++runs;
        changed.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return runs >= n; });
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex);
        return runs;
    }
};

} // namespace

TEST(TaskRunner, OneShotRunsOncePerStartStopCycle) {
    RunCounter counter;
    TaskRunner runner([&] { counter.hit(); });
    runner.stop(); // never started: returns at once

    runner.start();
    ASSERT_TRUE(counter.waitFor(1));
    runner.start(); // still "running" until stopped: no second run
    runner.stop();
    EXPECT_EQ(counter.count(), 1);

    runner.start();
    ASSERT_TRUE(counter.waitFor(2));
    runner.stop();
    runner.stop();
    EXPECT_EQ(counter.count(), 2);
}

TEST(TaskRunner, PeriodicRunsAtOnceThenPausesAfterEachRun) {
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> runs; // start, end
    RunCounter counter;
    TaskRunner runner(30, [&] {
        const auto begin = Clock::now();
        std::this_thread::sleep_for(10ms);
        {
            std::lock_guard<std::mutex> lock(mutex);
            runs.emplace_back(begin, Clock::now());
        }
        counter.hit();
    });
    const auto started = Clock::now();
    runner.start();
    runner.start(); // no second thread
    ASSERT_TRUE(counter.waitFor(3));
    runner.stop();

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(runs.size(), 3u);
    EXPECT_LT(runs[0].first - started, 5s); // first run does not wait a period
    for (std::size_t i = 1; i < runs.size(); ++i)
        EXPECT_GE(runs[i].first - runs[i - 1].second, 30ms) << "pause before run " << i;
}

// A long pause must not hold up stop(): a wake-up lost between the flag check
// and the wait would leave stop() blocked for the whole hour (and the test
// would time out).
TEST(TaskRunner, StopCutsALongPauseShortEveryTime) {
    RunCounter counter;
    TaskRunner runner(3'600'000, [&] { counter.hit(); });
    for (int i = 1; i <= 300; ++i) {
        runner.start();
        if (i % 3 == 0) { // sometimes stop mid-pause, sometimes at once
            ASSERT_TRUE(counter.waitFor(i / 3));
        }
        runner.stop();
    }
}

TEST(TaskRunner, DestructorStopsAndWaitsForTheCurrentRun) {
    RunCounter counter;
    bool finished = false;
    {
        TaskRunner runner(1, [&] {
            counter.hit();
            std::this_thread::sleep_for(2ms);
            finished = true; // read after the join below, so no race
        });
        runner.start();
        ASSERT_TRUE(counter.waitFor(2));
    }
    EXPECT_TRUE(finished);
}

// The sender relies on a wake-up neither waiting for the period nor being lost
// while the task runs: with an hour-long period either fault times out.
TEST(TaskRunner, AWakeUpRunsTheTaskAtOnceAndIsNotLostDuringARun) {
    orvanta::async::WakeSignal signal; // outlives the runner, as the nodes' does
    std::atomic<bool> wakeFromTheTask{false};
    RunCounter counter;
    TaskRunner runner(
        3'600'000,
        [&] {
            if (wakeFromTheTask.exchange(false))
                signal.notify(); // lands while this run is still going
            counter.hit();
        },
        &signal);
    runner.start();
    int expected = 1;
    ASSERT_TRUE(counter.waitFor(expected));
    for (int i = 0; i < 100; ++i) {
        runner.wake();
        ASSERT_TRUE(counter.waitFor(++expected));
        wakeFromTheTask = true;
        signal.notify(); // another thread's call on the shared signal
        expected += 2;   // that run, and the one its mid-run wake-up asks for
        ASSERT_TRUE(counter.waitFor(expected));
    }
}
