#include "utils/TaskRunner.h"

#include <chrono>
#include <utility>

namespace orvanta {
namespace async {

TaskRunner::TaskRunner(std::function<void()> t) : TaskRunner(0, std::move(t)) {}

TaskRunner::TaskRunner(unsigned long long periodMs, std::function<void()> t) : period(periodMs), task(std::move(t)) {}

TaskRunner::~TaskRunner() {
    stop();
    task = nullptr;
}

void TaskRunner::start() {
    std::lock_guard<std::mutex> control(controlMutex);
    if (running)
        return;
    stopRequested = false;
    running = true;
    try {
        thread = std::thread(&TaskRunner::threadMain, this);
    } catch (...) {
        running = false; // otherwise every later start() would be ignored
        throw;
    }
}

void TaskRunner::stop() {
    std::lock_guard<std::mutex> control(controlMutex);
    if (!running)
        return;
    {
        // Set under waitMutex: the thread checks the flag and then sleeps
        // under it, so a notify cannot fall between the check and the wait.
        std::lock_guard<std::mutex> wait(waitMutex);
        stopRequested = true;
    }
    condition.notify_one();
    if (thread.joinable())
        thread.join();
    running = false;
}

void TaskRunner::threadMain() {
    if (period == 0) {
        task();
        return;
    }
    if (stopRequested)
        return;
    for (;;) {
        task();
        std::unique_lock<std::mutex> lock(waitMutex);
        // Measured after the run: fixed delay, not fixed rate.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(period);
        condition.wait_until(lock, deadline, [this] { return stopRequested.load(); });
        if (stopRequested)
            return;
    }
}

} // namespace async
} // namespace orvanta
