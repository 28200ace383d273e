#include "websocket/HeartbeatMonitor.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace orvanta {
namespace websocket {

struct HeartbeatMonitor::Impl {
    Impl(const Config& c, std::function<void()> ping) : config(c), sendPing(std::move(ping)) {}

    void runLoop();
    bool waitForPong(std::chrono::milliseconds timeout);
    void stop();

    Config config;
    std::function<void()> sendPing;
    std::function<void()> timeoutCallback;
    std::function<void()> connectionLostCallback;
    std::atomic<bool> running{false};
    std::atomic<uint32_t> consecutiveMisses{0};
    std::atomic<bool> waitingForPong{false};
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable condition;
};

void HeartbeatMonitor::Impl::runLoop() {
    while (running) {
        // updateConfig writes under the lock: take this cycle's copy there.
        const Config cycle = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            waitingForPong = true;
            return config;
        }();
        if (sendPing) sendPing();
        if (!waitForPong(cycle.pongTimeout)) {
            const uint32_t misses = ++consecutiveMisses;
            std::lock_guard<std::mutex> lock(mutex);
            if (timeoutCallback) timeoutCallback();
            if (misses >= cycle.maxMissedPongs && connectionLostCallback) connectionLostCallback();
        }
        std::unique_lock<std::mutex> lock(mutex);
        const auto until = std::chrono::steady_clock::now() + cycle.pingInterval;
        // A pong's wake-up must not shorten the pause: only stop() may.
        condition.wait_until(lock, until, [this] { return !running; });
        if (!running) return;
    }
}

bool HeartbeatMonitor::Impl::waitForPong(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    condition.wait_until(lock, deadline, [this] { return !(running && waitingForPong); });
    return !waitingForPong;
}

void HeartbeatMonitor::Impl::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) return;
        running = false;
    }
    condition.notify_all();
    if (thread.joinable()) thread.join();
}

HeartbeatMonitor::HeartbeatMonitor(const Config& config, std::function<void()> sendPing)
    : impl(std::make_unique<Impl>(config, std::move(sendPing))) {}

HeartbeatMonitor::~HeartbeatMonitor() {
    if (impl) impl->stop();
}

HeartbeatMonitor::HeartbeatMonitor(HeartbeatMonitor&& other) noexcept = default;

HeartbeatMonitor& HeartbeatMonitor::operator=(HeartbeatMonitor&& other) noexcept {
    if (this != &other) {
        if (impl) impl->stop();
        impl = std::move(other.impl);
    }
    return *this;
}

void HeartbeatMonitor::start() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (impl->running) return;
    // A previous run's thread has been joined by stop(); a never-started
    // monitor has none.
    impl->running = true;
    impl->consecutiveMisses = 0;
    impl->thread = std::thread([impl = impl.get()] { impl->runLoop(); });
}

void HeartbeatMonitor::stop() {
    if (impl) impl->stop();
}

void HeartbeatMonitor::notifyPongReceived() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (!impl->waitingForPong) return;
        impl->waitingForPong = false;
        impl->consecutiveMisses = 0;
    }
    impl->condition.notify_all();
}

void HeartbeatMonitor::setTimeoutCallback(std::function<void()> callback) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->timeoutCallback = std::move(callback);
}

void HeartbeatMonitor::setConnectionLostCallback(std::function<void()> callback) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->connectionLostCallback = std::move(callback);
}

HeartbeatMonitor::Config HeartbeatMonitor::getConfig() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->config;
}

void HeartbeatMonitor::updateConfig(const Config& config) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->config = config;
}

bool HeartbeatMonitor::isRunning() const { return impl && impl->running; }

uint32_t HeartbeatMonitor::getConsecutiveMisses() const { return impl ? impl->consecutiveMisses.load() : 0; }

} // namespace websocket
} // namespace orvanta
