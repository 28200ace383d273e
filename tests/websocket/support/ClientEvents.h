#pragma once

#include "utils/Logger.h"
#include "websocket/WebSocketClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta {
namespace websocket {
namespace test {

// Records every callback of one client; tests wait on the record with a
// generous timeout instead of sleeping.
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

    void clear() {
        std::lock_guard<std::mutex> l(mutex);
        opens = closes = 0;
        errors.clear();
        messages.clear();
    }

    // Snapshot accessors.
    int openCount() { std::lock_guard<std::mutex> l(mutex); return opens; }
    int closeCount() { std::lock_guard<std::mutex> l(mutex); return closes; }
    std::vector<std::string> errorTexts() { std::lock_guard<std::mutex> l(mutex); return errors; }
    std::vector<Message> received() { std::lock_guard<std::mutex> l(mutex); return messages; }

    // Extra reaction on the I/O thread, set before start().
    std::function<void(const std::vector<uint8_t>&, bool)> onMessage;

    std::mutex mutex;
    std::condition_variable changed;
    int opens = 0;
    int closes = 0;
    std::vector<std::string> errors;
    std::vector<Message> messages;

private:
    template <typename F>
    void record(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        f();
        changed.notify_all();
    }
};

// Attaches itself to the transport's logger at the given level for its
// lifetime and keeps every record.
class RecordingLog : public logging::LogDestination {
public:
    explicit RecordingLog(logging::LogLevel level = logging::LogLevel::Trace) {
        previousLevel_ = logger.getLogLevel();
        logger.setLogLevel(level);
        logger.setLogDestination(this);
    }
    ~RecordingLog() override {
        logger.setLogDestination(nullptr);
        logger.setLogLevel(previousLevel_);
    }
    void log(logging::LogLevel level, const std::string& record) override {
        std::lock_guard<std::mutex> l(mutex_);
        records_.push_back({level, record});
        changed_.notify_all();
        if (std::getenv("WS_TEST_LOG")) std::fprintf(stderr, "%s\n", record.c_str());
    }
    // Until `times` records contain `text`.
    bool waitFor(const std::string& text, std::size_t times = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> l(mutex_);
        return changed_.wait_for(l, timeout, [&] {
            std::size_t n = 0;
            for (auto& r : records_) n += r.second.find(text) != std::string::npos;
            return n >= times;
        });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> l(mutex_);
        std::vector<std::string> out;
        for (auto& r : records_) out.push_back(r.second);
        return out;
    }
    std::size_t count(const std::string& text) {
        std::lock_guard<std::mutex> l(mutex_);
        std::size_t n = 0;
        for (auto& r : records_) n += r.second.find(text) != std::string::npos;
        return n;
    }
    bool contains(const std::string& text) { return count(text) > 0; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<logging::LogLevel, std::string>> records_;
    logging::LogLevel previousLevel_;
};

} // namespace test
} // namespace websocket
} // namespace orvanta
