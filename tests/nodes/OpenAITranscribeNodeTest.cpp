// The transcription node: its description, and a transcription session
// against the simulator driven by the host stand-in.
#include "SimulatorFixture.h"

#include "OrvantaSDK/OfflineRenderer.h"
#include "extension/OpenAINodeFactory.h"
#include "nodes/OpenAITranscribeNode.h"

#include <cmath>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using nodetest::EventRecorder;
using nodetest::LogCapture;
using nlohmann::json;

namespace {

std::unique_ptr<Node> makeTranscribeNode(const OVAnyMap& config) {
    OpenAINodeFactory factory;
    return factory.createNode("OpenAI.RealtimeTranscribe", config);
}

// `seconds` of a 48 kHz tone, streamed in real time through the node.
void stream(AudioNode& node, double seconds) {
    OfflineRenderer renderer(node, OfflineRenderer::Settings{48000, 480, 1});
    ASSERT_TRUE(renderer.start());
    long position = 0;
    const long total = static_cast<long>(seconds * 48000);
    renderer.startRealtime(
        [&](float* block, int frames) {
            for (int i = 0; i < frames; ++i, ++position)
                block[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 300.0 * position / 48000));
            return position < total;
        },
        nullptr);
    renderer.waitRealtime();
}

class OpenAITranscribeNodeTest : public nodetest::SimulatorTest {};

} // namespace

TEST_F(OpenAITranscribeNodeTest, TypeDescription) {
    NodeTypeInfo info = OpenAITranscribeNode::getNodeTypeInfo();
    EXPECT_EQ(info.getFQTypeName(), "OpenAI.RealtimeTranscribe");
    EXPECT_EQ(info.getDisplayName(), "OpenAI Transcribe Node");
    EXPECT_EQ(info.getDescription(),
              "Streams audio to OpenAI's gpt-realtime-whisper model and receives real-time text transcriptions.");
    EXPECT_EQ(info.getProperties().keys(), (std::vector<std::string>{"transcriptionLanguage", "transcriptionDelay"}));
    EXPECT_EQ(info.getProperty("transcriptionDelay").at("options").convert<OVAnyVector>().size(), 5u);
    EXPECT_EQ(info.getActions().keys(),
              (std::vector<std::string>{"commitAudioBuffer", "clearInputBuffer", "updateSession", "resetSession"}));
    EXPECT_EQ(info.getEvents().keys(), (std::vector<std::string>{"transcriptionDelta", "transcription",
                                                                 "sessionStarting", "sessionDisconnected", "error"}));
    EXPECT_EQ(info.getAction("commitAudioBuffer").at("description").convert<std::string>(),
              "Commit the input audio buffer and request transcription. Required since gpt-realtime-whisper does "
              "not support VAD.");
}

TEST_F(OpenAITranscribeNodeTest, RefusesStereoAndUnknownOrMistypedConfiguration) {
    LogCapture log;
    OpenAITranscribeNode node(OVAnyMap{{"apiKey", "sk-test"}, {"language", "en"}});
    EXPECT_EQ(log.count("[OpenAITranscribeNode] Unknown parameter: language"), 1);
    AudioBusFormat stereo(48000, 2), mono(16000, 1);
    EXPECT_FALSE(node.setBusFormat(stereo));
    EXPECT_EQ(log.count("[OpenAITranscribeNode] Only mono audio is supported."), 1);
    EXPECT_TRUE(node.setBusFormat(mono));
    EXPECT_THROW(node.setValue("transcriptionDelay", OVAny(2.0f)), std::bad_any_cast);
    EXPECT_EQ(node.getValue("transcriptionDelay").getValue().convert<std::string>(), "low");
    EXPECT_THROW(OpenAITranscribeNode(OVAnyMap{{"transcriptionLanguage", true}}), std::bad_any_cast);
}

TEST_F(OpenAITranscribeNodeTest, TranscribesWhatItHearsOnCommit) {
    auto node = makeTranscribeNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    EXPECT_EQ(node->callAction("commitAudioBuffer", OVAnyMap()).getError().getMessage(),
              "Failed to commit audio buffer.")
        << "no session yet";
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    EXPECT_EQ(simulator->handshakes().front().target, "/v1/realtime?intent=transcription");
    ASSERT_TRUE(waitForClientEvent("session.update"));
    json update = clientEvents("session.update").front();
    update["event_id"] = "x";
    EXPECT_EQ(update.dump(), R"({"event_id":"x","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
                             R"("transcription":{"delay":"low","model":"gpt-realtime-whisper"}}},"type":"transcription"},)"
                             R"("type":"session.update"})")
        << "an empty language is left out";

    stream(*static_cast<AudioNode*>(node.get()), 2.3);
    ASSERT_TRUE(waitForClientEvent("input_audio_buffer.append", 2));
    ASSERT_TRUE(node->callAction("commitAudioBuffer", OVAnyMap()).hasValue());
    ASSERT_TRUE(events.waitFor("transcription"));
    EXPECT_GE(events.count("transcriptionDelta"), 1);
    EXPECT_EQ(events.named("transcription").front().get("transcript"), "What is the weather?");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(clientEvents("input_audio_buffer.commit").size(), 1u);
    EXPECT_EQ(clientEvents("response.create").size(), 0u) << "a transcription commit asks for no response";
}

TEST_F(OpenAITranscribeNodeTest, LanguageAndDelayChangesGoOutTogether) {
    auto node = makeTranscribeNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(waitForClientEvent("session.update", 1));
    ASSERT_TRUE(node->setValue("transcriptionLanguage", OVAny("en")).hasValue());
    ASSERT_TRUE(node->setValue("transcriptionDelay", OVAny("medium")).hasValue());
    ASSERT_TRUE(waitForClientEvent("session.update", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    auto updates = clientEvents("session.update");
    ASSERT_EQ(updates.size(), 2u);
    updates[1]["event_id"] = "event-1";
    EXPECT_EQ(updates[1].dump(),
              R"({"event_id":"event-1","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
              R"("transcription":{"delay":"medium","language":"en","model":"gpt-realtime-whisper"}}},)"
              R"("type":"transcription"},"type":"session.update"})");

    ASSERT_TRUE(node->setValue("transcriptionDelay", OVAny("glacial")).hasValue());
    ASSERT_TRUE(waitForClientEvent("session.update", 3));
    EXPECT_EQ(clientEvents("session.update").back()["session"]["audio"]["input"]["transcription"]["delay"], "glacial")
        << "a delay outside the options is sent as given";
}

TEST_F(OpenAITranscribeNodeTest, WithoutAKeyTheTokenRequestCarriesTheTranscriptionSession) {
    LogCapture log;
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    auto node = makeTranscribeNode(OVAnyMap());
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    const std::string body = log.lastWithPrefix("[OpenAITokenProvider] Request body: ");
    EXPECT_NE(body.find(R"("sessionConfig":{"audio":{"input":{"transcription":{"model":"gpt-realtime-whisper"}}},)"
                        R"("type":"transcription"})"),
              std::string::npos)
        << body;
}

TEST_F(OpenAITranscribeNodeTest, ATokenFailureIsReportedAndRetried) {
    LogCapture log;
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    simulator->stop();
    auto node = makeTranscribeNode(OVAnyMap());
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("error"));
    EXPECT_EQ(events.named("error").front().get("type"), "token_error");
    EXPECT_EQ(log.countPrefix("[OpenAITranscribeNode] Error - type: token_error, code: , message: "), 1);
    simulator->start();
    setRealtimeEndpointOverride(simulator->realtimeUrl());
    setTokenServiceEndpointOverride(simulator->tokenBaseUrl());
    ASSERT_TRUE(events.waitFor("sessionCreated", 1, std::chrono::seconds(10)));
    EXPECT_GE(log.count("[OpenAITranscribeNode] Retrying ephemeral token fetch."), 1);
}

TEST_F(OpenAITranscribeNodeTest, ALostConnectionIsReportedOnceAndReopened) {
    auto node = makeTranscribeNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    simulator->closeAll(/*abrupt=*/false);
    ASSERT_TRUE(events.waitFor("sessionCreated", 2));
    EXPECT_EQ(events.count("sessionDisconnected"), 1);
}
