#pragma once

#include "utils/Logger.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Collects what callbacks deliver, from any thread, with the thread each came on.
template <typename T>
class Inbox {
public:
    struct Entry : T {
        std::thread::id thread;
    };
    // Notifies under the lock: the waiter may destroy the inbox as soon as it can take the lock.
    void add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(Entry{std::move(value), std::this_thread::get_id()});
        changed_.notify_all();
    }
    // Until `pred` holds for the entries so far.
    template <typename Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(entries_); });
    }
    // The n-th entry (from 1) once it is there; an empty one on timeout.
    Entry waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        Entry e{};
        return waitUntil([&](const auto& all) { return all.size() >= n && (e = all[n - 1], true); }, timeout) ? e : Entry{};
    }
    std::vector<Entry> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    std::size_t count() { return all().size(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

// Keeps the lines the library's loggers write while it is attached. Never
// destroyed before the process ends: a detached delivery thread may still log
// after a test.
class LogLines : public orvanta::logging::LogDestination, public Inbox<std::string> {
public:
    using Loggers = std::initializer_list<orvanta::logging::Logger*>;
    static LogLines& attach(orvanta::logging::LogLevel level,
                            Loggers loggers = {&orvanta::networkclient::logger, &orvanta::websocket::logger}) {
        static std::mutex mutex;
        static auto* all = new std::deque<LogLines>;  // reachable, never destroyed
        std::lock_guard<std::mutex> lock(mutex);
        LogLines& lines = all->emplace_back();
        for (auto* l : loggers) l->setLogLevel(level), l->setLogDestination(&lines);
        return lines;
    }
    static void detach(Loggers loggers = {&orvanta::networkclient::logger, &orvanta::websocket::logger}) {
        for (auto* l : loggers) l->setLogDestination(nullptr), l->setLogLevel(orvanta::logging::LogLevel::Info);
    }
    void log(orvanta::logging::LogLevel, const std::string& line) override { add(line); }
    // Until `times` lines contain `text`.
    bool waitFor(const std::string& text, std::size_t times = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitUntil([&](const auto& lines) { return countIn(lines, text) >= times; }, timeout);
    }
    std::size_t count(const std::string& text) { return countIn(all(), text); }
    bool contains(const std::string& text) { return count(text) > 0; }
    std::string text() {
        std::string joined;
        for (const auto& line : all()) joined += line + "\n";
        return joined;
    }

private:
    static std::size_t countIn(const std::vector<Entry>& lines, const std::string& text) {
        std::size_t n = 0;
        for (const auto& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
};

} // namespace testsupport
