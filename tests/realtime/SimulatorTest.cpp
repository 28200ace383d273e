// The protocol client against the local simulator of the service: whole
// conversations, voice turns, tools, transcription, faults and TLS, over
// real sockets on 127.0.0.1.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeEndpoint.h"
#include "tools/simulator/Simulator.h"
#include "websocket/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;
using Calls = std::vector<std::string>;
using simulator::Simulator;
using simulator::SimulatorOptions;
using namespace std::chrono_literals;

SimulatorOptions fastOptions() {
    SimulatorOptions o;
    o.seed = 7;
    o.pacing = 0; // answer audio without real-time pauses
    o.responseAudioLength = 300ms;
    o.responseDelay = 0ms;
    o.responseText = "Hello there";
    o.transcriptText = "what time is it";
    return o;
}

// A started simulator that new clients connect to.
struct SimulatorRun {
    explicit SimulatorRun(SimulatorOptions options = fastOptions()) : sim(std::move(options)) {
        sim.start();
        setRealtimeEndpointOverride(sim.realtimeUrl());
    }
    ~SimulatorRun() { clearRealtimeEndpointOverride(); }

    bool received(const std::string& text) {
        return sim.waitForClientEvents(
            [&](const std::vector<std::string>& events) {
                return std::find(events.begin(), events.end(), text) != events.end();
            },
            10s);
    }

    Simulator sim;
};

// A client with a recording delegate, detached before it goes.
struct Session {
    explicit Session(const std::string& model, const std::string& key = "sk-test-key")
        : client(std::make_unique<OpenAIWebSocketClient>(key, model)) {
        client->setDelegate(&delegate);
    }
    ~Session() {
        client->setDelegate(nullptr);
        client.reset();
    }
    std::vector<std::string> callsStartingWith(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(delegate.mutex);
        std::vector<std::string> out;
        for (auto& c : delegate.calls)
            if (c.rfind(prefix, 0) == 0)
                out.push_back(c);
        return out;
    }
    RecordingDelegate delegate;
    std::unique_ptr<OpenAIWebSocketClient> client;
};

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::vector<int16_t> tone(size_t samples, double amplitude) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] = static_cast<int16_t>(amplitude * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / 24000.0));
    return out;
}

UpdateSessionClientEvent conversationUpdate() {
    UpdateSessionClientEvent u;
    u.voice = "marin";
    u.instructions = "";
    u.speed = 1.0f;
    u.inputAudioTranscription = true;
    u.transcriptionModel = "gpt-4o-mini-transcribe";
    u.turnDetection = "server_vad";
    u.noiseReduction = "near_field";
    u.toolChoice = "auto";
    return u;
}

TEST(Simulator, ConversationRoundTrip) {
    LogCapture log;
    SimulatorRun run;
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
    ASSERT_EQ(run.sim.handshakes().size(), 1u);
    EXPECT_EQ(run.sim.handshakes()[0].target, "/v1/realtime?model=gpt-realtime-2");
    EXPECT_EQ(run.sim.handshakes()[0].subprotocols, "realtime, openai-insecure-api-key.sk-test-key");

    s.client->updateSession(conversationUpdate());
    EXPECT_TRUE(run.received(
        R"({"event_id":"event-1","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
        R"("noise_reduction":{"type":"near_field"},"transcription":{"model":"gpt-4o-mini-transcribe"},)"
        R"("turn_detection":{"type":"server_vad"}},"output":{"format":{"rate":24000,"type":"audio/pcm"},)"
        R"("speed":1.0,"voice":"marin"}},"instructions":"","model":"gpt-realtime-2",)"
        R"("output_modalities":["audio"],"tool_choice":"auto","type":"realtime"},"type":"session.update"})"));
    // "session.updated" merges into the mirror.
    EXPECT_TRUE(waitUntil([&] { return s.client->getInternals().getSession().voice == "marin"; }));

    ASSERT_TRUE(s.client->createResponse());
    ASSERT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
    EXPECT_EQ(s.callsStartingWith("onResponseCreated").size(), 1u);
    const auto audio = s.callsStartingWith("onResponseAudioReceived(");
    ASSERT_EQ(audio.size(), 3u); // 300 ms in 100 ms deltas
    for (auto& call : audio)
        EXPECT_EQ(call.rfind("onResponseAudioReceived(2400|item_", 0), 0u) << call;
    std::string spoken;
    for (auto& delta : s.callsStartingWith("onResponseAudioTranscriptionDelta("))
        spoken += delta.substr(34, delta.size() - 35);
    EXPECT_EQ(spoken, "Hello there");
    EXPECT_EQ(s.callsStartingWith("onResponseAudioTranscription("),
              Calls{"onResponseAudioTranscription(Hello there)"});

    // Nothing to cancel any more: skipped without a message.
    EXPECT_TRUE(s.client->cancelResponse());
    EXPECT_TRUE(s.callsStartingWith("onError").empty());
    for (auto& line : log.all())
        EXPECT_EQ(line.find("sk-test-key"), std::string::npos) << line;
}

TEST(Simulator, VoiceTurnWithServerVoiceActivity) {
    SimulatorRun run;
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
    s.client->updateSession(conversationUpdate());
    ASSERT_TRUE(waitUntil([&] { return s.client->getInternals().getSession().voice == "marin"; }));

    // One second of speech, then one of silence, in the node's chunk size.
    ASSERT_TRUE(s.client->appendAudioBuffer(tone(24000, 8000.0)));
    ASSERT_TRUE(s.client->appendAudioBuffer(std::vector<int16_t>(24000, 0)));
    EXPECT_TRUE(s.delegate.waitForCall("onInputAudioSpeechStarted()"));
    EXPECT_TRUE(s.delegate.waitForCall("onInputAudioTranscription(what time is it)"));
    EXPECT_FALSE(s.callsStartingWith("onInputAudioTranscriptionDelta(").empty());
    // Server VAD answers the turn by itself.
    EXPECT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
}

TEST(Simulator, ToolCallThenSpokenAnswer) {
    SimulatorRun run;
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
    UpdateSessionClientEvent update = conversationUpdate();
    update.tools = R"([{"type":"function","name":"get_weather","description":"Weather for a city",)"
                   R"("parameters":{"type":"object","properties":{"city":{"type":"string","enum":["Oslo"]}}}}])";
    s.client->updateSession(update);
    ASSERT_TRUE(run.sim.waitForClientEvents([](const std::vector<std::string>& e) { return !e.empty(); }, 10s));

    ASSERT_TRUE(s.client->createResponse("What is the weather in Oslo?"));
    ASSERT_TRUE(s.delegate.waitFor([](const Calls& c) {
        return std::any_of(c.begin(), c.end(), [](const std::string& l) { return l.rfind("onToolCall(", 0) == 0; });
    }));
    const std::string call = s.callsStartingWith("onToolCall(")[0];
    const std::string callId = call.substr(11, call.find('|') - 11);
    EXPECT_EQ(call, "onToolCall(" + callId + R"(|get_weather|{"city":"Oslo"}))");
    ASSERT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
    s.delegate.take();

    ASSERT_TRUE(s.client->submitFunctionCallOutput(callId, R"({"temperature_c":21})"));
    ASSERT_TRUE(s.client->createResponse());
    ASSERT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
    EXPECT_TRUE(s.callsStartingWith("onToolCall(").empty());
    EXPECT_EQ(s.callsStartingWith("onResponseAudioTranscription("),
              Calls{"onResponseAudioTranscription(Hello there)"});
    EXPECT_TRUE(s.callsStartingWith("onError").empty());
}

TEST(Simulator, TruncationPastTheSentAudioIsAnError) {
    SimulatorRun run;
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
    ASSERT_TRUE(s.client->createResponse());
    ASSERT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
    const std::string audio = s.callsStartingWith("onResponseAudioReceived(")[0];
    const size_t itemStart = audio.find('|') + 1;
    const std::string itemId = audio.substr(itemStart, audio.rfind('|') - itemStart);

    ASSERT_TRUE(s.client->sendConversationItemTruncate(itemId, 0, 5000));
    ASSERT_TRUE(s.delegate.waitFor([](const Calls& c) {
        return std::any_of(c.begin(), c.end(),
                           [](const std::string& l) { return l.rfind("onError(invalid_request_error|", 0) == 0; });
    }));
    // Forwarded only: the session goes on.
    EXPECT_TRUE(s.client->getIsConnected());
    ASSERT_TRUE(s.client->sendConversationItemTruncate(itemId, 0, 100));
    EXPECT_TRUE(run.received(R"({"audio_end_ms":100,"content_index":0,"event_id":"event-3","item_id":")" + itemId +
                             R"(","type":"conversation.item.truncate"})"));
}

TEST(Simulator, TranscriptionSession) {
    SimulatorRun run;
    Session s("gpt-realtime-whisper");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
    EXPECT_EQ(run.sim.handshakes()[0].target, "/v1/realtime?intent=transcription");

    UpdateSessionClientEvent update;
    update.sessionType = "transcription";
    update.transcriptionLanguage = "en";
    update.transcriptionDelay = "medium";
    s.client->updateSession(update);
    EXPECT_TRUE(run.received(
        R"({"event_id":"event-1","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
        R"("transcription":{"delay":"medium","language":"en","model":"gpt-realtime-whisper"}}},)"
        R"("type":"transcription"},"type":"session.update"})"));

    ASSERT_TRUE(s.client->appendAudioBuffer(tone(12000, 8000.0)));
    ASSERT_TRUE(s.client->commitAudioBuffer());
    ASSERT_TRUE(s.delegate.waitForCall("onInputAudioTranscription(what time is it)"));
    EXPECT_TRUE(run.received(R"({"event_id":"event-3","type":"input_audio_buffer.commit"})"));
    // A transcription client commits only.
    auto events = run.sim.receivedClientEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.find("response.create") != std::string::npos; }),
              0);
    EXPECT_TRUE(s.callsStartingWith("onError").empty());
}

TEST(Simulator, RefusedKeyIsOneErrorAndOneDisconnect) {
    SimulatorOptions options = fastOptions();
    options.faults.refuseKey = true;
    SimulatorRun run(options);
    Session s("gpt-realtime-2", "sk-wrong");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionDisconnected()"));
    std::this_thread::sleep_for(50ms); // nothing else may follow
    const auto calls = s.delegate.take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].rfind("onError(websocket_error||", 0), 0u) << calls[0];
    EXPECT_EQ(calls[1], "onSessionDisconnected()");
    EXPECT_FALSE(s.client->getIsConnected());
}

TEST(Simulator, ServerErrorGarbageAndBinaryLeaveTheSessionUp) {
    LogCapture log;
    SimulatorOptions options = fastOptions();
    options.faults.sendGarbage = true;
    options.faults.sendBinaryFrame = true;
    options.faults.sendErrorEvent = true;
    SimulatorRun run(options);
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitFor([](const Calls& c) {
        return std::any_of(c.begin(), c.end(),
                           [](const std::string& l) { return l.rfind("onError(server_error|simulated_fault|", 0) == 0; });
    }));
    EXPECT_TRUE(waitUntil([&] {
        return log.has(Level::Error, "[OpenAIWebSocketClient] Received unparseable JSON, dropping frame.") &&
               log.has(Level::Error, "[OpenAIWebSocketClient] Received non-text message.");
    }));
    EXPECT_TRUE(s.client->getIsConnected());
    EXPECT_TRUE(s.client->createResponse());
    EXPECT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
    EXPECT_TRUE(s.callsStartingWith("onSessionDisconnected").empty());
}

TEST(Simulator, DroppedConnectionReportsOnceAndRefusesSends) {
    SimulatorOptions options = fastOptions();
    options.faults.closeAfterMessages = 2;
    options.faults.closeAbruptly = true;
    SimulatorRun run(options);
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
    s.client->updateSession(conversationUpdate()); // its answer is message 2
    ASSERT_TRUE(s.delegate.waitForCall("onSessionDisconnected()"));
    EXPECT_FALSE(s.client->getIsConnected());
    EXPECT_FALSE(s.client->appendAudioBuffer({1, 2, 3}));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s.callsStartingWith("onSessionDisconnected").size(), 1u);
}

// The service's own scheme: TLS, trusted through OpenSSL's default paths,
// which a test points at its CA with SSL_CERT_FILE.
TEST(Simulator, SecureEndpointTrustedThroughTheDefaultPaths) {
    websocket::test::TestCertificates certificates;
    ASSERT_TRUE(certificates.ok());
    SimulatorOptions options = fastOptions();
    options.tlsCertificateFile = certificates.serverCertificate();
    options.tlsPrivateKeyFile = certificates.serverKey();
    SimulatorRun run(options);
    ASSERT_EQ(run.sim.realtimeUrl().rfind("wss://", 0), 0u);

    {
        // Without the test CA the certificate is not trusted.
        Session s("gpt-realtime-2");
        ASSERT_TRUE(s.delegate.waitForCall("onSessionDisconnected()"));
        EXPECT_EQ(s.callsStartingWith("onError(websocket_error||").size(), 1u);
        EXPECT_TRUE(s.callsStartingWith("onSessionCreated").empty());
    }
    const char* previous = std::getenv("SSL_CERT_FILE");
    const std::string saved = previous ? previous : "";
    ::setenv("SSL_CERT_FILE", certificates.caFile().c_str(), 1);
    {
        Session s("gpt-realtime-2");
        EXPECT_TRUE(s.delegate.waitForCall("onSessionCreated()"));
        EXPECT_TRUE(s.client->createResponse());
        EXPECT_TRUE(s.delegate.waitForCall("onResponseDone(completed)"));
    }
    if (previous)
        ::setenv("SSL_CERT_FILE", saved.c_str(), 1);
    else
        ::unsetenv("SSL_CERT_FILE");
}

} // namespace
} // namespace orvanta::extensions::openai::test
