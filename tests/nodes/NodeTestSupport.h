#pragma once

#include "OrvantaSDK/Logger.h"
#include "OrvantaSDK/Node.h"
#include "OrvantaSDK/OVAnyMap.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nodetest {

// Records the host logger's lines while alive (at debug level).
class LogCapture {
public:
    LogCapture() {
        orvanta::Logger::setLevel(orvanta::Logger::Level::Debug);
        orvanta::Logger::setSink([this](orvanta::Logger::Level level, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
            errorLines += level == orvanta::Logger::Level::Error;
        });
    }
    ~LogCapture() {
        orvanta::Logger::setSink(nullptr);
        orvanta::Logger::setLevel(orvanta::Logger::Level::Info);
    }
    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    int count(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& l : lines)
            n += l == line;
        return n;
    }
    int countPrefix(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& l : lines)
            n += l.rfind(prefix, 0) == 0;
        return n;
    }
    int errors() const {
        std::lock_guard<std::mutex> lock(mutex);
        return errorLines;
    }
    std::string lastWithPrefix(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (it->rfind(prefix, 0) == 0)
                return *it;
        return {};
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    int errorLines = 0;
};

struct RecordedEvent {
    std::string name;
    orvanta::OVAnyMap payload;
    std::string get(const std::string& key) const {
        return payload.hasKey(key) ? payload.at(key).convert<std::string>() : std::string();
    }
};

// Subscribes to every event of a node and lets a test wait for one.
class EventRecorder {
public:
    explicit EventRecorder(orvanta::EventEmitter& emitter) : source(emitter) {
        id = source.addEventListener(orvanta::EventEmitter::AllEvents,
                                     [this](const std::string& name, const orvanta::OVAnyMap& payload) {
                                         {
                                             std::lock_guard<std::mutex> lock(mutex);
                                             events.push_back({name, payload});
                                         }
                                         changed.notify_all();
                                     });
    }
    ~EventRecorder() { source.removeEventListener(id); }

    int count(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& e : events)
            n += e.name == name;
        return n;
    }
    std::vector<RecordedEvent> named(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<RecordedEvent> out;
        for (const auto& e : events)
            if (e.name == name)
                out.push_back(e);
        return out;
    }
    std::vector<std::string> names() const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const auto& e : events)
            out.push_back(e.name);
        return out;
    }
    // Waits until `name` has been seen at least `n` times.
    bool waitFor(const std::string& name, int n = 1, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            int seen = 0;
            for (const auto& e : events)
                seen += e.name == name;
            return seen >= n;
        });
    }

private:
    orvanta::EventEmitter& source;
    orvanta::EventEmitter::ListenerId id = 0;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<RecordedEvent> events;
};

// Polls `condition` until it holds or the timeout passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

} // namespace nodetest
