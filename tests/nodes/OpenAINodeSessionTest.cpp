// The voice node end to end: made by the factory, driven by the host
// stand-in, talking to the local simulator of the service.
#include "SimulatorFixture.h"

#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "OrvantaSDK/OfflineRenderer.h"
#include "extension/OpenAINodeFactory.h"
#include "nodes/OpenAINode.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "websocket/WebSocketClient.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using nodetest::eventually;
using nodetest::EventRecorder;
using nodetest::LogCapture;
using nlohmann::json;

namespace {

constexpr int hostRate = 48000;

std::unique_ptr<Node> makeVoiceNode(const OVAnyMap& config) {
    OpenAINodeFactory factory;
    return factory.createNode("OpenAI.Realtime", config);
}

// The host's audio graph around one node: started once (which, as for any
// node joining a running graph, starts a session), then played in runs of
// `speechSeconds` of a tone followed by silence, in real time on the
// renderer's audio thread. Each run keeps what the node output.
class Conversation {
public:
    explicit Conversation(AudioNode& node) : renderer(node, OfflineRenderer::Settings{hostRate, 480, 1}) {
        EXPECT_TRUE(renderer.start());
    }

    // Returns how many output samples sounded, skipping the first `skip`.
    long run(double speechSeconds, double totalSeconds, size_t skip = 0) {
        const long speech = static_cast<long>(speechSeconds * hostRate);
        const long total = static_cast<long>(totalSeconds * hostRate);
        long position = 0;
        std::vector<float> output;
        renderer.startRealtime(
            [&](float* block, int frames) {
                for (int i = 0; i < frames; ++i, ++position)
                    block[i] = position < speech
                                   ? 0.3f * static_cast<float>(std::sin(2 * M_PI * 440.0 * position / hostRate))
                                   : 0.0f;
                return position < total;
            },
            [&](const float* block, int frames) { output.insert(output.end(), block, block + frames); });
        renderer.waitRealtime();
        long n = 0;
        for (size_t i = skip; i < output.size(); ++i)
            n += std::fabs(output[i]) > 1e-4f;
        return n;
    }

private:
    OfflineRenderer renderer;
};

class OpenAINodeSession : public nodetest::SimulatorTest {
protected:
    void configure(simulator::SimulatorOptions& options) override {
        // The first message out of a connection is "session.created"; the
        // first one in, the node's answer to it.
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(timesMutex);
            if (line.rfind("send ", 0) == 0 && !createdSent)
                createdSent = std::chrono::steady_clock::now();
            else if (line.rfind("recv ", 0) == 0 && createdSent && !updateReceived)
                updateReceived = std::chrono::steady_clock::now();
        };
    }
    double createdToUpdateMs() {
        std::lock_guard<std::mutex> lock(timesMutex);
        if (!createdSent || !updateReceived)
            return -1;
        return std::chrono::duration<double, std::milli>(*updateReceived - *createdSent).count();
    }

private:
    std::mutex timesMutex;
    std::optional<std::chrono::steady_clock::time_point> createdSent, updateReceived;
};

// The real transport, except that sending audio throws, as a frame mask
// without entropy or a failed allocation would.
class AudioSendThrows : public websocket::WebSocketSession {
public:
    explicit AudioSendThrows(std::unique_ptr<websocket::WebSocketClient> transport) : real(std::move(transport)) {
        real->onOpenHandler = [this] { onOpenHandler(); };
        real->onCloseHandler = [this] { onCloseHandler(); };
        real->onMessageHandler = [this](std::vector<uint8_t>&& data, bool isText) {
            onMessageHandler(std::move(data), isText);
        };
        real->onErrorHandler = [this](const std::string message) { onErrorHandler(message); };
    }
    void send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) override {
        if (std::string(data.begin(), data.end()).find("input_audio_buffer.append") != std::string::npos)
            throw std::runtime_error("random device unavailable");
        real->send(data, isText, maxFragmentSize);
    }
    void close(const std::vector<uint8_t>& data) override { real->close(data); }

    static std::unique_ptr<OpenAIWebSocketClient> makeClient(const std::string& key, const std::string& model) {
        using Internals = OpenAIWebSocketClient::Internals;
        auto internals = std::make_unique<Internals>(model);
        auto transport = std::make_unique<websocket::WebSocketClient>(
            Internals::buildUrl(realtimeEndpoint(), model), Internals::buildSubprotocols(key), 4000, 2000, "");
        websocket::WebSocketClient* started = transport.get();
        internals->attachTransport(std::make_unique<AudioSendThrows>(std::move(transport)));
        started->start();
        return std::make_unique<OpenAIWebSocketClient>(std::move(internals));
    }

private:
    std::unique_ptr<websocket::WebSocketClient> real;
};

} // namespace

TEST_F(OpenAINodeSession, ConnectsSendsItsSessionAndTalks) {
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}, {"voice", "marin"}, {"noiseReduction", "near_field"}});
    auto* voice = static_cast<AudioNode*>(node.get());
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(waitForClientEvent("session.update"));

    // The session parameters go out as the conversation-shape update.
    json update = clientEvents("session.update").front();
    EXPECT_EQ(update["event_id"], "event-1");
    update["event_id"] = "event-2";
    EXPECT_EQ(update.dump(),
              R"({"event_id":"event-2","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
              R"("noise_reduction":{"type":"near_field"},"transcription":{"model":"gpt-4o-mini-transcribe"},)"
              R"("turn_detection":{"type":"server_vad"}},"output":{"format":{"rate":24000,"type":"audio/pcm"},)"
              R"("speed":1.0,"voice":"marin"}},"instructions":"","model":"gpt-realtime-2",)"
              R"("output_modalities":["audio"],"tool_choice":"auto","type":"realtime"},"type":"session.update"})");
    EXPECT_EQ(simulator->handshakes().front().target, "/v1/realtime?model=gpt-realtime-2");
    // A measurement, not a check: loaded machines vary too much for a bound.
    std::printf("[ MEASURED ] session.created -> session.update: %.2f ms\n", createdToUpdateMs());

    // Speak, then wait: the service hears the turn and answers.
    Conversation graph(*voice);
    const long sounding = graph.run(1.5, 4.0);
    ASSERT_TRUE(events.waitFor("responseDone"));
    ASSERT_TRUE(events.waitFor("responseTranscription"));

    for (const auto& append : clientEvents("input_audio_buffer.append"))
        EXPECT_EQ(append["audio"].get<std::string>().size(), 64000u) << "one second: 24,000 samples, Base64";
    EXPECT_GE(clientEvents("input_audio_buffer.append").size(), 2u);
    EXPECT_EQ(events.named("responseDone").front().get("status"), "completed");
    EXPECT_EQ(events.named("responseTranscription").front().get("transcript"), "Hello from the simulator.");
    EXPECT_GE(events.count("responseTranscriptionDelta"), 1);
    EXPECT_EQ(events.named("inputTranscription").front().get("transcript"), "What is the weather?");
    EXPECT_GT(sounding, hostRate) << "the 2 s answer plays out of the node";
}

TEST_F(OpenAINodeSession, WithoutAKeyItFetchesATokenFirst) {
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    auto node = makeVoiceNode(OVAnyMap());
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    const auto handshakes = simulator->handshakes();
    ASSERT_FALSE(handshakes.empty());
    EXPECT_NE(handshakes.back().subprotocols.find("openai-insecure-api-key."), std::string::npos);
    EXPECT_EQ(handshakes.back().subprotocols.find("app-secret"), std::string::npos)
        << "the service sees the ephemeral secret, never the app credentials";
}

TEST_F(OpenAINodeSession, ATokenFailureIsReportedAndRetried) {
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    simulator->stop(); // the token service is unreachable
    auto node = makeVoiceNode(OVAnyMap());
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("error"));
    const auto error = events.named("error").front();
    EXPECT_EQ(error.get("type"), "token_error");
    EXPECT_EQ(error.get("code"), "");
    EXPECT_FALSE(error.get("message").empty());

    // The node keeps asking every 3 seconds; once the service is back it gets in.
    simulator->start();
    setRealtimeEndpointOverride(simulator->realtimeUrl());
    setTokenServiceEndpointOverride(simulator->tokenBaseUrl());
    EXPECT_TRUE(events.waitFor("sessionCreated", 1, std::chrono::seconds(10)));
    EXPECT_GE(events.count("sessionStarting"), 1) << "the retry starts a session attempt of its own";
}

TEST_F(OpenAINodeSession, ALostConnectionIsReportedOnceAndReopened) {
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    const auto lost = std::chrono::steady_clock::now();
    ASSERT_EQ(simulator->closeAll(/*abrupt=*/true), 1u);

    ASSERT_TRUE(events.waitFor("sessionCreated", 2));
    const auto back = std::chrono::steady_clock::now() - lost;
    EXPECT_EQ(events.count("sessionDisconnected"), 1);
    EXPECT_GE(back, std::chrono::milliseconds(2900)) << "the reconnect waits its 3 seconds";
    EXPECT_EQ(simulator->openConnections(), 1u);
}

TEST_F(OpenAINodeSession, VoiceRestartsOtherPropertiesCoalesceIntoOneUpdate) {
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(waitForClientEvent("session.update", 1));

    ASSERT_TRUE(node->setValue("instructions", OVAny("Be brief.")).hasValue());
    ASSERT_TRUE(node->setValue("speed", OVAny(1.2f)).hasValue());
    ASSERT_TRUE(node->setValue("turnDetection", OVAny("none")).hasValue());
    ASSERT_TRUE(waitForClientEvent("session.update", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(800)); // room for a stray second update
    const auto updates = clientEvents("session.update");
    ASSERT_EQ(updates.size(), 2u) << "three changes within 500 ms, one update";
    const json& session = updates[1]["session"];
    EXPECT_EQ(session["instructions"], "Be brief.");
    EXPECT_EQ(session["audio"]["output"]["speed"].dump(), "1.2000000476837158");
    EXPECT_TRUE(session["audio"]["input"]["turn_detection"].is_null());

    const size_t connectionsBefore = simulator->handshakes().size();
    ASSERT_TRUE(node->setValue("voice", OVAny("sage")).hasValue());
    ASSERT_TRUE(events.waitFor("sessionCreated", 2));
    EXPECT_EQ(simulator->handshakes().size(), connectionsBefore + 1) << "a voice change opens a new session";
    ASSERT_TRUE(waitForClientEvent("session.update", 3));
    EXPECT_EQ(clientEvents("session.update").back()["session"]["audio"]["output"]["voice"], "sage");
    EXPECT_TRUE(eventually([&] { return simulator->openConnections() == 1; }))
        << "the old session's connection ends";
}

TEST_F(OpenAINodeSession, BargeInPausesAndTruncatesByPlayedSamples) {
    LogCapture log;
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
    auto* voice = static_cast<AudioNode*>(node.get());
    EventRecorder events(*node);
    Conversation graph(*voice); // the graph start opens the session used below
    ASSERT_TRUE(events.waitFor("sessionCreated"));

    // A spoken turn; the 2 s answer starts playing about 2.1 s in and is cut
    // off by the end of the run, part-way through.
    ASSERT_GT(graph.run(1.5, 3.0), 0);
    ASSERT_TRUE(events.waitFor("responseDone"));

    // The service hears the user start speaking over the answer.
    const size_t truncatesBefore = clientEvents("conversation.item.truncate").size();
    ASSERT_EQ(simulator->sendToAll(R"({"type":"input_audio_buffer.speech_started","audio_start_ms":0,"item_id":"x"})"),
              1u);
    ASSERT_TRUE(waitForClientEvent("conversation.item.truncate", truncatesBefore + 1));
    const json truncate = clientEvents("conversation.item.truncate").back();
    const std::string line = log.lastWithPrefix("[OpenAINode] truncatePlayback: itemId=");
    const auto played = std::stoull(line.substr(line.find("playedSamples=") + 14));
    EXPECT_GT(played, 0u);
    EXPECT_EQ(truncate["audio_end_ms"].get<uint64_t>(), played * 1000 / 24000);
    EXPECT_EQ(truncate["content_index"], 0);
    EXPECT_FALSE(truncate["item_id"].get<std::string>().empty());

    // Playback is paused: past what the resampler still held, the rest of
    // the answer stays silent.
    EXPECT_EQ(graph.run(0.0, 0.4, hostRate / 10), 0);

    // A second truncation has no item left to cut.
    const int emptyBefore = log.count("[OpenAINode] truncatePlayback: itemId empty, not sending truncate event.");
    ASSERT_TRUE(node->callAction("truncateResponse", OVAnyMap()).hasValue())
        << "the session must still be there";
    EXPECT_EQ(log.count("[OpenAINode] truncatePlayback: itemId empty, not sending truncate event."), emptyBefore + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(clientEvents("conversation.item.truncate").size(), truncatesBefore + 1);
    for (const auto& e : events.named("error"))
        ADD_FAILURE() << "the service refused: " << e.get("type") << " " << e.get("code") << " " << e.get("message");

    // The next response drops what was left and plays again.
    ASSERT_TRUE(node->callAction("createResponse", OVAnyMap()).hasValue());
    ASSERT_TRUE(events.waitFor("responseDone", 2));
    EXPECT_GT(graph.run(0.0, 0.6), 0);
}

TEST_F(OpenAINodeSession, ToolCallsRoundTrip) {
    OVAnyVector tools{OVAnyMap{{"type", "function"},
                               {"name", "get_weather"},
                               {"description", "Weather for a city."},
                               {"parameters", OVAnyMap{{"type", "object"},
                                                       {"properties", OVAnyMap{{"city", OVAnyMap{{"type", "string"}}}}}}}}};
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}, {"tools", tools}, {"turnDetection", "none"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(waitForClientEvent("session.update"));
    EXPECT_EQ(clientEvents("session.update").front()["session"]["tools"][0]["name"], "get_weather");

    ASSERT_TRUE(node->callAction("createResponse", OVAnyMap{{"text", "Weather in Oslo?"}}).hasValue());
    ASSERT_TRUE(events.waitFor("toolCall"));
    const auto call = events.named("toolCall").front();
    EXPECT_EQ(call.get("name"), "get_weather");
    EXPECT_FALSE(call.get("callId").empty());
    EXPECT_TRUE(json::parse(call.get("argumentsJson")).is_object());

    ASSERT_TRUE(node->callAction("submitToolResult",
                                 OVAnyMap{{"callId", call.get("callId")}, {"outputJson", R"({"temp":3})"}})
                    .hasValue());
    ASSERT_TRUE(node->callAction("createResponse", OVAnyMap()).hasValue());
    ASSERT_TRUE(events.waitFor("responseTranscription"));
    const auto outputs = clientEvents("conversation.item.create");
    ASSERT_FALSE(outputs.empty());
    EXPECT_EQ(outputs.back()["item"]["output"], R"({"temp":3})");
    EXPECT_EQ(events.count("error"), 0);
}

TEST_F(OpenAINodeSession, ServiceErrorsBecomeErrorEvents) {
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    simulator->sendToAll(R"({"type":"error","error":{"type":"invalid_request_error","code":null,"message":"bad"}})");
    ASSERT_TRUE(events.waitFor("error"));
    const auto error = events.named("error").front();
    EXPECT_EQ(error.get("type"), "invalid_request_error");
    EXPECT_EQ(error.get("code"), "unknown");
    EXPECT_EQ(error.get("message"), "bad");
    EXPECT_EQ(events.count("sessionDisconnected"), 0) << "an error event does not end the session";
}

TEST_F(OpenAINodeSession, AThrowingSendOnTheSenderThreadRestartsTheSession) {
    LogCapture log;
    SessionSettings settings;
    settings.reconnectDelay = std::chrono::milliseconds(100);
    settings.makeClient = AudioSendThrows::makeClient;
    setSessionSettings(settings);
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
    auto* voice = static_cast<OpenAINode*>(node.get());
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));

    // 1.5 s of input: the sender's first full second goes to the throwing send.
    std::vector<AudioBusFormat> ins{AudioBusFormat(hostRate, 1)}, outs{AudioBusFormat(hostRate, 1)};
    ASSERT_TRUE(voice->setBusFormats(ins, outs));
    AudioBuffer<float> in(1, 480, hostRate), out(1, 480, hostRate);
    for (int block = 0; block < 150; ++block) {
        std::fill_n(in.getWritePointer(0), 480, 0.2f);
        AudioBus inBus(&in), outBus(&out);
        voice->process(inBus, outBus);
    }
    ASSERT_TRUE(events.waitFor("sessionCreated", 2)) << "the session was restarted";
    EXPECT_EQ(log.countPrefix("[OpenAINode] Sending audio failed, scheduling reconnect: random device unavailable"),
              1);
}

// A listener that removes the node on some event must be able to: for every
// event of both nodes, from inside the listener, with no crash, no hang and
// nothing reaching the node afterwards (the sanitizer builds watch for that).
TEST_F(OpenAINodeSession, ANodeMayBeDestroyedFromInsideAnyOfItsListeners) {
    SessionSettings settings;
    settings.reconnectDelay = std::chrono::milliseconds(50);
    setSessionSettings(settings);
    const std::string drop; // provoked by dropping the connection
    const std::string error = R"({"type":"error","error":{"type":"server_error","code":"c","message":"m"}})";
    const std::string inputDelta = R"({"type":"conversation.item.input_audio_transcription.delta","delta":"d"})";
    const std::string inputDone =
        R"({"type":"conversation.item.input_audio_transcription.completed","transcript":"t"})";
    const std::string toolCall = R"({"type":"response.output_item.done",)"
                                 R"("item":{"type":"function_call","call_id":"c","name":"f","arguments":"{}"}})";
    struct Case {
        const char* type;
        const char* event;
        std::string serverEvent;
    };
    const Case cases[] = {
        {"OpenAI.Realtime", "sessionStarting", drop},
        {"OpenAI.Realtime", "sessionCreated", drop},
        {"OpenAI.Realtime", "sessionDisconnected", drop},
        {"OpenAI.Realtime", "error", error},
        {"OpenAI.Realtime", "responseCreated", R"({"type":"response.created","response":{}})"},
        {"OpenAI.Realtime", "responseDone", R"({"type":"response.done","response":{"status":"completed"}})"},
        {"OpenAI.Realtime", "inputTranscriptionDelta", inputDelta},
        {"OpenAI.Realtime", "inputTranscription", inputDone},
        {"OpenAI.Realtime", "responseTranscriptionDelta",
         R"({"type":"response.output_audio_transcript.delta","delta":"d"})"},
        {"OpenAI.Realtime", "responseTranscription",
         R"({"type":"response.output_audio_transcript.done","transcript":"t"})"},
        {"OpenAI.Realtime", "toolCall", toolCall},
        {"OpenAI.RealtimeTranscribe", "sessionStarting", drop},
        {"OpenAI.RealtimeTranscribe", "sessionCreated", drop},
        {"OpenAI.RealtimeTranscribe", "sessionDisconnected", drop},
        {"OpenAI.RealtimeTranscribe", "error", error},
        {"OpenAI.RealtimeTranscribe", "transcriptionDelta", inputDelta},
        {"OpenAI.RealtimeTranscribe", "transcription", inputDone},
    };
    OpenAINodeFactory factory;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.event);
        std::mutex mutex;
        std::condition_variable changed;
        bool destroyed = false;
        int callsAfter = 0;
        std::unique_ptr<Node> node = factory.createNode(c.type, OVAnyMap{{"apiKey", "sk-test"}});
        node->addEventListener(EventEmitter::AllEvents, [&](const std::string& name, const OVAnyMap&) {
            std::unique_ptr<Node> doomed;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (destroyed)
                    ++callsAfter;
                if (destroyed || name != c.event)
                    return;
                doomed = std::move(node);
            }
            doomed.reset();
            std::lock_guard<std::mutex> lock(mutex);
            destroyed = true;
            changed.notify_all();
        });
        // Provoke the event until it comes (the first may precede the listener).
        std::unique_lock<std::mutex> lock(mutex);
        for (int i = 0; i < 100 && !destroyed; ++i) {
            lock.unlock();
            if (c.serverEvent.empty())
                simulator->closeAll(false);
            else
                simulator->sendToAll(c.serverEvent);
            lock.lock();
            changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return destroyed; });
        }
        ASSERT_TRUE(destroyed);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(150)); // past a stray reconnect
        lock.lock();
        EXPECT_EQ(callsAfter, 0);
    }
}
