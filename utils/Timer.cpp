#include "utils/Timer.h"

#include "OrvantaSDK/Logger.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

Timer::~Timer() { stop(); }

void Timer::start(std::function<void()> callback, int delayMs) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    stop();
    running = true;
    cancelled = false;
    try {
        thread = std::thread(&Timer::threadMain, this, std::move(callback), delayMs);
    } catch (...) {
        // A timer that never started must not look pending, or callers that
        // only arm an idle timer would never arm it again.
        running = false;
        throw;
    }
}

void Timer::threadMain(std::function<void()> callback, int delayMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs > 0 ? delayMs : 0);
    {
        std::unique_lock<std::mutex> lock(waitMutex);
        wake.wait_until(lock, deadline, [this] { return cancelled.load(); });
    }
    if (running && !cancelled) {
        try {
            callback();
        } catch (const std::exception& e) {
            orvanta::Logger::error(std::string("[Timer] Uncaught exception in callback: ") + e.what());
        } catch (...) {
            orvanta::Logger::error("[Timer] Unknown exception in timer callback.");
        }
    }
    running = false;
}
