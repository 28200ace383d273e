#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvanta::cli {

// How a command's main thread sleeps: until the next moment it has something
// to check, or until another thread tells it that something it waits for
// has happened (a session event, a response), whichever comes first. A
// notice given while the main thread is busy is not lost: its next wait
// returns at once.
//
// Threads: notify from any thread except the audio thread; waitUntil on
// the one main thread.
class Wakeup {
public:
    using Clock = std::chrono::steady_clock;

    void notify();
    void waitUntil(Clock::time_point when);

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool pending = false;
};

} // namespace orvanta::cli
