#include "utils/Logger.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using orvanta::logging::LogDestination;
using orvanta::logging::Logger;
using orvanta::logging::LogLevel;

namespace {

using Records = std::vector<std::pair<LogLevel, std::string>>;

struct Capture : LogDestination {
    Records records;
    bool throws = false;
    void log(LogLevel level, const std::string& record) override {
        if (throws)
            throw std::runtime_error("sink down");
        records.emplace_back(level, record);
    }
};

} // namespace

TEST(Logger, PassesTheLevelsUpToItsOwnWithTheirTagsAlsoThroughStreams) {
    const Records all = {{LogLevel::Error, " [error] e"}, {LogLevel::Warning, " [warning] w"},
                         {LogLevel::Info, " [info] i"},   {LogLevel::Debug, " [debug] d"},
                         {LogLevel::Trace, " [trace] t"}};
    Logger logger;
    EXPECT_EQ(logger.getLogLevel(), LogLevel::Info);
    Capture sink;
    for (int level = -1; level <= 5; ++level) { // -1: the default level
        SCOPED_TRACE(level);
        if (level >= 0)
            logger.setLogLevel(static_cast<LogLevel>(level));
        logger.setLogDestination(nullptr);
        logger.error("dropped: no destination");
        logger.setLogDestination(&sink);
        sink.records.clear();
        logger.error("e");
        logger.warning("w");
        logger.info("i");
        logger.debug("d");
        logger.trace("t");
        EXPECT_EQ(sink.records, Records(all.begin(), all.begin() + (level < 0 ? 3 : level)));
    }

    // The transports' process-wide loggers: silent until given a destination, and separate.
    auto& ws = orvanta::websocket::logger;
    EXPECT_EQ(ws.getLogDestination(), nullptr);
    EXPECT_EQ(orvanta::networkclient::logger.getLogDestination(), nullptr);
    sink.records.clear();
    ws.setLogDestination(&sink);
    ws.info("[WebSocketClient] up");
    orvanta::networkclient::logger.error("[CURLNetworkClient] not attached");
    ws.setLogDestination(nullptr);
    EXPECT_EQ(sink.records, (Records{{LogLevel::Info, " [info] [WebSocketClient] up"}}));

    // Streams emit one record, once, and move their text.
    logger.setLogLevel(LogLevel::Info);
    logger.setLogDestination(&sink);
    sink.records.clear();
    logger.infoStream << "x=" << 42 << ' ' << 1.5;
    logger.debugStream << "filtered";
    { Logger::LogStream empty(logger, LogLevel::Error); }
    { Logger::LogStream outOfRange(logger, static_cast<LogLevel>(9)); outOfRange << "nope"; }
    { Logger::LogStream none(logger, LogLevel::None); none << "nope"; }
    {
        Logger::LogStream a(logger, LogLevel::Warning);
        a << "whole " << "text";
        Logger::LogStream b(std::move(a)); // a is left empty: one record only
    }
    {
        Logger::LogStream target(logger, LogLevel::Error);
        target << "replaced";
        Logger::LogStream source(logger, LogLevel::Info);
        source << "moved";
        target = std::move(source); // takes the level and text; source emits nothing
    }
    EXPECT_EQ(sink.records, (Records{{LogLevel::Info, " [info] x=42 1.5"},
                                     {LogLevel::Warning, " [warning] whole text"},
                                     {LogLevel::Info, " [info] moved"}}));

    sink.throws = true;
    EXPECT_NO_THROW({ logger.errorStream << "lost"; });
    EXPECT_THROW(logger.error("direct"), std::runtime_error);
}
