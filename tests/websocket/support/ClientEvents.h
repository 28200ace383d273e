#pragma once

#include "support/Recorders.h"
#include "websocket/WebSocketClient.h"

#include <algorithm>
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
    bool waitForMessage(const std::vector<uint8_t>& data, bool text = true) {
        return waitFor([&] {
            return std::any_of(messages.begin(), messages.end(), [&](const Message& m) { return m.data == data && m.text == text; });
        });
    }
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

} // namespace test
} // namespace websocket
} // namespace orvanta
