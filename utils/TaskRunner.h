#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace orvanta {
namespace async {

// Runs a task on its own thread, once or repeatedly with a fixed pause of
// `period` ms between the end of one run and the start of the next.
//
// start(), stop() and the destructor may be called from any thread except
// the runner's own (they join it), and are serialised among themselves. The
// task runs only on the runner's thread and must not throw.
class TaskRunner {
public:
    // Period 0: each start() runs the task once.
    explicit TaskRunner(std::function<void()> task);
    TaskRunner(unsigned long long periodMs, std::function<void()> task);
    ~TaskRunner();
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Starts the thread unless already running; a periodic task runs at
    // once. After a one-shot run, start() does nothing until stop().
    void start();
    // Ends the thread after the current run of the task and joins it; the
    // pause between runs is cut short. Returns at once if not running.
    void stop();

private:
    void threadMain();

    const unsigned long long period; // ms; 0 = once
    std::function<void()> task;
    std::thread thread;
    std::condition_variable condition; // the pause between runs
    std::mutex waitMutex;              // with `condition` and `stopRequested`
    std::mutex controlMutex;           // serialises start, stop, destruction
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
};

} // namespace async
} // namespace orvanta
