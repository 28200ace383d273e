#include "utils/Timer.h"

#include "OrvantaSDK/Logger.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>

namespace {
// The thread polls its flags at this interval, so a cancellation takes
// effect within one poll without the thread taking any lock.
constexpr std::chrono::milliseconds pollInterval{50};
} // namespace

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
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(delayMs > 0 ? delayMs : 0);
    while (running && !cancelled) {
        const auto now = clock::now();
        if (now >= deadline)
            break;
        // The last poll lands on the deadline instead of up to one poll
        // interval after it.
        std::this_thread::sleep_for(std::min<clock::duration>(pollInterval, deadline - now));
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
