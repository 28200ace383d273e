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

#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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

std::unique_ptr<Node> makeTranscribeNode(const OVAnyMap& config) {
    OpenAINodeFactory factory;
    return factory.createNode("OpenAI.RealtimeTranscribe", config);
}

// Live threads and open descriptors of this process, leaving out the
// sockets the in-process simulator accepted (a silent one never closes
// them), and (outside the sanitizers, whose allocators glibc does not see)
// bytes in use on its heap.
struct ResourceCounts {
    size_t threads = 0;
    size_t fds = 0;
    size_t heap = 0;

    static ResourceCounts now(uint16_t simulatorPort) {
        std::set<std::string> accepted;
        std::ifstream tcp("/proc/self/net/tcp");
        std::string line, slot, local, remote, skip, inode;
        std::getline(tcp, line); // the header
        while (std::getline(tcp, line)) {
            std::istringstream fields(line);
            fields >> slot >> local >> remote >> skip >> skip >> skip >> skip >> skip >> skip >> inode;
            if (std::stoul(local.substr(local.find(':') + 1), nullptr, 16) == simulatorPort)
                accepted.insert("socket:[" + inode + "]");
        }
        ResourceCounts counts;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
            counts.threads += entry.is_directory();
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            counts.fds += accepted.count(std::filesystem::read_symlink(entry.path(), ec).string()) == 0;
        counts.heap = ::mallinfo2().uordblks;
        return counts;
    }
};

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
    void setFaults(void (*set)(simulator::SimulatorFaults&)) {
        simulator::SimulatorFaults faults;
        set(faults);
        simulator->setFaults(faults);
    }

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

// However slow the link, an attempt that is still on its way is left alone:
// one attempt, one session, no client replaced.
TEST_F(OpenAINodeSession, OverASlowLinkTheFirstAttemptConnects) {
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    struct Case {
        const char* type;
        const char* logTag;
        OVAnyMap config;
        // A ws:// set-up costs two link delays; a token fetch two more, and its own delay: 6 s either way.
        std::chrono::milliseconds linkDelay, tokenDelay;
    };
    const Case cases[] = {{"OpenAI.Realtime", "OpenAINode", OVAnyMap{{"apiKey", "sk-test"}},
                           std::chrono::milliseconds(3000), std::chrono::milliseconds(0)},
                          {"OpenAI.RealtimeTranscribe", "OpenAITranscribeNode", OVAnyMap(),
                           std::chrono::milliseconds(1000), std::chrono::milliseconds(2000)}};
    OpenAINodeFactory factory;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        simulator::SimulatorOptions options;
        options.appCredentials = {{"app-id", "app-secret"}};
        options.linkDelay = c.linkDelay;
        options.tokenDelay = c.tokenDelay;
        simulator::Simulator slow(options);
        slow.start();
        setRealtimeEndpointOverride(slow.realtimeUrl());
        setTokenServiceEndpointOverride(slow.tokenBaseUrl());
        LogCapture log; // its first "sessionStarting" may precede a listener
        const auto begun = std::chrono::steady_clock::now();
        auto node = factory.createNode(c.type, c.config);
        EventRecorder events(*node);
        ASSERT_TRUE(events.waitFor("sessionCreated", 1, std::chrono::seconds(30)));
        EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(5900)) << "the link was slow";
        EXPECT_EQ(log.count(std::string("[") + c.logTag + "] Starting session."), 1);
        EXPECT_EQ(events.count("sessionCreated"), 1);
        EXPECT_EQ(slow.handshakes().size(), 1u) << "no client was replaced";
    }
}

// A service that stops talking at any step of the set-up costs one attempt
// per deadline: one error line, a retry after the reconnect delay, and
// nothing left behind, attempt after attempt.
TEST_F(OpenAINodeSession, AServerThatFallsSilentCostsOneAttemptPerDeadline) {
    SessionSettings settings;
    settings.attemptDeadline = std::chrono::milliseconds(250);
    settings.reconnectDelay = std::chrono::milliseconds(50);
    setSessionSettings(settings);
    const std::pair<const char*, void (*)(simulator::SimulatorFaults&)> faults[] = {
        {"after accept", [](simulator::SimulatorFaults& f) { f.silentAfterAccept = true; }},
        {"in the upgrade", [](simulator::SimulatorFaults& f) { f.stallHandshake = true; }},
        {"after the upgrade", [](simulator::SimulatorFaults& f) { f.silentAfterUpgrade = true; }},
    };
    for (const auto& [name, set] : faults) {
        SCOPED_TRACE(name);
        setFaults(set);
        LogCapture log;
        // Sampled as each attempt begins, when the one before is gone.
        std::mutex mutex;
        std::vector<ResourceCounts> counts;
        std::vector<int> errors;
        auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
        const auto listener = node->addEventListener("sessionStarting", [&](const std::string&, const OVAnyMap&) {
            std::lock_guard<std::mutex> lock(mutex);
            counts.push_back(ResourceCounts::now(simulator->port()));
            errors.push_back(log.errors());
        });
        ASSERT_TRUE(eventually(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return counts.size() >= 21;
            },
            std::chrono::seconds(60)));
        node->removeEventListener(listener);
        node.reset();

        const ResourceCounts& first = counts[5];
        const ResourceCounts& last = counts[20];
        EXPECT_LE(last.threads, first.threads + 1) << "threads are left behind";
        EXPECT_LE(last.fds, first.fds + 2) << "descriptors are left behind";
        if (first.heap > 0) { // 0 or meaningless under the sanitizers
            EXPECT_LT(last.heap, first.heap + 64 * 1024) << "memory grows with every attempt";
        }
        EXPECT_EQ(errors[20] - errors[5], 15) << "one error line per attempt";
        EXPECT_EQ(log.count("[OpenAINode] Session attempt timed out, retrying in 3 seconds."), log.errors());
        EXPECT_EQ(simulator->openConnections(), 0u);
    }
}

// The service confirms a session but gives it no id, so it refuses every
// request on it: the node says so and starts over, every time.
TEST_F(OpenAINodeSession, ASessionWithoutAnIdIsRestartedEveryTime) {
    SessionSettings settings;
    settings.reconnectDelay = std::chrono::milliseconds(100);
    setSessionSettings(settings);
    setFaults([](simulator::SimulatorFaults& f) { f.sessionCreatedWithoutId = true; });
    LogCapture log;
    auto node = makeTranscribeNode(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionStarting", 4));
    EXPECT_GE(log.count("[OpenAITranscribeNode] Session has no id, restarting in 3 seconds."), 3);
    EXPECT_EQ(events.count("sessionCreated"), 0);
}

namespace {
class LateTokenFailure : public OpenAINodeSession {
    void configure(simulator::SimulatorOptions& options) override {
        OpenAINodeSession::configure(options);
        options.tokenScript = {{std::chrono::milliseconds(1000), 500, R"({"error":"late"})"}};
    }
};
} // namespace

// Two token requests overlap and the first one's answer, a failure, comes
// last. Only the latest request may act: no error, no restart.
TEST_F(LateTokenFailure, ALateFailureOfASupersededTokenRequestChangesNothing) {
    SessionSettings settings;
    settings.reconnectDelay = std::chrono::milliseconds(100);
    setSessionSettings(settings);
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    LogCapture log;
    auto node = makeVoiceNode(OVAnyMap());
    EventRecorder events(*node);
    ASSERT_TRUE(simulator->waitForTokenRequests(1, std::chrono::seconds(10)));
    ASSERT_TRUE(node->callAction("resetSession", OVAnyMap()).hasValue());
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(eventually([&] { // the late answer has come
        return log.count("[SessionController] Ignored the answer to a superseded token request.") == 1 ||
               events.count("error") > 0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // past the reconnect delay
    EXPECT_EQ(events.count("error"), 0);
    EXPECT_EQ(log.count("[OpenAINode] Starting session."), 2);
    EXPECT_EQ(events.count("sessionCreated"), 1);
    EXPECT_EQ(simulator->handshakes().size(), 1u);
}

TEST_F(OpenAINodeSession, DestroyingAConnectedNodeClosesItsConnectionNormally) {
    auto node = makeVoiceNode(OVAnyMap{{"apiKey", "sk-test"}});
    ASSERT_TRUE(EventRecorder(*node).waitFor("sessionCreated"));
    node.reset();
    EXPECT_TRUE(simulator->waitForCloseCodes(
        [](const std::vector<simulator::ReceivedClose>& closes) {
            return closes.size() == 1 && closes[0].code == 1000;
        },
        std::chrono::seconds(10)));
}
