#pragma once

#include "utils/WakeSignal.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace orvanta {
namespace async {

// Runs a task on its own thread, once or repeatedly with a pause of at most
// `period` ms between the end of one run and the start of the next.
//
// A periodic runner also runs its task as soon as its wake signal is
// notified: at once when it is pausing, right after the current run when it
// is busy. Give it a signal of your own when the thread that wakes it must
// not depend on the runner's lifetime (a real-time thread that cannot
// synchronise with whoever replaces the runner); the signal must outlive the
// runner.
//
// start(), stop() and the destructor may be called from any thread except
// the runner's own (they join it), and are serialised among themselves. The
// task runs only on the runner's thread and must not throw.
class TaskRunner {
public:
    // Period 0: each start() runs the task once.
    explicit TaskRunner(std::function<void()> task);
    TaskRunner(unsigned long long periodMs, std::function<void()> task, WakeSignal* wakeSignal = nullptr);
    ~TaskRunner();
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Starts the thread unless already running; a periodic task runs at
    // once. After a one-shot run, start() does nothing until stop().
    void start();
    // Ends the thread after the current run of the task and joins it; the
    // pause between runs is cut short. Returns at once if not running.
    void stop();
    // Any thread, real-time ones included: run the task again without
    // waiting for the rest of the period (notifies the wake signal).
    void wake() { signal->notify(); }

private:
    void threadMain();

    const unsigned long long period; // ms; 0 = once
    std::function<void()> task;
    WakeSignal ownSignal;
    WakeSignal* const signal; // ownSignal unless one was given
    std::thread thread;
    std::mutex controlMutex; // serialises start, stop, destruction
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
};

} // namespace async
} // namespace orvanta
