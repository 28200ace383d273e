#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#if !defined(__linux__)
#include <condition_variable>
#include <mutex>
#endif

namespace orvanta {
namespace async {

// A wake-up call from any thread, the real-time audio thread included, to a
// thread that sleeps until there is work or a deadline passes.
//
// notify() never locks, allocates or blocks: it bumps a counter and, only
// when someone sleeps, asks the kernel to wake it (a futex on Linux). The
// sleeper reads epoch() before it looks for work, and waitUntil() returns at
// once when a notify() came after that read, so a call made while the
// sleeper was busy is never lost.
//
// Without a futex (other platforms) the sleeper waits on a condition
// variable that notify() signals without taking the mutex; a call that lands
// between the sleeper's last check and its wait is then only noticed at the
// deadline, so keep deadlines short enough to bound that delay.
class WakeSignal {
public:
    WakeSignal() = default;
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread.
    void notify();

    // The number of notify() calls so far (wrapping).
    uint32_t epoch() const { return count.load(); }

    // Sleeps until epoch() differs from `seen` or `deadline` has passed; may
    // return earlier, so callers check their condition again.
    void waitUntil(uint32_t seen, std::chrono::steady_clock::time_point deadline);

private:
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the counter itself");

    std::atomic<uint32_t> count{0};
    std::atomic<uint32_t> sleepers{0};
#if !defined(__linux__)
    std::mutex mutex;
    std::condition_variable condition;
#endif
};

} // namespace async
} // namespace orvanta
