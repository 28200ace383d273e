#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

namespace orvanta {
namespace logging {

// Ordered by verbosity: a message passes when the logger's level is at least
// the message's level.
enum class LogLevel : std::int32_t { None = 0, Error = 1, Warning = 2, Info = 3, Debug = 4, Trace = 5 };

// Indexed by the level value.
inline constexpr const char* logLevelNames[6] = {"none", "error", "warning", "info", "debug", "trace"};

// The application's sink. The logger never owns or frees it; whoever attaches
// it keeps it alive while it is attached. `log` is called synchronously on
// whichever thread logs, so a destination shared across threads must accept
// concurrent calls.
class LogDestination {
public:
    virtual ~LogDestination();
    virtual void log(LogLevel level, const std::string& record) = 0;
};

// Filters by level, prefixes a level tag and hands the record to the attached
// destination. Without a destination every message is dropped before any
// text is built. Takes no lock; any thread may log. Level and destination are
// meant to be set before logging starts (they are atomics, so changing them
// later is not a data race, but a record already past the filter may still
// reach the old destination).
class Logger {
public:
    // Collects text through `<<` and emits it as one record when destroyed
    // (nothing if empty). Lives on one thread.
    class LogStream {
    public:
        LogStream(Logger& logger, LogLevel level);
        LogStream(LogStream&& other) noexcept;
        // Keeps this stream's logger; takes the other's level and text.
        LogStream& operator=(LogStream&& other) noexcept;
        LogStream(const LogStream&) = delete;
        LogStream& operator=(const LogStream&) = delete;
        ~LogStream();

        template <typename T>
        LogStream& operator<<(const T& value) {
            stream << value;
            return *this;
        }

    private:
        Logger& logger;
        LogLevel level;
        std::ostringstream stream;
    };

    // One per level: `logger.infoStream << "x=" << x;` emits one record when
    // the temporary stream dies at the end of the full expression.
    class LevelHandle {
    public:
        constexpr LevelHandle(Logger& owner, LogLevel handleLevel) : logger(owner), level(handleLevel) {}

        template <typename T>
        LogStream operator<<(const T& value) const {
            LogStream s(logger, level);
            s << value;
            return s;
        }

    private:
        Logger& logger;
        LogLevel level;
    };

    // constexpr and trivially destructible, so a namespace-scope Logger is
    // ready before any dynamic initialiser runs and stays usable until the
    // process ends.
    constexpr Logger()
        : traceStream(*this, LogLevel::Trace), debugStream(*this, LogLevel::Debug),
          infoStream(*this, LogLevel::Info), warningStream(*this, LogLevel::Warning),
          errorStream(*this, LogLevel::Error) {}
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void setLogDestination(LogDestination* destination);
    LogDestination* getLogDestination() const;
    void setLogLevel(LogLevel level);
    LogLevel getLogLevel() const;

    void trace(const std::string& message) const;
    void debug(const std::string& message) const;
    void info(const std::string& message) const;
    void warning(const std::string& message) const;
    void error(const std::string& message) const;

    LevelHandle traceStream;
    LevelHandle debugStream;
    LevelHandle infoStream;
    LevelHandle warningStream;
    LevelHandle errorStream;

private:
    void emit(LogLevel level, const std::string& message) const;

    std::atomic<LogLevel> logLevel{LogLevel::Info};
    std::atomic<LogDestination*> destination{nullptr};
};

} // namespace logging

// Process-wide loggers of the HTTP client and the WebSocket transport. Silent
// until the application attaches a destination; usable from static
// initialisers and destructors and from any thread.
namespace networkclient {
extern logging::Logger logger;
}
namespace websocket {
extern logging::Logger logger;
}

} // namespace orvanta
