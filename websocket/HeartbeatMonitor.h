#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace orvanta {
namespace websocket {

// Detects a dead connection by ping and pong on a thread of its own: each
// cycle asks the owner to send a ping, waits up to pongTimeout for
// notifyPongReceived(), counts consecutive misses, then pauses pingInterval.
// It knows nothing of sockets: the owner sends and reacts.
//
// Callbacks (sendPing, timeout, connection lost) run on the monitor thread,
// the last two under the monitor's lock: they must not throw, block on work
// that needs the monitor, or call back into it. stop() and the destructor
// join the monitor thread and so must not be called from a callback.
class HeartbeatMonitor {
public:
    struct Config {
        Config(std::chrono::milliseconds pingInterval_, std::chrono::milliseconds pongTimeout_, uint32_t maxMissedPongs_)
            : pingInterval(pingInterval_), pongTimeout(pongTimeout_), maxMissedPongs(maxMissedPongs_) {}
        std::chrono::milliseconds pingInterval;
        std::chrono::milliseconds pongTimeout;
        uint32_t maxMissedPongs;
    };

    HeartbeatMonitor(const Config& config, std::function<void()> sendPing);
    ~HeartbeatMonitor();
    HeartbeatMonitor(HeartbeatMonitor&& other) noexcept;
    HeartbeatMonitor& operator=(HeartbeatMonitor&& other) noexcept;
    HeartbeatMonitor(const HeartbeatMonitor&) = delete;
    HeartbeatMonitor& operator=(const HeartbeatMonitor&) = delete;

    // Owner's thread (the client's I/O thread). Idempotent.
    void start();
    void stop();

    // Any thread but the monitor's. A pong while no ping is outstanding
    // changes nothing.
    void notifyPongReceived();

    void setTimeoutCallback(std::function<void()> callback);
    void setConnectionLostCallback(std::function<void()> callback);

    Config getConfig() const;
    // Takes effect from the next cycle.
    void updateConfig(const Config& config);

    bool isRunning() const;
    uint32_t getConsecutiveMisses() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace websocket
} // namespace orvanta
