// What the protocol client sends: exact bytes of every event, numbering, the
// guards and the send path's refusal.

#include "RealtimeTestSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;

TEST(ClientEvents, EveryOperationSendsItsExactText) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();

    EXPECT_TRUE(c.client->appendAudioBuffer({1, -2, 0x7fff}));
    EXPECT_TRUE(c.client->clearInputAudioBuffer());
    EXPECT_TRUE(c.client->sendUserMessage("Hi \"there\"\n\xc3\xa9"));
    EXPECT_TRUE(c.client->createResponse("Say hi"));
    EXPECT_TRUE(c.client->createResponse());
    EXPECT_TRUE(c.client->submitFunctionCallOutput("call_9", "{\"temp\": 21}"));
    EXPECT_TRUE(c.client->sendConversationItemTruncate("item_7", 0, 1500));
    EXPECT_TRUE(c.client->appendAudioBuffer({}));

    const auto sent = c.transport->takeSent();
    const std::vector<std::string> expected = {
        R"({"audio":"AQD+//9/","event_id":"event-1","type":"input_audio_buffer.append"})",
        R"({"event_id":"event-2","type":"input_audio_buffer.clear"})",
        "{\"event_id\":\"event-3\",\"item\":{\"content\":[{\"text\":\"Hi \\\"there\\\"\\n\xc3\xa9\","
        "\"type\":\"input_text\"}],\"role\":\"user\",\"type\":\"message\"},\"type\":\"conversation.item.create\"}",
        R"({"event_id":"event-4","response":{"input":[{"content":[{"text":"Say hi","type":"input_text"}],"role":"user","type":"message"}]},"type":"response.create"})",
        R"({"event_id":"event-5","type":"response.create"})",
        R"({"event_id":"event-6","item":{"call_id":"call_9","output":"{\"temp\": 21}","type":"function_call_output"},"type":"conversation.item.create"})",
        R"({"audio_end_ms":1500,"content_index":0,"event_id":"event-7","item_id":"item_7","type":"conversation.item.truncate"})",
        R"({"audio":"","event_id":"event-8","type":"input_audio_buffer.append"})",
    };
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].text, expected[i]) << "event " << i + 1;
        EXPECT_TRUE(sent[i].isText);
        EXPECT_EQ(sent[i].maxFragmentSize, 104857600ul);
    }
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Clearing input audio buffer."));
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Truncating item item_7 at 1500 ms."));
    EXPECT_TRUE(c.delegate.take().empty());
}

TEST(ClientEvents, HandWrittenAppendMatchesTheJsonLibrary) {
    std::vector<int16_t> samples(2400);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(i * 37 - 30000);
    const auto bytes = OpenAIWebSocketClient::Internals::buildAudioAppendMessage(samples, 123456);
    const auto parsed = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(parsed.dump(), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(parsed["event_id"], "event-123456");
    EXPECT_EQ(parsed["type"], "input_audio_buffer.append");
}

TEST(ClientEvents, CommitDependsOnTheModel) {
    LogCapture log;
    {
        ScriptedClient c("gpt-realtime-2");
        c.openSession();
        EXPECT_TRUE(c.client->commitAudioBuffer());
        EXPECT_EQ(c.transport->sentTexts(),
                  (std::vector<std::string>{R"({"event_id":"event-1","type":"input_audio_buffer.commit"})",
                                            R"({"event_id":"event-2","type":"response.create"})"}));
        EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Committing turn: sending "
                                         "input_audio_buffer.commit + response.create."));
    }
    {
        ScriptedClient c("gpt-realtime-whisper");
        c.openSession();
        EXPECT_TRUE(c.client->commitAudioBuffer());
        EXPECT_EQ(c.transport->sentTexts(),
                  (std::vector<std::string>{R"({"event_id":"event-1","type":"input_audio_buffer.commit"})"}));
        EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Committing input audio buffer: sending "
                                         "input_audio_buffer.commit."));
    }
}

TEST(ClientEvents, GuardsRefuseWithoutASessionAndDrawNoNumber) {
    LogCapture log;
    ScriptedClient c;
    // The socket may be up, but without "session.created" nothing goes out.
    EXPECT_FALSE(c.client->appendAudioBuffer({1}));
    EXPECT_FALSE(c.client->commitAudioBuffer());
    EXPECT_FALSE(c.client->clearInputAudioBuffer());
    EXPECT_FALSE(c.client->sendUserMessage("x"));
    EXPECT_FALSE(c.client->createResponse("x"));
    EXPECT_FALSE(c.client->createResponse());
    EXPECT_FALSE(c.client->submitFunctionCallOutput("", "x"));
    EXPECT_FALSE(c.client->cancelResponse());
    EXPECT_FALSE(c.client->sendConversationItemTruncate("", 0, 0));
    c.client->updateSession(UpdateSessionClientEvent{});

    const std::vector<std::string> expectedErrors = {
        "[OpenAIWebSocketClient] Cannot append audio buffer: No active session.",
        "[OpenAIWebSocketClient] Cannot commit turn: No active session.",
        "[OpenAIWebSocketClient] Cannot clear input audio buffer: No active session.",
        "[OpenAIWebSocketClient] Cannot send user message: No active session.",
        "[OpenAIWebSocketClient] Cannot create response: No active session.",
        "[OpenAIWebSocketClient] Cannot create response: No active session.",
        "[OpenAIWebSocketClient] Cannot submit tool result: No active session.",
        "[OpenAIWebSocketClient] Cannot cancel response: No active session.",
        "[OpenAIWebSocketClient] Cannot send conversation.item.truncate: No active session.",
        "[OpenAIWebSocketClient] Cannot set instructions: No active session.",
    };
    std::vector<std::string> errors;
    for (auto& line : log.take())
        if (line.level == Level::Error)
            errors.push_back(line.text);
    EXPECT_EQ(errors, expectedErrors);
    EXPECT_TRUE(c.transport->takeSent().empty());
    EXPECT_TRUE(c.delegate.take().empty());

    // None of that consumed a number.
    c.openSession();
    EXPECT_TRUE(c.client->createResponse());
    EXPECT_EQ(c.transport->sentTexts(),
              (std::vector<std::string>{R"({"event_id":"event-1","type":"response.create"})"}));
}

TEST(ClientEvents, ArgumentChecksAfterTheSessionGuard) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    log.take();

    EXPECT_FALSE(c.client->submitFunctionCallOutput("", "{}"));
    EXPECT_FALSE(c.client->sendConversationItemTruncate("", 0, 10));
    EXPECT_TRUE(log.has(Level::Warning, "[OpenAIWebSocketClient] Skipping function_call_output: empty call_id."));
    EXPECT_TRUE(log.has(Level::Warning, "[OpenAIWebSocketClient] Skipping conversation.item.truncate: empty item_id."));

    // No response in flight: true, logged at debug, nothing sent.
    EXPECT_TRUE(c.client->cancelResponse());
    EXPECT_TRUE(log.has(Level::Debug, "[OpenAIWebSocketClient] Skipping cancelResponse: no active response."));
    EXPECT_TRUE(c.transport->takeSent().empty());

    c.transport->receive(R"({"type":"response.created"})");
    EXPECT_TRUE(c.client->cancelResponse());
    EXPECT_TRUE(log.has(Level::Info, "[OpenAIWebSocketClient] Canceling response."));
    EXPECT_EQ(c.transport->sentTexts(),
              (std::vector<std::string>{R"({"event_id":"event-1","type":"response.cancel"})"}));

    c.transport->receive(R"({"type":"response.done","response":{"status":"cancelled"}})");
    EXPECT_TRUE(c.client->cancelResponse());
    EXPECT_TRUE(c.transport->takeSent().empty());
}

TEST(ClientEvents, SendWhileDisconnectedIsReportedAndStillNumbered) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    // Connected flag down while the session record says active: only the send
    // path can refuse now.
    c.internals->isConnected.store(false);
    log.take();

    EXPECT_TRUE(c.client->createResponse());
    UpdateSessionClientEvent update;
    update.sessionType = "transcription";
    c.client->updateSession(update);
    EXPECT_TRUE(c.client->appendAudioBuffer({1, 2}));

    EXPECT_TRUE(c.transport->takeSent().empty());
    EXPECT_EQ(c.delegate.take(),
              (std::vector<std::string>{"onError(send_failed||Cannot send response.create while disconnected.)",
                                        "onError(send_failed||Cannot send session.update while disconnected.)",
                                        "onError(send_failed||Cannot send input_audio_buffer.append while "
                                        "disconnected.)"}));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Cannot send message: Not connected to OpenAI "
                                      "WebSocket. Type: session.update"));

    c.internals->isConnected.store(true);
    EXPECT_TRUE(c.client->createResponse());
    EXPECT_EQ(c.transport->sentTexts(),
              (std::vector<std::string>{R"({"event_id":"event-4","type":"response.create"})"}));
}

TEST(ClientEvents, SessionUpdateWorkedExamples) {
    ScriptedClient c("gpt-realtime-2");
    c.openSession();
    ASSERT_TRUE(c.client->createResponse()); // the update is the second event

    UpdateSessionClientEvent conversation;
    conversation.voice = "marin";
    conversation.instructions = "";
    conversation.speed = 1.0f;
    conversation.inputAudioTranscription = true;
    conversation.transcriptionModel = "gpt-4o-mini-transcribe";
    conversation.turnDetection = "server_vad";
    conversation.noiseReduction = "near_field";
    conversation.toolChoice = "auto";
    c.client->updateSession(conversation);
    auto texts = c.transport->sentTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1],
              R"({"event_id":"event-2","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
              R"("noise_reduction":{"type":"near_field"},"transcription":{"model":"gpt-4o-mini-transcribe"},)"
              R"("turn_detection":{"type":"server_vad"}},"output":{"format":{"rate":24000,"type":"audio/pcm"},)"
              R"("speed":1.0,"voice":"marin"}},"instructions":"","model":"gpt-realtime-2",)"
              R"("output_modalities":["audio"],"tool_choice":"auto","type":"realtime"},"type":"session.update"})");

    ScriptedClient t("gpt-realtime-whisper");
    t.openSession();
    UpdateSessionClientEvent transcription;
    transcription.sessionType = "transcription";
    transcription.transcriptionLanguage = "en";
    transcription.transcriptionDelay = "medium";
    // Realtime-only members have no place in a transcription session.
    transcription.voice = "marin";
    transcription.instructions = "ignored";
    transcription.tools = "[]";
    t.client->updateSession(transcription);
    EXPECT_EQ(t.transport->sentTexts(),
              (std::vector<std::string>{
                  R"({"event_id":"event-1","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
                  R"("transcription":{"delay":"medium","language":"en","model":"gpt-realtime-whisper"}}},)"
                  R"("type":"transcription"},"type":"session.update"})"}));
}

// The "session" object alone, for the variations of each member.
nlohmann::json sessionFor(const UpdateSessionClientEvent& event, const std::string& model = "m") {
    OpenAIWebSocketClient::Internals internals(model);
    return internals.buildSessionObject(event);
}

TEST(ClientEvents, SessionUpdateRealtimeShapeVariations) {
    UpdateSessionClientEvent none;
    EXPECT_EQ(sessionFor(none).dump(),
              R"({"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"}},"output":{"format":)"
              R"({"rate":24000,"type":"audio/pcm"}}},"model":"m","output_modalities":["audio"],"type":"realtime"})");

    UpdateSessionClientEvent off;
    off.turnDetection = "none";
    off.noiseReduction = "none";
    off.inputAudioTranscription = false;
    off.voice = "";
    off.speed = 1.2f;
    off.sessionType = "something-else";
    auto s = sessionFor(off);
    EXPECT_EQ(s["audio"]["input"].dump(),
              R"({"format":{"rate":24000,"type":"audio/pcm"},"noise_reduction":null,"transcription":null,)"
              R"("turn_detection":null})");
    EXPECT_EQ(s["audio"]["output"].dump(), R"({"format":{"rate":24000,"type":"audio/pcm"},"speed":1.2000000476837158})");
    EXPECT_EQ(s["type"], "realtime");

    UpdateSessionClientEvent other;
    other.turnDetection = "semantic_vad";
    other.inputAudioTranscription = true;
    other.noiseReduction = "far_field";
    EXPECT_EQ(sessionFor(other)["audio"]["input"].dump(),
              R"({"format":{"rate":24000,"type":"audio/pcm"},"noise_reduction":{"type":"far_field"},)"
              R"("transcription":{"model":"gpt-4o-mini-transcribe"},"turn_detection":{"type":"semantic_vad"}})");
    other.turnDetection = "anything";
    EXPECT_EQ(sessionFor(other)["audio"]["input"]["turn_detection"].dump(), R"({"type":"server_vad"})");

    for (auto [given, sent] : std::vector<std::pair<std::string, std::string>>{
             {"none", "none"}, {"required", "required"}, {"auto", "auto"}, {"get_weather", "auto"}}) {
        UpdateSessionClientEvent choice;
        choice.toolChoice = given;
        EXPECT_EQ(sessionFor(choice)["tool_choice"], sent) << given;
    }
    UpdateSessionClientEvent emptyChoice;
    emptyChoice.toolChoice = "";
    EXPECT_FALSE(sessionFor(emptyChoice).contains("tool_choice"));

    UpdateSessionClientEvent tools;
    tools.tools = R"([{"type":"function","name":"get_weather","parameters":{"type":"object"}}])";
    EXPECT_EQ(sessionFor(tools)["tools"].dump(),
              R"([{"name":"get_weather","parameters":{"type":"object"},"type":"function"}])");
    tools.tools = "42"; // any valid JSON is passed on
    EXPECT_EQ(sessionFor(tools)["tools"], 42);
}

TEST(ClientEvents, SessionUpdateTranscriptionShapeVariations) {
    UpdateSessionClientEvent event;
    event.sessionType = "transcription";
    event.transcriptionLanguage = "";
    event.transcriptionDelay = "";
    event.transcriptionModel = "whisper-x";
    EXPECT_EQ(sessionFor(event).dump(),
              R"({"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},"transcription":)"
              R"({"delay":"","model":"whisper-x"}}},"type":"transcription"})");
}

TEST(ClientEvents, InvalidToolsAreReportedAndTheUpdateStillGoesOut) {
    LogCapture log;
    for (const std::string bad : {"", "[{", "not json"}) {
        ScriptedClient c;
        c.openSession();
        UpdateSessionClientEvent update;
        update.tools = bad;
        update.toolChoice = "required";
        c.client->updateSession(update);
        EXPECT_EQ(c.delegate.take(), (std::vector<std::string>{"onError(invalid_tools||tools is not valid JSON.)"}));
        auto texts = c.transport->sentTexts();
        ASSERT_EQ(texts.size(), 1u) << bad;
        auto sent = nlohmann::json::parse(texts[0]);
        EXPECT_FALSE(sent["session"].contains("tools"));
        EXPECT_EQ(sent["session"]["tool_choice"], "required");
        EXPECT_EQ(sent["event_id"], "event-1");
    }
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Invalid tools JSON, skipping."));
}

TEST(ClientEvents, InvalidUtf8FromTheCallerNeverThrows) {
    ScriptedClient c;
    c.openSession();
    const std::string broken = "caf\xc3"; // truncated two-byte sequence
    EXPECT_NO_THROW(EXPECT_TRUE(c.client->sendUserMessage(broken)));
    UpdateSessionClientEvent update;
    update.instructions = broken;
    EXPECT_NO_THROW(c.client->updateSession(update));
    auto texts = c.transport->sentTexts();
    ASSERT_EQ(texts.size(), 2u);
    // Replaced by U+FFFD, so the service still gets valid JSON.
    EXPECT_EQ(nlohmann::json::parse(texts[0])["item"]["content"][0]["text"], "caf\xef\xbf\xbd");
    EXPECT_EQ(nlohmann::json::parse(texts[1])["session"]["instructions"], "caf\xef\xbf\xbd");
}

} // namespace
} // namespace orvanta::extensions::openai::test
