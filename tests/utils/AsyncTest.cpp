#include "support/Recorders.h"
#include "utils/TaskRunner.h"
#include "utils/Timer.h"

#include "OrvantaSDK/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using orvanta::async::TaskRunner;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Task runs, callbacks or log lines, with when each came and what it carried.
struct Hit {
    Clock::time_point at;
    std::string text;
};
struct Hits : testsupport::Inbox<Hit> {
    void hit(const std::string& text = {}) { add({Clock::now(), text}); }
    bool waitFor(std::size_t n) { return Inbox::waitFor(n).at != Clock::time_point{}; }
};

} // namespace

TEST(TaskRunner, OneShotRunsOncePerStartStopCycleAndAPeriodicOnePausesAPeriodAfterEachRunEnds) {
    Hits once;
    TaskRunner oneShot([&] { once.hit(); });
    oneShot.stop(); // never started: returns at once
    for (std::size_t cycle = 1; cycle <= 2; ++cycle) {
        oneShot.start();
        ASSERT_TRUE(once.waitFor(cycle));
        oneShot.start(); // still "running" until stopped: no second run
        oneShot.stop();
        EXPECT_EQ(once.count(), cycle);
    }

    Hits runs;
    TaskRunner runner(30, [&] {
        std::this_thread::sleep_for(10ms); // work: the pause counts from its end
        runs.hit();
    });
    runner.start();
    ASSERT_TRUE(runs.waitFor(3));
    runner.stop();
    for (std::size_t i = 1; i < runs.count(); ++i)
        EXPECT_GE(runs.all()[i].at - runs.all()[i - 1].at, 40ms) << "run " << i;
}

// With an hour's period, a first run that waited, a stop() that missed its wake-up between the flag check and the
// wait, or a wake-up that waited or was lost would time the test out. The destructor waits for the run in progress.
TEST(TaskRunner, RunsAtOnceStopsPromptlyAfterTheCurrentRunAndWakesAtOnceWithoutLosingAWakeUp) {
    Hits runs;
    TaskRunner runner(3'600'000, [&] { runs.hit(); });
    for (std::size_t i = 1; i <= 300; ++i) {
        runner.start();
        if (i % 3 == 0) { // sometimes stop mid-pause, sometimes at once
            ASSERT_TRUE(runs.waitFor(i / 3));
        }
        runner.stop();
    }
    std::atomic<bool> inRun{false};
    {
        TaskRunner busy(1, [&] {
            inRun = true;
            runs.hit();
            std::this_thread::sleep_for(5ms); // still busy when the destructor starts
            inRun = false;
        });
        busy.start();
        ASSERT_TRUE(runs.waitFor(runs.count() + 2));
    }
    EXPECT_FALSE(inRun);

    // The sender relies on a wake-up neither waiting for the period nor being lost while the task runs.
    orvanta::async::WakeSignal signal; // outlives the sender, as the nodes' does
    std::atomic<bool> wakeFromTheTask{false};
    Hits woken;
    TaskRunner sender(
        3'600'000,
        [&] {
            if (wakeFromTheTask.exchange(false))
                signal.notify(); // lands while this run is still going
            woken.hit();
        },
        &signal);
    sender.start();
    std::size_t expected = 1;
    ASSERT_TRUE(woken.waitFor(expected));
    for (int i = 0; i < 100; ++i) {
        sender.wake();
        ASSERT_TRUE(woken.waitFor(++expected));
        wakeFromTheTask = true;
        signal.notify(); // another thread's call on the shared signal
        expected += 2;   // that run, and the one its mid-run wake-up asks for
        ASSERT_TRUE(woken.waitFor(expected));
    }
}

TEST(Timer, FiresOnceAfterItsDelayOrNotAtAllWhenRestartedStoppedOrDestroyedAndLogsWhatItThrows) {
    std::atomic<int> cancelledRuns{0};
    Hits fired;
    {
        Timer timer;
        timer.stop(); // idle: returns at once
        timer.start([&] { ++cancelledRuns; }, 10'000);
        timer.start([&] { fired.hit(); }, 0); // replaces the pending one at once
        ASSERT_TRUE(fired.waitFor(1));
        const auto armed = Clock::now();
        timer.start([&] { fired.hit(); }, 120);
        EXPECT_TRUE(timer.isRunning());
        ASSERT_TRUE(fired.waitFor(2));
        timer.stop(); // joins; the flag was dropped by the timer thread itself
        EXPECT_FALSE(timer.isRunning());
        EXPECT_GE(fired.all()[1].at - armed, 120ms);
        timer.start([&] { ++cancelledRuns; }, 10'000);
        timer.stop();
        EXPECT_FALSE(timer.isRunning());
        timer.start([&] { ++cancelledRuns; }, 10'000);
    }
    EXPECT_EQ(cancelledRuns, 0);
    EXPECT_EQ(fired.count(), 2u);

    std::atomic<bool> finished{false};
    {
        Timer timer;
        timer.start([&] {
            fired.hit();
            std::this_thread::sleep_for(20ms); // still busy when the destructor starts
            finished = true;
        }, 0);
        ASSERT_TRUE(fired.waitFor(3));
        EXPECT_TRUE(timer.isRunning()); // still set while the callback runs
    }
    EXPECT_TRUE(finished);

    // Each exception is logged once as an error and ends that timer.
    orvanta::Logger::setSink([&](orvanta::Logger::Level level, const std::string& text) {
        fired.hit((level == orvanta::Logger::Level::Error ? "error: " : "other: ") + text);
    });
    Timer timer;
    timer.start([] { throw std::runtime_error("socket gone"); }, 0);
    ASSERT_TRUE(fired.waitFor(4));
    timer.start([] { throw 42; }, 0); // joins the first timer thread
    ASSERT_TRUE(fired.waitFor(5));
    timer.stop();
    EXPECT_FALSE(timer.isRunning());
    orvanta::Logger::setSink({});
    ASSERT_EQ(fired.count(), 5u);
    EXPECT_EQ(fired.all()[3].text, "error: [Timer] Uncaught exception in callback: socket gone");
    EXPECT_EQ(fired.all()[4].text, "error: [Timer] Unknown exception in timer callback.");
}
