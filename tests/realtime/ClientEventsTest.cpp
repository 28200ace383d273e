// What the protocol client sends: the exact text of every event, numbering,
// the guards, and the send path's refusal.

#include "RealtimeTestSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;

const std::map<std::string, Calls> kExpected = readSections("realtime/data/client_events.txt");

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
    UpdateSessionClientEvent update;
    c.client->updateSession(update);
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

TEST(ClientEvents, SessionUpdateWorkedExamples) {
    ScriptedClient c("gpt-realtime-2");
    c.openSession();
    ASSERT_TRUE(c.client->createResponse()); // the update is the second event
    UpdateSessionClientEvent u;
    u.voice = "marin";
    u.instructions = "";
    u.speed = 1.0f;
    u.inputAudioTranscription = true;
    u.transcriptionModel = "gpt-4o-mini-transcribe";
    u.turnDetection = "server_vad";
    u.noiseReduction = "near_field";
    u.toolChoice = "auto";
    c.client->updateSession(u);
    EXPECT_EQ(c.transport->takeSent().at(1), kExpected.at("conversation session update").at(0));

    ScriptedClient t("gpt-realtime-whisper");
    t.openSession();
    UpdateSessionClientEvent tu = u; // realtime-only members have no place here
    tu.sessionType = "transcription";
    tu.transcriptionModel.reset();
    tu.transcriptionLanguage = "en";
    tu.transcriptionDelay = "medium";
    tu.tools = "[]";
    t.client->updateSession(tu);
    EXPECT_EQ(t.transport->takeSent(), kExpected.at("transcription session update"));
}

nlohmann::json sessionFor(const UpdateSessionClientEvent& event) {
    OpenAIWebSocketClient::Internals internals("m");
    return internals.buildSessionObject(event);
}

TEST(ClientEvents, SessionUpdateMemberVariations) {
    const Calls& expected = kExpected.at("session variations");
    EXPECT_EQ(sessionFor({}).dump(), expected.at(0));
    UpdateSessionClientEvent u;
    u.turnDetection = "none";
    u.noiseReduction = "none";
    u.inputAudioTranscription = false;
    u.voice = "";
    u.speed = 1.2f;
    u.toolChoice = "";
    u.sessionType = "conversation";
    auto s = sessionFor(u);
    EXPECT_EQ(s["audio"].dump(), expected.at(1));
    EXPECT_FALSE(s.contains("tool_choice"));
    u.turnDetection = "semantic_vad";
    u.noiseReduction = "far_field";
    u.inputAudioTranscription = true;
    EXPECT_EQ(sessionFor(u)["audio"]["input"].dump(), expected.at(2));
    u.turnDetection = "whatever";
    EXPECT_EQ(sessionFor(u)["audio"]["input"]["turn_detection"].dump(), R"({"type":"server_vad"})");
    for (auto [given, sent] : std::vector<std::pair<std::string, std::string>>{
             {"none", "none"}, {"required", "required"}, {"auto", "auto"}, {"get_weather", "auto"}}) {
        u.toolChoice = given;
        EXPECT_EQ(sessionFor(u)["tool_choice"], sent) << given;
    }
    u.tools = R"([{"type":"function","name":"f"}])";
    EXPECT_EQ(sessionFor(u)["tools"].dump(), R"([{"name":"f","type":"function"}])");

    UpdateSessionClientEvent t;
    t.sessionType = "transcription";
    t.transcriptionLanguage = "";
    t.transcriptionDelay = "";
    EXPECT_EQ(sessionFor(t)["audio"]["input"]["transcription"].dump(), R"({"delay":"","model":"gpt-realtime-whisper"})");
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
