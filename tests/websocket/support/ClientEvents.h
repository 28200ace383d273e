#pragma once

#include "utils/Logger.h"
#include "websocket/WebSocketClient.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta {
namespace websocket {
namespace test {

// Records every callback of one client; tests wait on the record with a
// generous timeout instead of sleeping. Accessors take snapshots.
class ClientEvents {
public:
    struct Message {
        std::vector<uint8_t> data;
        bool text = false;
        std::size_t spare = 0;  // capacity past the end, as delivered
    };
    void attach(WebSocketClient& client) {
        client.onOpenHandler = [this] { record([&] { ++opens; }); };
        client.onCloseHandler = [this] { record([&] { ++closes; }); };
        client.onErrorHandler = [this](const std::string message) { record([&] { errors.push_back(message); }); };
        client.onMessageHandler = [this](const std::vector<uint8_t>& data, bool text) {
            record([&] { messages.push_back({data, text, data.capacity() - data.size()}); });
            if (onMessage) onMessage(data, text);
        };
    }
    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return pred(); });
    }
    bool waitForOpen() { return waitFor([&] { return opens > 0; }); }
    bool waitForEnd() { return waitFor([&] { return closes + errors.size() > 0; }); }
    bool waitForMessages(std::size_t n) { return waitFor([&] { return messages.size() >= n; }); }
    void clear() { record([&] { opens = closes = 0, errors.clear(), messages.clear(); }); }
    int openCount() { return snapshot(opens); }
    int closeCount() { return snapshot(closes); }
    std::vector<std::string> errorTexts() { return snapshot(errors); }
    std::vector<Message> received() { return snapshot(messages); }

    std::function<void(const std::vector<uint8_t>&, bool)> onMessage;  // on the I/O thread; set before start()
    std::mutex mutex;
    std::condition_variable changed;
    int opens = 0, closes = 0;
    std::vector<std::string> errors;
    std::vector<Message> messages;

private:
    template <typename F>
    void record(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        f();
        changed.notify_all();
    }
    template <typename T>
    T snapshot(const T& value) {
        std::lock_guard<std::mutex> lock(mutex);
        return value;
    }
};

// Attaches itself to the transport's logger at the given level for its
// lifetime and keeps every line.
class RecordingLog : public logging::LogDestination {
public:
    explicit RecordingLog(logging::LogLevel level = logging::LogLevel::Trace) : previous_(logger.getLogLevel()) {
        logger.setLogLevel(level);
        logger.setLogDestination(this);
    }
    ~RecordingLog() override {
        logger.setLogDestination(nullptr);
        logger.setLogLevel(previous_);
    }
    void log(logging::LogLevel, const std::string& line) override {
        std::lock_guard<std::mutex> l(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    }
    // Until `times` lines contain `text`.
    bool waitFor(const std::string& text, std::size_t times = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> l(mutex_);
        return changed_.wait_for(l, timeout, [&] { return countLocked(text) >= times; });
    }
    std::size_t count(const std::string& text) {
        std::lock_guard<std::mutex> l(mutex_);
        return countLocked(text);
    }
    bool contains(const std::string& text) { return count(text) > 0; }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> l(mutex_);
        return lines_;
    }

private:
    std::size_t countLocked(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& line : lines_) n += line.find(text) != std::string::npos;
        return n;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    logging::LogLevel previous_;
};

} // namespace test
} // namespace websocket
} // namespace orvanta
