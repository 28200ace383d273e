// What the protocol client does with each server event: state, delegate
// calls and log lines, and how malformed messages are dropped.

#include "RealtimeTestSupport.h"

#include "utils/Base64.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;
const std::string kTag = "[OpenAIWebSocketClient] ";
const std::map<std::string, Calls> kEvents = readSections("realtime/data/server_events.txt");

bool loggedInvalidObject(LogCapture& log) {
    const auto lines = log.take();
    return std::any_of(lines.begin(), lines.end(), [](const auto& l) {
        return l.first == Level::Error && l.second.rfind(kTag + "Received invalid JSON object: ", 0) == 0;
    });
}

TEST(ServerEvents, SessionMirror) {
    ScriptedClient c;
    const Calls rows = kEvents.at("session mirror");
    ASSERT_EQ(rows.size(), 4u);
    for (const std::string& row : rows) {
        const Calls f = tabFields(row);
        c.transport->receive(f.at(2));
        const Calls calls = c.delegate.take();
        std::string state = c.client->getIsConnected() ? "1" : "0";
        state += (c.internals->hasActiveSession() ? "1" : "0") + membersOf(c.internals->getSession());
        EXPECT_EQ(Calls({calls.empty() ? "" : calls[0], state}), Calls({f[0], f[1]})) << f[2];
        EXPECT_LE(calls.size(), 1u);
    }
    EXPECT_FALSE(c.client->createResponse()); // connected, but no session id
}

// Every message twice: as parsed directly, and the way of large messages (a
// skeleton parsed, every string read from the message itself).
TEST(ServerEvents, DispatchTableAndMalformedMessages) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    const Calls& rows = kEvents.at("dispatch");
    ASSERT_EQ(rows.size(), 32u);
    for (bool large : {false, true}) {
        if (large)
            c.internals->setLargeMessageLimits(0, 1);
        for (const std::string& row : rows) {
            const Calls f = tabFields(row); // log line (debug or error), call or nothing, message
            c.transport->receive(f.at(2));
            EXPECT_EQ(c.delegate.take(), f[1].empty() ? Calls{} : Calls{f[1]}) << f[2];
            EXPECT_TRUE(log.has(Level::Debug, kTag + f[0]) || log.has(Level::Error, kTag + f[0])) << f[2];
            EXPECT_FALSE(loggedInvalidObject(log)) << f[2];
        }
        c.transport->receive(R"({"type":"response.output_audio.delta","delta":"AQIDBAU="})");
        EXPECT_EQ(c.delegate.lastSamples, (std::vector<int16_t>{0x0201, 0x0403})); // little-endian, odd byte dropped

        // Malformed messages are dropped.
        c.transport->receive(R"({"type":"response.created"})");
        c.delegate.take();
        log.take();
        const Calls& malformed = kEvents.at("malformed");
        ASSERT_EQ(malformed.size(), 21u);
        for (const std::string& text : malformed) {
            c.transport->receive(text);
            EXPECT_TRUE(loggedInvalidObject(log)) << text;
        }
        // "response.done" without its body still ended the response first.
        EXPECT_FALSE(c.internals->hasActiveResponse.load());
        c.transport->receive(R"({"notype":1,"text":"\u00e9"})");
        EXPECT_TRUE(log.has(Level::Debug, kTag + "Received JSON: {\"notype\":1,\"text\":\"\xC3\xA9\"}"));

        for (const std::string& text :
             Calls{"", "{", "/* c */ {}", "\"\xff\"", std::string(100000, '[') + std::string(100000, ']')}) {
            c.transport->receive(text);
            EXPECT_TRUE(log.has(Level::Error, kTag + "Received unparseable JSON, dropping frame.")) << text.size();
            log.take();
        }
        c.transport->receive("{\"type\":\"x\",\"a\":" + std::string(120, '[') + std::string(120, ']') + "}");
        EXPECT_TRUE(log.has(Level::Debug, kTag + "Unknown message type: x")); // deep, but within the bound
        c.transport->onMessageHandler({'{', '}'}, false);
        EXPECT_TRUE(log.has(Level::Error, kTag + "Received non-text message."));
        EXPECT_TRUE(c.delegate.take().empty());
    }
    // 1.5 s of audio, past the size parsed directly, on a client as built.
    ScriptedClient big;
    const std::vector<int16_t> samples = tone(36000, 32767);
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    big.transport->receive(R"({"type":"response.output_audio.delta","delta":")" +
                           base64::Base64::encode(bytes, samples.size() * 2) + "\"}");
    EXPECT_EQ(big.delegate.lastSamples, samples);
    // A short string that reads like a placeholder ("\u0000" and a number)
    // makes a large message parse whole: nothing held out can be mistaken.
    c.internals->setLargeMessageLimits(0, 4096);
    const std::string message(5000, 'm');
    c.transport->receive(R"({"type":"conversation.item.input_audio_transcription.failed","item_id":"\u00000",)"
                         R"("error":{"message":")" + message + "\"}}");
    EXPECT_EQ(c.delegate.take(), Calls{"onError(transcription_failed||" + message + ")"});
    EXPECT_TRUE(log.has(Level::Error, kTag + "Input audio transcription failed for item " + std::string(1, '\0') +
                                          "0: " + message));
    // Error events are forwarded only: the session is still up.
    EXPECT_TRUE(c.client->getIsConnected() && c.internals->hasActiveSession());
}

} // namespace
} // namespace orvanta::extensions::openai::test
