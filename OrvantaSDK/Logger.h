#pragma once

#include <functional>
#include <string>

namespace orvanta {

// The host's logger, through which nodes, factory and protocol client write.
// Off by default: nothing is written until the application installs a sink.
// Any thread may log; the sink is called synchronously on that thread, so it
// must be safe for concurrent calls.
class Logger {
public:
    enum class Level { Debug = 0, Info = 1, Warning = 2, Error = 3, Off = 4 };
    using Sink = std::function<void(Level, const std::string&)>;

    static void debug(const std::string& text);
    static void info(const std::string& text);
    static void warning(const std::string& text);
    static void error(const std::string& text);

    // Lowest level that reaches the sink (Info unless changed).
    static void setLevel(Level level);
    static Level getLevel();

    // Installs (or, with an empty function, removes) the application's sink.
    // Set it before logging starts and clear it only once no library thread
    // may log any more.
    static void setSink(Sink sink);

    static const char* levelName(Level level);

private:
    static void write(Level level, const std::string& text);
};

} // namespace orvanta
