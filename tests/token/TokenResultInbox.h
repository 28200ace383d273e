#pragma once

#include "OrvantaSDK/Logger.h"
#include "OrvantaSDK/Result.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tokentest {

struct Outcome {
    bool ok = false;
    std::string text;  // the token or the error message
    std::thread::id thread;
};

// Collects the provider's callbacks; any thread may deliver.
class TokenResultInbox {
public:
    std::function<void(const orvanta::Result<std::string>&)> callback() {
        return [this](const orvanta::Result<std::string>& result) {
            Outcome outcome{result.hasValue(), result.hasValue() ? result.getValue() : result.getError().getMessage(),
                            std::this_thread::get_id()};
            // Notifies under the lock: the waiter may destroy the inbox as
            // soon as it can take the lock.
            std::lock_guard<std::mutex> lock(mutex);
            outcomes.push_back(outcome);
            changed.notify_all();
        };
    }
    // Waits for the n-th outcome (1-based) and returns it.
    Outcome waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, timeout, [&] { return outcomes.size() >= n; }))
            return Outcome{false, "<no callback>", {}};
        return outcomes[n - 1];
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return outcomes.size();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Outcome> outcomes;
};

// Records the host logger's lines for one scope. The lines live in shared
// state that the sink owns, so a delivery thread still logging after the scope
// ends writes into valid memory.
class HostLogCapture {
public:
    explicit HostLogCapture(orvanta::Logger::Level level = orvanta::Logger::Level::Debug)
        : state(std::make_shared<State>()) {
        orvanta::Logger::setLevel(level);
        orvanta::Logger::setSink([s = state](orvanta::Logger::Level lineLevel, const std::string& text) {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->lines.push_back(std::string(orvanta::Logger::levelName(lineLevel)) + ": " + text);
        });
    }
    ~HostLogCapture() {
        orvanta::Logger::setSink(nullptr);
        orvanta::Logger::setLevel(orvanta::Logger::Level::Info);
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(state->mutex);
        std::string all;
        for (const auto& l : state->lines)
            all += l + "\n";
        return all;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<State> state;
};

} // namespace tokentest
