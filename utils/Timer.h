#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs a callback once on its own thread after a delay; can be cancelled.
// Owned by value by its user; neither copyable nor movable (its thread
// refers to it).
//
// start(), stop() and the destructor may be called from any thread except
// the timer's own, i.e. not from inside the callback (they join the timer
// thread), and are serialised among themselves. isRunning() may be called
// from anywhere.
class Timer {
public:
    Timer() = default;
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Cancels and joins any earlier callback (waiting for one that is
    // executing), then runs `callback` on a new thread once `delayMs` have
    // passed. An exception from the callback is logged through the host
    // logger and ends the timer normally.
    void start(std::function<void()> callback, int delayMs);

    // Cancels a pending callback and waits for the timer thread to end,
    // including a callback that is already executing. A pending callback is
    // woken at once: a session start waits on this, so it must not cost a
    // polling interval.
    void stop() {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (running) {
            // Under waitMutex: the thread tests the flag and then sleeps under
            // it, so the wake-up cannot fall between the two.
            std::lock_guard<std::mutex> wait(waitMutex);
            cancelled = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }

    // True from start() until the callback has returned or the cancelled
    // thread has ended.
    bool isRunning() const { return running; }

private:
    void threadMain(std::function<void()> callback, int delayMs);

    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> cancelled{false};
    std::recursive_mutex mutex; // serialises start, stop, destruction
    std::mutex waitMutex;       // with `wake`, for the pending delay
    std::condition_variable wake;
};
