#include "utils/Logger.h"

#include <exception>

namespace orvanta {
namespace logging {
namespace {

// Indexed by level - 1: a blank, the name in brackets, a blank.
constexpr const char* recordTags[5] = {" [error] ", " [warning] ", " [info] ", " [debug] ", " [trace] "};

bool isEmittable(LogLevel level) {
    const auto value = static_cast<std::int32_t>(level);
    return value >= static_cast<std::int32_t>(LogLevel::Error) && value <= static_cast<std::int32_t>(LogLevel::Trace);
}

std::string createLogMessage(LogLevel level, const std::string& message) {
    const char* tag = recordTags[static_cast<std::int32_t>(level) - 1];
    std::string record;
    record.reserve(11 + message.size());
    record.append(tag).append(message);
    return record;
}

} // namespace

LogDestination::~LogDestination() = default;

void Logger::setLogDestination(LogDestination* dest) { destination.store(dest, std::memory_order_release); }

LogDestination* Logger::getLogDestination() const { return destination.load(std::memory_order_acquire); }

void Logger::setLogLevel(LogLevel level) { logLevel.store(level, std::memory_order_relaxed); }

LogLevel Logger::getLogLevel() const { return logLevel.load(std::memory_order_relaxed); }

void Logger::trace(const std::string& message) const { emit(LogLevel::Trace, message); }
void Logger::debug(const std::string& message) const { emit(LogLevel::Debug, message); }
void Logger::info(const std::string& message) const { emit(LogLevel::Info, message); }
void Logger::warning(const std::string& message) const { emit(LogLevel::Warning, message); }
void Logger::error(const std::string& message) const { emit(LogLevel::Error, message); }

void Logger::emit(LogLevel level, const std::string& message) const {
    LogDestination* dest = destination.load(std::memory_order_acquire);
    if (dest == nullptr || !isEmittable(level))
        return;
    if (static_cast<std::int32_t>(logLevel.load(std::memory_order_relaxed)) < static_cast<std::int32_t>(level))
        return;
    dest->log(level, createLogMessage(level, message));
}

Logger::LogStream::LogStream(Logger& owner, LogLevel streamLevel) : logger(owner), level(streamLevel) {}

Logger::LogStream::LogStream(LogStream&& other) noexcept
    : logger(other.logger), level(other.level), stream(std::move(other.stream)) {
    // A moved-from ostringstream keeps an unspecified buffer; empty it so the
    // source emits nothing when it dies.
    other.stream.str(std::string());
}

Logger::LogStream& Logger::LogStream::operator=(LogStream&& other) noexcept {
    if (this != &other) {
        level = other.level;
        stream = std::move(other.stream);
        other.stream.str(std::string());
    }
    return *this;
}

Logger::LogStream::~LogStream() {
    try {
        std::string text = stream.str();
        if (!text.empty())
            logger.emit(level, text);
    } catch (...) {
        // A logging failure (no memory, a throwing destination) must not
        // take down the caller; the record is lost.
    }
}

} // namespace logging

namespace networkclient {
#if defined(__clang__)
[[clang::require_constant_initialization]]
#endif
logging::Logger logger;
} // namespace networkclient

namespace websocket {
#if defined(__clang__)
[[clang::require_constant_initialization]]
#endif
logging::Logger logger;
} // namespace websocket

} // namespace orvanta
