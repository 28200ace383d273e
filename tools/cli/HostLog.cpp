#include "tools/cli/HostLog.h"

#include "OrvantaSDK/Logger.h"
#include "tools/cli/InputFeeder.h"
#include "utils/Logger.h"

#include <cstdio>
#include <string>

namespace orvanta::cli {

namespace {

// The two nodes' overflow edges.
bool isOverflowStart(const std::string& line) {
    return line == "[OpenAINode] Input audio buffer is full, started dropping audio data." ||
           line == "[OpenAITranscribeNode] Input audio buffer full, dropping audio.";
}

bool isOverflowEnd(const std::string& line) {
    return line == "[OpenAINode] Input audio buffer has space again, resuming audio data sending." ||
           line == "[OpenAITranscribeNode] Input audio buffer has space again, resuming.";
}

// One fputs per line: stdio locks the stream, so lines from several threads
// do not interleave.
void toStderr(const char* level, const std::string& line) {
    const std::string text = std::string("[") + level + "] " + line + "\n";
    std::fputs(text.c_str(), stderr);
}

} // namespace

struct HostLog::LibraryDestination : logging::LogDestination {
    void log(logging::LogLevel, const std::string& record) override {
        const std::string text = record + "\n";
        std::fputs(text.c_str(), stderr);
    }
};

HostLog::HostLog(bool verbose) {
    Logger::setLevel(verbose ? Logger::Level::Debug : Logger::Level::Warning);
    Logger::setSink([this, verbose](Logger::Level level, const std::string& line) {
        if (InputFeeder* feeder = watched.load()) {
            if (isOverflowStart(line))
                feeder->noteInputOverflow(true);
            else if (isOverflowEnd(line))
                feeder->noteInputOverflow(false);
        }
        if (verbose)
            toStderr(Logger::levelName(level), line);
    });
    if (verbose) {
        libraryDestination = std::make_unique<LibraryDestination>();
        for (logging::Logger* logger : {&websocket::logger, &networkclient::logger}) {
            logger->setLogLevel(logging::LogLevel::Debug);
            logger->setLogDestination(libraryDestination.get());
        }
    }
}

HostLog::~HostLog() {
    Logger::setSink(nullptr);
    if (libraryDestination) {
        websocket::logger.setLogDestination(nullptr);
        networkclient::logger.setLogDestination(nullptr);
    }
}

} // namespace orvanta::cli
