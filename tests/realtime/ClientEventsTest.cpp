// What the protocol client sends: the exact text of every event, numbering,
// the guards, and the send path's refusal.

#include "RealtimeTestSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;

const std::map<std::string, Calls> kExpected = readSections("realtime/data/client_events.txt");

// The settings of a row in the data file, named as the members are.
UpdateSessionClientEvent settingsFrom(const nlohmann::json& j) {
    using U = UpdateSessionClientEvent;
    U u;
    for (auto [key, member] : std::vector<std::pair<const char*, std::optional<std::string> U::*>>{
             {"voice", &U::voice}, {"instructions", &U::instructions}, {"transcriptionModel", &U::transcriptionModel},
             {"turnDetection", &U::turnDetection}, {"noiseReduction", &U::noiseReduction},
             {"sessionType", &U::sessionType}, {"transcriptionLanguage", &U::transcriptionLanguage},
             {"transcriptionDelay", &U::transcriptionDelay}, {"tools", &U::tools}, {"toolChoice", &U::toolChoice}})
        if (j.contains(key))
            u.*member = j[key].get<std::string>();
    if (j.contains("speed"))
        u.speed = j["speed"].get<float>();
    if (j.contains("inputAudioTranscription"))
        u.inputAudioTranscription = j["inputAudioTranscription"].get<bool>();
    return u;
}

TEST(ClientEvents, EveryOperationSendsItsExactText) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    EXPECT_TRUE(c.client->appendAudioBuffer({1, -2, 0x7fff}));
    EXPECT_TRUE(c.client->clearInputAudioBuffer());
    EXPECT_TRUE(c.client->sendUserMessage("Hi \"you\"\n\xc3\xa9"));
    EXPECT_TRUE(c.client->createResponse("Say hi"));
    EXPECT_TRUE(c.client->submitFunctionCallOutput("call_9", "{\"temp\": 21}"));
    EXPECT_TRUE(c.client->sendConversationItemTruncate("item_7", 0, 1500));
    EXPECT_TRUE(c.client->appendAudioBuffer({}));
    EXPECT_TRUE(c.client->commitAudioBuffer());
    EXPECT_NO_THROW(EXPECT_TRUE(c.client->sendUserMessage("caf\xc3"))); // cut off: replaced, not thrown
    c.client->updateSession(settingsFrom(nlohmann::json::parse(
        R"({"voice":"marin","instructions":"","speed":1.0,"inputAudioTranscription":true,"toolChoice":"auto",)"
        R"("transcriptionModel":"gpt-4o-mini-transcribe",)"
        R"("turnDetection":"server_vad","noiseReduction":"near_field"})")));
    EXPECT_EQ(c.transport->takeSent(), kExpected.at("operations"));
    EXPECT_TRUE(c.transport->allText);
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Clearing input audio buffer."));
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Truncating item item_7 at 1500 ms."));
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Committing turn: sending input_audio_buffer.commit + response.create."));

    // A transcription client commits without asking for a response.
    ScriptedClient t("gpt-realtime-whisper");
    t.openSession();
    EXPECT_TRUE(t.client->commitAudioBuffer());
    EXPECT_EQ(t.transport->takeSent(), kExpected.at("transcription commit"));
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Committing input audio buffer: sending input_audio_buffer.commit."));
}

TEST(ClientEvents, GuardsRefuseWithoutDrawingANumberAndFailedSendsDoDraw) {
    LogCapture log;
    ScriptedClient c; // socket up, but no "session.created" yet
    EXPECT_FALSE(c.client->appendAudioBuffer({1}));
    EXPECT_FALSE(c.client->commitAudioBuffer());
    EXPECT_FALSE(c.client->clearInputAudioBuffer());
    EXPECT_FALSE(c.client->sendUserMessage("x"));
    EXPECT_FALSE(c.client->createResponse());
    EXPECT_FALSE(c.client->submitFunctionCallOutput("", "x"));
    EXPECT_FALSE(c.client->cancelResponse());
    EXPECT_FALSE(c.client->sendConversationItemTruncate("", 0, 0));
    c.client->updateSession(UpdateSessionClientEvent{});
    Calls errors;
    for (auto& [level, text] : log.take())
        if (level == Level::Error)
            errors.push_back(text.substr(24)); // without "[OpenAIWebSocketClient] "
    EXPECT_EQ(errors, kExpected.at("guard refusals"));

    c.openSession();
    EXPECT_FALSE(c.client->submitFunctionCallOutput("", "{}"));
    EXPECT_FALSE(c.client->sendConversationItemTruncate("", 0, 10));
    EXPECT_TRUE(c.client->cancelResponse()); // no response in flight: nothing to send
    EXPECT_TRUE(log.has(Level::Warning, "[OpenAIWebSocketClient] Skipping function_call_output: empty call_id."));
    EXPECT_TRUE(log.has(Level::Warning, "[OpenAIWebSocketClient] Skipping conversation.item.truncate: empty item_id."));
    EXPECT_TRUE(log.has(Level::Debug, "[OpenAIWebSocketClient] Skipping cancelResponse: no active response."));
    c.transport->receive(R"({"type":"response.created"})");
    EXPECT_TRUE(c.client->cancelResponse());
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Canceling response."));
    EXPECT_EQ(c.transport->takeSent(), Calls{R"({"event_id":"event-1","type":"response.cancel"})"});
    EXPECT_EQ(c.delegate.take(), Calls{"onResponseCreated()"});

    // Session record active, socket refused: reported, and numbers still drawn.
    c.internals->isConnected.store(false);
    EXPECT_TRUE(c.client->createResponse());
    c.client->updateSession({});
    EXPECT_TRUE(c.client->appendAudioBuffer({1, 2}));
    EXPECT_TRUE(c.transport->takeSent().empty());
    EXPECT_EQ(c.delegate.take(), (Calls{"onError(send_failed||Cannot send response.create while disconnected.)",
                                        "onError(send_failed||Cannot send session.update while disconnected.)",
                                        "onError(send_failed||Cannot send input_audio_buffer.append while disconnected.)"}));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Cannot send message: Not connected to OpenAI WebSocket. Type: session.update"));
    c.internals->isConnected.store(true);
    EXPECT_TRUE(c.client->createResponse());
    EXPECT_EQ(c.transport->takeSent(), Calls{R"({"event_id":"event-5","type":"response.create"})"});
}

TEST(ClientEvents, SessionObjectsForEachSetting) {
    const Calls rows = kExpected.at("session objects");
    ASSERT_EQ(rows.size(), 11u);
    for (const std::string& row : rows) {
        const Calls f = tabFields(row);
        OpenAIWebSocketClient::Internals internals("m");
        EXPECT_EQ(internals.buildSessionObject(settingsFrom(nlohmann::json::parse(f.at(0)))).dump(), f.at(1)) << f[0];
    }
}

TEST(ClientEvents, InvalidToolsAndTextAreReportedOrReplacedAndTheUpdateStillGoesOut) {
    LogCapture log;
    for (const std::string bad : {"", "[{", "not json"}) {
        ScriptedClient c;
        c.openSession();
        UpdateSessionClientEvent update;
        update.tools = bad;
        update.toolChoice = "required";
        update.instructions = "caf\xc3"; // cut off: replaced, not thrown
        c.client->updateSession(update);
        EXPECT_EQ(c.delegate.take(), Calls{"onError(invalid_tools||tools is not valid JSON.)"});
        const auto sent = nlohmann::json::parse(c.transport->takeSent().at(0));
        EXPECT_FALSE(sent["session"].contains("tools")) << bad;
        EXPECT_EQ(sent["session"]["tool_choice"], "required");
        EXPECT_EQ(sent["session"]["instructions"], "caf\xef\xbf\xbd");
    }
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Invalid tools JSON, skipping."));
}

} // namespace
} // namespace orvanta::extensions::openai::test
