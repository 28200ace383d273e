#include "utils/WakeSignal.h"

#if defined(__linux__)
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace orvanta {
namespace async {

#if defined(__linux__)

namespace {

uint32_t* word(std::atomic<uint32_t>& counter) { return reinterpret_cast<uint32_t*>(&counter); }

} // namespace

void WakeSignal::notify() {
    // Sequentially consistent on both sides: either the sleeper sees the new
    // count before it sleeps, or this thread sees the sleeper and wakes it
    // (the kernel re-checks the count when the sleeper enters the wait).
    count.fetch_add(1);
    if (sleepers.load() != 0)
        syscall(SYS_futex, word(count), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void WakeSignal::waitUntil(uint32_t seen, std::chrono::steady_clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as an
    // absolute deadline.
    const auto sinceEpoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec until{};
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    sleepers.fetch_add(1);
    if (count.load() == seen)
        syscall(SYS_futex, word(count), FUTEX_WAIT_BITSET_PRIVATE, seen, &until, nullptr, FUTEX_BITSET_MATCH_ANY);
    sleepers.fetch_sub(1);
}

#else

void WakeSignal::notify() {
    count.fetch_add(1);
    if (sleepers.load() != 0)
        condition.notify_all(); // deliberately without the mutex: see the header
}

void WakeSignal::waitUntil(uint32_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    sleepers.fetch_add(1);
    condition.wait_until(lock, deadline, [&] { return count.load() != seen; });
    sleepers.fetch_sub(1);
}

#endif

} // namespace async
} // namespace orvanta
