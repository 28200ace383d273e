#include "tools/cli/Wakeup.h"

namespace orvanta::cli {

void Wakeup::notify() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending = true;
    }
    changed.notify_one();
}

void Wakeup::waitUntil(Clock::time_point when) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_until(lock, when, [this] { return pending; });
    pending = false;
}

} // namespace orvanta::cli
