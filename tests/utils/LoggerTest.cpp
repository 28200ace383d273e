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

struct Capture : LogDestination {
    std::vector<std::pair<LogLevel, std::string>> records;
    void log(LogLevel level, const std::string& record) override { records.emplace_back(level, record); }
};

struct Throwing : LogDestination {
    void log(LogLevel, const std::string&) override { throw std::runtime_error("sink down"); }
};

void logAllLevels(const Logger& logger) {
    logger.error("e");
    logger.warning("w");
    logger.info("i");
    logger.debug("d");
    logger.trace("t");
}

} // namespace

TEST(Logger, FiltersByLevelAndFormatsRecords) {
    Logger logger;
    logAllLevels(logger); // no destination: nothing to reach, nothing to crash
    EXPECT_EQ(logger.getLogLevel(), LogLevel::Info);
    EXPECT_EQ(logger.getLogDestination(), nullptr);

    Capture sink;
    logger.setLogDestination(&sink);
    logAllLevels(logger);
    const std::vector<std::pair<LogLevel, std::string>> atInfo = {
        {LogLevel::Error, " [error] e"}, {LogLevel::Warning, " [warning] w"}, {LogLevel::Info, " [info] i"}};
    EXPECT_EQ(sink.records, atInfo);

    sink.records.clear();
    logger.setLogLevel(LogLevel::None);
    logAllLevels(logger);
    EXPECT_TRUE(sink.records.empty());

    logger.setLogLevel(LogLevel::Trace);
    logAllLevels(logger);
    ASSERT_EQ(sink.records.size(), 5u);
    EXPECT_EQ(sink.records[3], std::make_pair(LogLevel::Debug, std::string(" [debug] d")));
    EXPECT_EQ(sink.records[4], std::make_pair(LogLevel::Trace, std::string(" [trace] t")));

    sink.records.clear();
    logger.setLogLevel(LogLevel::Warning);
    logger.info("[CURLNetworkClient] constructor");
    logger.warning("[CURLNetworkClient] constructor");
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].second, " [warning] [CURLNetworkClient] constructor");

    sink.records.clear();
    logger.setLogDestination(nullptr);
    logger.error("dropped");
    EXPECT_TRUE(sink.records.empty());
}

TEST(Logger, StreamsEmitOnceAndMoveTheirText) {
    Logger logger;
    Capture sink;
    logger.setLogDestination(&sink);

    logger.infoStream << "x=" << 42 << ' ' << 1.5;
    logger.debugStream << "filtered";
    { Logger::LogStream empty(logger, LogLevel::Error); }
    { Logger::LogStream outOfRange(logger, static_cast<LogLevel>(9)); outOfRange << "nope"; }
    { Logger::LogStream none(logger, LogLevel::None); none << "nope"; }
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], std::make_pair(LogLevel::Info, std::string(" [info] x=42 1.5")));

    sink.records.clear();
    {
        Logger::LogStream a(logger, LogLevel::Warning);
        a << "whole " << "text";
        Logger::LogStream b(std::move(a));
        a << "";  // still usable, still empty
    }
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].second, " [warning] whole text");

    sink.records.clear();
    {
        Logger::LogStream target(logger, LogLevel::Error);
        target << "replaced";
        Logger::LogStream source(logger, LogLevel::Info);
        source << "moved";
        target = std::move(source);
    }
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], std::make_pair(LogLevel::Info, std::string(" [info] moved")));
}

TEST(Logger, ThrowingDestinationDoesNotEscapeAStream) {
    Logger logger;
    Throwing sink;
    logger.setLogDestination(&sink);
    EXPECT_NO_THROW({ logger.errorStream << "lost"; });
    EXPECT_THROW(logger.error("direct"), std::runtime_error);
}

TEST(Logger, GlobalLoggersAreSilentByDefaultAndIndependent) {
    auto& ws = orvanta::websocket::logger;
    auto& net = orvanta::networkclient::logger;
    EXPECT_NE(&ws, &net);
    EXPECT_EQ(ws.getLogDestination(), nullptr);
    EXPECT_EQ(net.getLogLevel(), LogLevel::Info);

    Capture sink;
    ws.setLogDestination(&sink);
    ws.info("[WebSocketClient] up");
    net.error("[CURLNetworkClient] not attached");
    ws.setLogDestination(nullptr);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].second, " [info] [WebSocketClient] up");
}
