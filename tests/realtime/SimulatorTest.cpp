// The protocol client on the real transport against the local simulator of
// the service. What only the simulator can show of itself is in tests/tools.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeEndpoint.h"
#include "tools/simulator/Simulator.h"
#include "support/TestCertificates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

namespace orvanta::extensions::openai::test {
namespace {

using simulator::SimulatorFaults;
using simulator::SimulatorOptions;

// A started simulator that clients created meanwhile connect to.
struct SimRun : simulator::Simulator {
    explicit SimRun(SimulatorOptions options = fastOptions()) : Simulator(std::move(options)) {
        start();
        setRealtimeEndpointOverride(realtimeUrl());
    }
    ~SimRun() { clearRealtimeEndpointOverride(); }
};

struct Session : DelegatedClient {
    explicit Session(const std::string& model, const std::string& key = kKey) {
        client = std::make_unique<OpenAIWebSocketClient>(key, model);
        client->setDelegate(&delegate);
    }
};

TEST(Simulator, VoiceTurnToolCallSpokenAnswerAndTranscription) {
    LogCapture log;
    SimRun run;
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitFor("onSessionCreated()"));
    EXPECT_EQ(run.handshakes().at(0).target, "/v1/realtime?model=gpt-realtime-2");
    EXPECT_EQ(run.handshakes().at(0).subprotocols, "realtime, openai-insecure-api-key.sk-test-key");
    UpdateSessionClientEvent u;
    u.voice = "marin";
    u.inputAudioTranscription = true;
    u.turnDetection = "server_vad";
    u.tools = R"([{"type":"function","name":"get_weather","parameters":{"type":"object","properties":{"city":{"enum":["Oslo"]}}}}])";
    u.toolChoice = "auto";
    s.client->updateSession(u);
    ASSERT_TRUE(waitUntil([&] { return s.client->getInternals().getSession().voice == "marin"; })); // session.updated

    // A second of speech and one of silence: server VAD ends the turn, the
    // input is transcribed and the tool is called.
    ASSERT_TRUE(s.client->appendAudioBuffer(tone(24000)));
    ASSERT_TRUE(s.client->appendAudioBuffer(std::vector<int16_t>(24000, 0)));
    EXPECT_TRUE(s.delegate.waitFor("onInputAudioSpeechStarted()"));
    ASSERT_TRUE(run.waitForAppends([](const auto& a) { return a.size() == 2; }, 10s));
    std::vector<int16_t> sent = tone(24000);
    sent.resize(48000, 0);
    EXPECT_EQ(run.receivedInputAudio().at(0), sent); // sample by sample, in order
    EXPECT_EQ(run.receivedAppends().at(1).firstSample, 24000u);
    EXPECT_TRUE(s.delegate.waitFor("onInputAudioTranscription(what time is it)"));
    ASSERT_TRUE(s.delegate.waitFor("onToolCall("));
    const std::string call = s.delegate.startingWith("onToolCall(")[0];
    const std::string callId = call.substr(11, call.find('|') - 11);
    EXPECT_EQ(call, "onToolCall(" + callId + R"(|get_weather|{"city":"Oslo"}))");
    ASSERT_TRUE(s.delegate.waitFor("onResponseDone(completed)"));
    s.delegate.take();

    // The result goes back and the answer is spoken: 1 s in 100 ms deltas.
    ASSERT_TRUE(s.client->submitFunctionCallOutput(callId, R"({"temperature_c":21})"));
    ASSERT_TRUE(s.client->createResponse());
    ASSERT_TRUE(s.delegate.waitFor("onResponseDone(completed)"));
    const Calls audio = s.delegate.startingWith("onResponseAudioReceived(2400|item_");
    EXPECT_EQ(audio.size(), 10u);
    EXPECT_EQ(s.delegate.startingWith("onResponseAudioTranscription("), Calls{"onResponseAudioTranscription(Hello there)"});
    EXPECT_TRUE(s.delegate.startingWith("onError").empty());

    // A transcription session: its commit is transcribed, and no response is asked for.
    const size_t before = run.receivedClientEvents().size();
    Session t("gpt-realtime-whisper");
    ASSERT_TRUE(t.delegate.waitFor("onSessionCreated()"));
    EXPECT_EQ(run.handshakes().at(1).target, "/v1/realtime?intent=transcription");
    UpdateSessionClientEvent tu;
    tu.sessionType = "transcription";
    tu.transcriptionLanguage = "en";
    tu.transcriptionDelay = "medium";
    t.client->updateSession(tu);
    ASSERT_TRUE(t.client->appendAudioBuffer(tone(12000)));
    ASSERT_TRUE(t.client->commitAudioBuffer());
    EXPECT_TRUE(t.delegate.waitFor("onInputAudioTranscription(what time is it)"));
    EXPECT_EQ(run.receivedClientEvents().size() - before, 3u); // update, append, commit
    EXPECT_TRUE(t.delegate.startingWith("onError").empty());
    for (auto& [level, line] : log.take())
        EXPECT_EQ(line.find("sk-test-key"), std::string::npos) << line;
}

// Error events, garbage and binary frames are the scripted message tests' cases.
TEST(Simulator, RefusedKeyAndDroppedConnection) {
    SimRun run;
    SimulatorFaults f;
    f.refuseKey = true;
    run.setFaults(f);
    {   // A refused key: one error, one disconnect, nothing else.
        Session s("gpt-realtime-2", "sk-wrong");
        ASSERT_TRUE(s.delegate.waitFor("onSessionDisconnected()"));
        EXPECT_EQ(run.handshakes().at(0).status, 401u);
        std::this_thread::sleep_for(50ms); // room for a second report, which must not come
        const Calls calls = s.delegate.take();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].rfind("onError(websocket_error||", 0), 0u) << calls[0];
    }
    f = {}; // a dropped connection: one disconnect, and sends are refused after it
    f.closeAfterMessages = 2;
    f.closeAbruptly = true;
    run.setFaults(f);
    Session s("gpt-realtime-2");
    ASSERT_TRUE(s.delegate.waitFor("onSessionCreated()"));
    ASSERT_TRUE(s.client->createResponse()); // "response.created" is the second message
    ASSERT_TRUE(s.delegate.waitFor("onSessionDisconnected()"));
    EXPECT_FALSE(s.client->getIsConnected() || s.client->appendAudioBuffer({1}));
    std::this_thread::sleep_for(50ms); // room for a second report, which must not come
    EXPECT_EQ(s.delegate.startingWith("onSessionDisconnected").size(), 1u);
    EXPECT_EQ(run.connectionEnds().back(), simulator::ConnectionEnd::Dropped);
}

// The service's own scheme: TLS, trusted only through OpenSSL's default
// paths, which a test points at its CA with SSL_CERT_FILE.
TEST(Simulator, SecureEndpoint) {
    testsupport::TestCertificates certificates;
    ASSERT_TRUE(certificates.ok());
    SimulatorOptions o = fastOptions();
    o.tlsCertificateFile = certificates.serverCertificate();
    o.tlsPrivateKeyFile = certificates.serverKey();
    SimRun run(o);
    EXPECT_EQ(run.realtimeUrl(), "wss://127.0.0.1:" + std::to_string(run.port()) + "/v1/realtime");
    EXPECT_EQ(run.tokenBaseUrl(), "https://127.0.0.1:" + std::to_string(run.port()));
    {
        Session s("gpt-realtime-2");
        ASSERT_TRUE(s.delegate.waitFor("onSessionDisconnected()"));
        EXPECT_EQ(s.delegate.startingWith("onError(websocket_error||").size(), 1u);
    }
    ::setenv("SSL_CERT_FILE", certificates.caFile().c_str(), 1);
    {
        Session s("gpt-realtime-2");
        EXPECT_TRUE(s.delegate.waitFor("onSessionCreated()"));
        EXPECT_TRUE(s.client->createResponse());
        EXPECT_TRUE(s.delegate.waitFor("onResponseDone(completed)"));
    }
    ::unsetenv("SSL_CERT_FILE");
}

// Detaching and destroying under traffic are the node stress test's and the
// scripted connection tests' cases; what only the real transport shows is a
// client destroyed from inside its own call on the I/O thread, which must not
// deadlock.
TEST(Simulator, DestroyedFromItsOwnCallOnTheIoThread) {
    SimRun run;
    RecordingDelegate d;
    auto client = std::make_unique<OpenAIWebSocketClient>(kKey, "gpt-realtime-2");
    std::promise<void> destroyed;
    d.hook = [&](const std::string& line) {
        if (line == "onSessionCreated()") {
            client.reset();
            destroyed.set_value();
        }
    };
    client->setDelegate(&d);
    ASSERT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(waitUntil([&] { return run.openConnections() == 0; }));
}

} // namespace
} // namespace orvanta::extensions::openai::test
