#include "OrvantaSDK/Logger.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace orvanta {
namespace {

struct LoggerState {
    std::atomic<int> level{static_cast<int>(Logger::Level::Info)};
    std::mutex mutex;  // guards replacing the sink, not calling it
    std::shared_ptr<const Logger::Sink> sink;
};

LoggerState& state() {
    static LoggerState s;
    return s;
}

} // namespace

void Logger::debug(const std::string& text) { write(Level::Debug, text); }
void Logger::info(const std::string& text) { write(Level::Info, text); }
void Logger::warning(const std::string& text) { write(Level::Warning, text); }
void Logger::error(const std::string& text) { write(Level::Error, text); }

void Logger::setLevel(Level level) { state().level.store(static_cast<int>(level)); }

Logger::Level Logger::getLevel() { return static_cast<Level>(state().level.load()); }

void Logger::setSink(Sink sink) {
    auto& s = state();
    std::shared_ptr<const Sink> next = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sink = std::move(next);
}

const char* Logger::levelName(Level level) {
    switch (level) {
    case Level::Debug: return "debug";
    case Level::Info: return "info";
    case Level::Warning: return "warning";
    case Level::Error: return "error";
    case Level::Off: return "off";
    }
    return "?";
}

void Logger::write(Level level, const std::string& text) {
    auto& s = state();
    if (static_cast<int>(level) < s.level.load(std::memory_order_relaxed))
        return;
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        sink = s.sink;
    }
    if (sink)
        (*sink)(level, text);
}

} // namespace orvanta
