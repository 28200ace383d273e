// Both nodes end to end: made by the factory, driven by the host stand-in,
// talking to the local simulator of the service.
#include "NodeTestSupport.h"

#include "OrvantaSDK/OfflineRenderer.h"
#include "nodes/OpenAINode.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "websocket/WebSocketClient.h"

#include <malloc.h>

#include <cmath>
#include <set>
#include <sstream>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using namespace nodetest;

namespace {

constexpr int hostRate = 48000;

struct NodeKind {
    const char* type;
    std::string tag; // of its log lines
};
const NodeKind kVoice{"OpenAI.Realtime", "[OpenAINode]"}, kTranscribe{"OpenAI.RealtimeTranscribe", "[OpenAITranscribeNode]"};
const json kData = json::parse(readDataFile("session.json"));

// The host's graph around one node, started once (which starts a session),
// then played in real-time runs of `speechSeconds` of a tone and silence.
// Returns how many output samples sounded, skipping the first `skip`.
class Conversation {
public:
    explicit Conversation(AudioNode& node) : renderer(node, OfflineRenderer::Settings{hostRate, 480, 1}) {
        EXPECT_TRUE(renderer.start());
    }
    long run(double speechSeconds, double totalSeconds, size_t skip = 0) {
        const long speech = static_cast<long>(speechSeconds * hostRate), total = static_cast<long>(totalSeconds * hostRate);
        long position = 0;
        std::vector<float> output;
        renderer.startRealtime(
            [&](float* block, int frames) {
                for (int i = 0; i < frames; ++i, ++position)
                    block[i] = position < speech ? 0.3f * std::sin(2 * float(M_PI) * 440.0f * position / hostRate) : 0.0f;
                return position < total;
            },
            [&](const float* block, int frames) { output.insert(output.end(), block, block + frames); });
        renderer.waitRealtime();
        return std::count_if(output.begin() + std::min(skip, output.size()), output.end(),
                             [](float x) { return std::fabs(x) > 1e-4f; });
    }

private:
    OfflineRenderer renderer;
};

// Live threads, open descriptors but the sockets the in-process simulator
// accepted (a silent one never closes them), and bytes in use on the heap
// (0 under the sanitizers, whose allocators glibc does not see).
struct ResourceCounts {
    size_t threads = 0, fds = 0, heap = 0;
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
        ResourceCounts counts{threadCount(), 0, ::mallinfo2().uordblks};
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            counts.fds += accepted.count(std::filesystem::read_symlink(entry.path(), ec).string()) == 0;
        return counts;
    }
};

// The real transport, except that sending audio throws, as a frame mask
// without entropy or a failed allocation would.
struct AudioSendThrows : websocket::WebSocketClient {
    using WebSocketClient::WebSocketClient;
    void send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) override {
        if (std::string(data.begin(), data.end()).find("input_audio_buffer.append") != std::string::npos)
            throw std::runtime_error("random device unavailable");
        WebSocketClient::send(data, isText, maxFragmentSize);
    }
    static std::unique_ptr<OpenAIWebSocketClient> makeClient(const std::string& key, const std::string& model) {
        using Internals = OpenAIWebSocketClient::Internals;
        auto internals = std::make_unique<Internals>(model);
        auto transport = std::make_unique<AudioSendThrows>(Internals::buildUrl(realtimeEndpoint(), model),
                                                           Internals::buildSubprotocols(key), 4000, 2000, "");
        AudioSendThrows* started = transport.get();
        internals->attachTransport(std::move(transport));
        started->start();
        return std::make_unique<OpenAIWebSocketClient>(std::move(internals));
    }
};

class OpenAINodeSession : public SimulatorTest {};

// Nodes without a key; the first token request of each of two nodes fails,
// late; status 0 answers as usual.
class TokenFailures : public OpenAINodeSession {
    void configure(simulator::SimulatorOptions& options) override {
        const simulator::ScriptedTokenReply fail{1000ms, 500, R"({"error":"busy"})"};
        options.tokenScript = {fail, {}, fail};
        useAppCredentials();
        setReconnectDelay(100ms);
    }
};

} // namespace

// Without a key each node asks the token service for a secret; a failed
// request is reported and asked again after the reconnect delay, by one new
// attempt, and the service then sees the secret, never the app credentials.
TEST_F(TokenFailures, WithoutAKeyAFailedTokenRequestIsReportedAndRetried) {
    for (const NodeKind& kind : {kVoice, kTranscribe}) {
        SCOPED_TRACE(kind.type);
        LogCapture log;
        const size_t tokenRequests = simulator->tokenRequestCount(), handshakes = simulator->handshakes().size();
        auto node = makeNode(kind.type, OVAnyMap());
        EventRecorder events(*node); // the failed answer comes a second later
        ASSERT_TRUE(events.waitFor("sessionCreated"));
        ASSERT_EQ(events.count("error"), 1);
        const auto error = events.named("error").front();
        EXPECT_EQ(error.get("type") + "/" + error.get("code"), "token_error/");
        EXPECT_FALSE(error.get("message").empty());
        EXPECT_EQ(simulator->tokenRequestCount(), tokenRequests + 2);
        EXPECT_EQ(log.count(kind.tag + " Starting session."), 2) << "one attempt, one retry";
        ASSERT_EQ(simulator->handshakes().size(), handshakes + 1);
        const std::string subprotocols = simulator->handshakes().back().subprotocols;
        EXPECT_NE(subprotocols.find("openai-insecure-api-key."), std::string::npos);
        EXPECT_EQ(subprotocols.find("app-secret"), std::string::npos);
        EXPECT_NE(log.lastWithPrefix("[OpenAITokenProvider] Request body: ").find(kData["tokenSessionConfig"][kind.type]),
                  std::string::npos);
    }
}

// A lost connection is reported once and reopened after the delay; a send
// that throws on the sender thread restarts the session too.
TEST_F(OpenAINodeSession, ALostConnectionOrAThrowingSendRestartsTheSession) {
    EXPECT_EQ(getSessionSettings().reconnectDelay, 3000ms) << "the default the nodes' log lines name";
    SessionSettings settings;
    settings.reconnectDelay = 100ms;
    settings.makeClient = AudioSendThrows::makeClient;
    setSessionSettings(settings);
    for (const auto& [kind, abrupt] : {std::pair{kVoice, true}, std::pair{kTranscribe, false}}) {
        SCOPED_TRACE(kind.type);
        LogCapture log;
        const size_t handshakes = simulator->handshakes().size();
        const std::string created = kind.tag + " Session created with OpenAI.";
        auto node = makeNode(kind.type, OVAnyMap{{"apiKey", "sk-test"}});
        EventRecorder events(*node);
        ASSERT_TRUE(eventually([&] { return log.count(created) == 1; }));
        ASSERT_EQ(simulator->closeAll(abrupt), 1u);
        ASSERT_TRUE(eventually([&] { return log.count(created) == 2; }));
        EXPECT_EQ(events.count("sessionDisconnected"), 1);
        EXPECT_EQ(simulator->openConnections(), 1u);
        // 1.5 s of input: the sender's first full second goes to the throwing send.
        HostAudio host(*static_cast<AudioNode*>(node.get()), hostRate, 480);
        for (int block = 0; block < 150; ++block)
            host.process(0.2f);
        ASSERT_TRUE(eventually([&] { return log.count(created) == 3; })) << "the session was restarted";
        EXPECT_EQ(simulator->handshakes().size(), handshakes + 3);
        EXPECT_EQ(log.count(kind.tag + " Sending audio failed, scheduling reconnect: random device unavailable"), 1);
    }
}

// A connection lost during set-up, before "session.created", is reopened after
// the reconnect delay rather than left to the attempt's far deadline.
TEST_F(OpenAINodeSession, AConnectionLostBeforeTheSessionIsReopenedAfterTheDelay) {
    SessionSettings settings;
    settings.reconnectDelay = 100ms;
    settings.attemptDeadline = 120s;
    setSessionSettings(settings);
    simulator::SimulatorFaults faults;
    faults.sessionCreatedDelay = 120s;
    simulator->setFaults(faults);
    LogCapture log;
    auto node = makeNode(kVoice.type, OVAnyMap{{"apiKey", "sk-test"}});
    ASSERT_TRUE(eventually([&] { return simulator->openConnections() == 1; }));
    ASSERT_EQ(simulator->closeAll(false), 1u);
    EXPECT_TRUE(eventually([&] { return log.count("[OpenAINode] Starting session.") == 2; }));
}

// Tool calls round trip and a service error becomes an error event; property
// changes within the coalescing delay go out as one update; a voice change
// opens a new session instead.
TEST_F(OpenAINodeSession, ToolCallsErrorsAndCoalescedUpdatesAndAVoiceChangeRestarts) {
    const OVAnyMap city{{"city", OVAnyMap{{"type", "string"}}}};
    const OVAnyVector tools{OVAnyMap{{"type", "function"}, {"name", "get_weather"}, {"description", "Weather for a city."},
                                     {"parameters", OVAnyMap{{"type", "object"}, {"properties", city}}}}};
    auto node = makeNode(kVoice.type, OVAnyMap{{"apiKey", "sk-test"}, {"tools", tools}});
    EventRecorder events(*node);
    ASSERT_TRUE(waitForClientEvent("session.update"));
    EXPECT_EQ(clientEvents("session.update").front()["session"]["tools"][0]["name"], "get_weather");

    ASSERT_TRUE(node->callAction("createResponse", OVAnyMap{{"text", "Weather in Oslo?"}}).hasValue());
    ASSERT_TRUE(events.waitFor("toolCall"));
    const auto call = events.named("toolCall").front();
    EXPECT_EQ(call.get("name"), "get_weather");
    EXPECT_FALSE(call.get("callId").empty());
    EXPECT_TRUE(json::parse(call.get("argumentsJson")).is_object());
    const size_t items = clientEvents("conversation.item.create").size();
    ASSERT_TRUE(node->callAction("submitToolResult", OVAnyMap{{"callId", call.get("callId")}, {"outputJson", R"({"temp":3})"}})
                    .hasValue());
    ASSERT_TRUE(waitForClientEvent("conversation.item.create", items + 1));
    EXPECT_EQ(clientEvents("conversation.item.create").back()["item"]["output"], R"({"temp":3})");
    EXPECT_EQ(clientEvents("conversation.item.create").back()["item"]["call_id"], call.get("callId"));

    simulator->sendToAll(R"({"type":"error","error":{"type":"invalid_request_error","code":null,"message":"bad"}})");
    ASSERT_TRUE(events.waitFor("error"));
    const auto error = events.named("error").front();
    EXPECT_EQ(error.get("type") + "/" + error.get("code") + "/" + error.get("message"), "invalid_request_error/unknown/bad");
    EXPECT_EQ(events.count("sessionDisconnected"), 0) << "an error event does not end the session";

    const size_t updatesBefore = clientEvents("session.update").size();
    for (const auto& [key, value] : {std::pair{"instructions", OVAny("Be brief.")}, std::pair{"speed", OVAny(1.2f)},
                                     std::pair{"turnDetection", OVAny("none")}})
        ASSERT_TRUE(node->setValue(key, value).hasValue());
    ASSERT_TRUE(waitForClientEvent("session.update", updatesBefore + 1));
    const json session = clientEvents("session.update").back()["session"];
    EXPECT_EQ(session["instructions"], "Be brief.");
    EXPECT_EQ(session["audio"]["output"]["speed"].dump(), "1.2000000476837158");
    EXPECT_TRUE(session["audio"]["input"]["turn_detection"].is_null());

    ASSERT_TRUE(node->setValue("voice", OVAny("sage")).hasValue());
    ASSERT_TRUE(waitForClientEvent("session.update", updatesBefore + 2));
    const auto updates = clientEvents("session.update");
    EXPECT_EQ(updates.size(), updatesBefore + 2) << "three changes, one update; then the new session's";
    EXPECT_EQ(updates.back()["session"]["audio"]["output"]["voice"], "sage");
    EXPECT_EQ(updates.back()["session"]["instructions"], "Be brief.");
    EXPECT_EQ(simulator->handshakes().size(), 2u) << "a voice change opens a new session";
    EXPECT_TRUE(eventually([&] { return simulator->openConnections() == 1; })) << "the old session's connection ends";

    auto transcribe = makeNode(kTranscribe.type, OVAnyMap{{"apiKey", "sk-test"}});
    ASSERT_TRUE(waitForClientEvent("session.update", updatesBefore + 3));
    EXPECT_EQ(simulator->handshakes().back().target, "/v1/realtime?intent=transcription");
    EXPECT_EQ(clientEvents("session.update").back(), kData["firstUpdate"][kTranscribe.type]) << "no empty language";
    ASSERT_TRUE(transcribe->setValue("transcriptionLanguage", OVAny("en")).hasValue());
    ASSERT_TRUE(transcribe->setValue("transcriptionDelay", OVAny("glacial")).hasValue());
    ASSERT_TRUE(waitForClientEvent("session.update", updatesBefore + 4));
    EXPECT_EQ(clientEvents("session.update").back()["session"]["audio"]["input"]["transcription"].dump(),
              R"({"delay":"glacial","language":"en","model":"gpt-realtime-whisper"})")
        << "both in one update; a delay outside the options is sent as given";
}

// A conversation in a host graph at 48 kHz: the service hears a spoken turn
// and answers, the user speaks over the answer, the node cuts it where it
// was heard, and the next answer plays in full.
TEST_F(OpenAINodeSession, TheVoiceNodeTalksIsInterruptedAndClosesNormally) {
    LogCapture log;
    auto node = makeNode(kVoice.type, OVAnyMap{{"apiKey", "sk-test"}, {"voice", "marin"}, {"noiseReduction", "near_field"}});
    auto events = std::make_unique<EventRecorder>(*node);
    const std::string created = "[OpenAINode] Session created with OpenAI.";
    ASSERT_TRUE(eventually([&] { return log.count(created) == 1; }));
    auto graph = std::make_unique<Conversation>(*static_cast<AudioNode*>(node.get())); // its start opens a new session
    ASSERT_TRUE(eventually([&] { return log.count(created) == 2; }));
    EXPECT_EQ(simulator->handshakes().back().target, "/v1/realtime?model=gpt-realtime-2");
    EXPECT_EQ(clientEvents("session.update").front(), kData["firstUpdate"][kVoice.type]);

    // A spoken turn; the 2 s answer starts playing about 2.1 s in and is cut
    // off by the end of the run, part-way through.
    ASSERT_GT(graph->run(1.5, 3.0), 0);
    ASSERT_TRUE(events->waitFor("responseDone"));
    ASSERT_TRUE(events->waitFor("responseTranscription"));
    EXPECT_EQ(events->named("responseDone").front().get("status"), "completed");
    EXPECT_EQ(events->named("responseTranscription").front().get("transcript"), "Hello from the simulator.");
    EXPECT_GE(events->count("responseTranscriptionDelta"), 1);
    EXPECT_EQ(events->named("inputTranscription").front().get("transcript"), "What is the weather?");

    // The service hears the user start speaking over the answer.
    const size_t truncatesBefore = clientEvents("conversation.item.truncate").size();
    ASSERT_EQ(simulator->sendToAll(R"({"type":"input_audio_buffer.speech_started","audio_start_ms":0,"item_id":"x"})"), 1u);
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
    EXPECT_EQ(graph->run(0.0, 0.4, hostRate / 10), 0);

    // A second truncation has no item left to cut.
    const std::string empty = "[OpenAINode] truncatePlayback: itemId empty, not sending truncate event.";
    const int emptyBefore = log.count(empty);
    ASSERT_TRUE(node->callAction("truncateResponse", OVAnyMap()).hasValue()) << "the session must still be there";
    EXPECT_EQ(log.count(empty), emptyBefore + 1);

    // The next answer drops what was left and plays out. (A stray truncate
    // would have gone out before its request.)
    ASSERT_TRUE(node->callAction("createResponse", OVAnyMap()).hasValue());
    ASSERT_TRUE(events->waitFor("responseDone", 2));
    EXPECT_EQ(clientEvents("conversation.item.truncate").size(), truncatesBefore + 1);
    EXPECT_GT(graph->run(0.0, 2.5), hostRate) << "the 2 s answer plays out of the node";
    for (const auto& e : events->named("error"))
        ADD_FAILURE() << "the service refused: " << e.get("type") << " " << e.get("code") << " " << e.get("message");

    // The graph's start replaced the first session; each ends normally.
    graph.reset();
    events.reset();
    node.reset();
    ASSERT_EQ(simulator->handshakes().size(), 2u);
    EXPECT_TRUE(simulator->waitForCloseCodes(
        [](const auto& closes) { return closes.size() == 2 && closes[0].code == 1000 && closes[1].code == 1000; }, 10s));
}

// A listener that removes the node on some event must be able to: for every
// event of both nodes, from inside the listener, with no crash, no hang and
// nothing reaching the node afterwards (the sanitizer builds watch for that).
TEST_F(OpenAINodeSession, ANodeMayBeDestroyedFromInsideAnyOfItsListeners) {
    setReconnectDelay(50ms);
    for (const auto& [type, cases] : kData["eventsAndWhatProvokesThem"].items()) {
        for (const auto& [event, provocation] : cases.items()) {
            SCOPED_TRACE(type + " " + event);
            // The listener runs on the node's own thread, one call at a time.
            std::atomic<bool> destroyed{false};
            std::atomic<int> callsAfter{0};
            std::unique_ptr<Node> node = makeNode(type, OVAnyMap{{"apiKey", "sk-test"}});
            node->addEventListener(EventEmitter::AllEvents, [&, wanted = event](const std::string& name, const OVAnyMap&) {
                if (destroyed)
                    ++callsAfter;
                else if (name == wanted) {
                    std::unique_ptr<Node>(std::move(node)).reset();
                    destroyed = true;
                }
            });
            // Provoke the event until it comes (the first may precede the listener).
            for (int i = 0; i < 100 && !destroyed; ++i) {
                if (provocation == "drop")
                    simulator->closeAll(false);
                else
                    simulator->sendToAll(provocation.dump());
                eventually([&] { return destroyed.load(); }, 100ms);
            }
            ASSERT_TRUE(destroyed);
            EXPECT_TRUE(eventually([&] { return simulator->openConnections() == 0; })) << "its connection went with it";
            std::this_thread::sleep_for(150ms); // past a stray reconnect, which must not come
            EXPECT_EQ(callsAfter, 0);
            EXPECT_EQ(simulator->openConnections(), 0u);
        }
    }
}

// However slow the link, an attempt that is still on its way is left alone:
// one attempt, one session, no client replaced. A ws:// set-up costs two
// link delays; a token fetch two more, and its own delay: 6 s either way.
TEST_F(OpenAINodeSession, OverASlowLinkTheFirstAttemptConnects) {
    useAppCredentials();
    const std::tuple<NodeKind, OVAnyMap, std::chrono::milliseconds, std::chrono::milliseconds> cases[] = {
        {kVoice, OVAnyMap{{"apiKey", "sk-test"}}, 3000ms, 0ms}, {kTranscribe, OVAnyMap(), 1000ms, 2000ms}};
    for (const auto& [kind, config, linkDelay, tokenDelay] : cases) {
        SCOPED_TRACE(kind.type);
        simulator::SimulatorOptions options;
        options.linkDelay = linkDelay;
        options.tokenDelay = tokenDelay;
        simulator::Simulator slow(options);
        slow.start();
        pointAt(slow);
        LogCapture log;
        auto node = makeNode(kind.type, config);
        EventRecorder events(*node);
        ASSERT_TRUE(events.waitFor("sessionCreated", 1, 30s));
        EXPECT_EQ(log.count(kind.tag + " Starting session."), 1);
        EXPECT_EQ(events.count("sessionCreated"), 1);
        EXPECT_EQ(slow.handshakes().size(), 1u) << "no client was replaced";
    }
}

// A service that stops talking at any step of the set-up, or confirms a
// session without an id (so it refuses every request on it), costs one
// attempt: one error line, a retry after the reconnect delay, and nothing
// left behind, attempt after attempt.
TEST_F(OpenAINodeSession, AFailedSetUpCostsOneAttemptAndLeavesNothingBehind) {
    SessionSettings settings;
    settings.attemptDeadline = 250ms;
    settings.reconnectDelay = 50ms;
    setSessionSettings(settings);
    using F = simulator::SimulatorFaults;
    const std::string timedOut = "[OpenAINode] Session attempt timed out, retrying in 3 seconds.";
    for (const auto& [fault, line] : {std::pair{&F::silentAfterAccept, timedOut}, std::pair{&F::stallHandshake, timedOut},
                                      std::pair{&F::silentAfterUpgrade, timedOut},
                                      std::pair{&F::sessionCreatedWithoutId,
                                                std::string("[OpenAINode] Session has no id, restarting in 3 seconds.")}}) {
        SCOPED_TRACE(line);
        simulator::SimulatorFaults faults;
        faults.*fault = true;
        simulator->setFaults(faults);
        LogCapture log;
        // Sampled as each attempt begins, when the one before is gone.
        std::mutex mutex;
        std::vector<ResourceCounts> counts;
        std::vector<int> errors;
        auto node = makeNode(kVoice.type, OVAnyMap{{"apiKey", "sk-test"}});
        const auto listener = node->addEventListener("sessionStarting", [&](const std::string&, const OVAnyMap&) {
            std::lock_guard<std::mutex> lock(mutex);
            counts.push_back(ResourceCounts::now(simulator->port()));
            errors.push_back(log.errors());
        });
        ASSERT_TRUE(eventually([&] { return std::lock_guard<std::mutex>(mutex), counts.size() >= 21; }, 60s));
        node->removeEventListener(listener);
        node.reset();

        const ResourceCounts& first = counts[5];
        const ResourceCounts& last = counts[20];
        EXPECT_LE(last.threads, first.threads + 1) << "threads are left behind";
        EXPECT_LE(last.fds, first.fds + 2) << "descriptors are left behind";
        EXPECT_TRUE(first.heap == 0 || last.heap < first.heap + 64 * 1024) // 0 under the sanitizers
            << "memory grows with every attempt";
        EXPECT_EQ(errors[20] - errors[5], 15) << "one error line per attempt";
        EXPECT_EQ(log.count(line), log.errors());
        EXPECT_TRUE(eventually([&] { return simulator->openConnections() == 0; }));
    }
}

// Two token requests overlap and the first one's answer, a failure, comes
// last. Only the latest request may act: no error, no restart.
TEST_F(TokenFailures, ALateFailureOfASupersededTokenRequestChangesNothing) {
    LogCapture log;
    auto node = makeNode(kVoice.type, OVAnyMap());
    EventRecorder events(*node);
    ASSERT_TRUE(simulator->waitForTokenRequests(1, 10s));
    ASSERT_TRUE(node->callAction("resetSession", OVAnyMap()).hasValue());
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(eventually([&] { // the late answer has come
        return log.count("[SessionController] Ignored the answer to a superseded token request.") == 1 ||
               events.count("error") > 0;
    }));
    std::this_thread::sleep_for(300ms); // past the reconnect delay: a restart that must not come
    EXPECT_EQ(events.count("error"), 0);
    EXPECT_EQ(log.count("[OpenAINode] Starting session."), 2);
    EXPECT_EQ(events.count("sessionCreated"), 1);
    EXPECT_EQ(simulator->handshakes().size(), 1u);
}
