#include "utils/TaskRunner.h"

#include <chrono>
#include <utility>

namespace orvanta {
namespace async {

TaskRunner::TaskRunner(std::function<void()> t) : TaskRunner(0, std::move(t)) {}

TaskRunner::TaskRunner(unsigned long long periodMs, std::function<void()> t, WakeSignal* wakeSignal)
    : period(periodMs), task(std::move(t)), signal(wakeSignal ? wakeSignal : &ownSignal) {}

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
    // The flag first: a thread woken by the signal must find it set.
    stopRequested = true;
    signal->notify();
    if (thread.joinable())
        thread.join();
    running = false;
}

void TaskRunner::threadMain() {
    if (period == 0) {
        task();
        return;
    }
    for (;;) {
        // Read before the run: a wake-up that comes while the task runs
        // makes the pause below end at once.
        const uint32_t seen = signal->epoch();
        if (stopRequested)
            return;
        task();
        // Measured after the run: fixed delay, not fixed rate.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(period);
        while (!stopRequested && signal->epoch() == seen && std::chrono::steady_clock::now() < deadline)
            signal->waitUntil(seen, deadline);
    }
}

} // namespace async
} // namespace orvanta
