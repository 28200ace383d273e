#include "token/OpenAITokenProvider.h"

#include "OrvantaSDK/Orvanta.h"
#include "extension/OpenAINodeFactory.h"
#include "nodes/NodeTestSupport.h"
#include "networkclient/TransferSettings.h"
#include "tools/simulator/Simulator.h"
#include "websocket/support/ScriptedPeer.h"
#include "token/TokenResultInbox.h"
#include "token/TokenServiceEndpoint.h"
#include "utils/Logger.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>

using namespace orvanta::extensions::openai;
using namespace std::chrono_literals;
using orvanta::Orvanta;
using orvanta::networkclient::TransferSettings;
using orvanta::simulator::ScriptedTokenReply;
using orvanta::simulator::Simulator;
using orvanta::simulator::SimulatorOptions;
using tokentest::HostLogCapture;
using tokentest::TokenResultInbox;

namespace {

const std::string realtimeConfig = "{\"model\":\"gpt-realtime-2\",\"type\":\"realtime\"}";

// The token service of the simulator, answering as the test scripts it.
class TokenServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        Orvanta::setValue("orvanta", "appID", std::string("app-1"));
        Orvanta::setValue("orvanta", "appSecret", std::string("hunter2"));
    }
    void TearDown() override {
        clearTokenServiceEndpointOverride();
        orvanta::networkclient::resetTransferSettings();
    }
    Simulator& serve(SimulatorOptions options = {}) {
        sim = std::make_unique<Simulator>(std::move(options));
        sim->start();
        setTokenServiceEndpointOverride(sim->tokenBaseUrl());
        return *sim;
    }
    std::unique_ptr<Simulator> sim;
};

TEST_F(TokenServiceTest, PostsTheCredentialsAndTheConfigurationAsOneJsonObject) {
    orvanta::websocket::test::ScriptedPeer peer;
    auto request = answerOnce(peer, "{\"success\":true,\"data\":{\"token\":\"ek_123\"}}");
    setTokenServiceEndpointOverride(peer.url("").replace(0, 2, "http"));
    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    const auto outcome = inbox.waitFor(1);
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, "ek_123");
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
    const std::string text = request.get();
    EXPECT_EQ(text.rfind("POST /openai/realtime/client-secret HTTP/1.1\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("\r\n\r\n") + 4), "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\","
                            "\"sessionConfig\":{\"model\":\"gpt-realtime-2\",\"type\":\"realtime\"}}");
}

TEST_F(TokenServiceTest, EveryKindOfReplyGivesExactlyOneResultWithItsText) {
    // [status, body, ok, the whole text or what is wrong with an unreadable reply]
    const auto cases = nlohmann::json::parse(std::ifstream(TOKEN_TEST_DATA "/replies.json"));
    SimulatorOptions options;
    for (const auto& c : cases) options.tokenScript.push_back({0ms, c[0], c[1]});
    serve(options);
    TokenResultInbox inbox;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string body = cases[i][1], text = cases[i][3];
        OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
        const auto outcome = inbox.waitFor(i + 1);
        EXPECT_EQ(outcome.ok, cases[i][2]) << body << " -> " << outcome.text;
        const bool whole = outcome.ok || text.rfind("Failed to get", 0) == 0;
        EXPECT_EQ(outcome.text, whole ? text : "Failed to parse OpenAI token response: " + text + " (HTTP " +
                                                   cases[i][0].dump() + ", " + std::to_string(body.size()) + " bytes)");
    }
    EXPECT_EQ(inbox.count(), cases.size());
}

TEST_F(TokenServiceTest, InvalidConfigurationIsReportedAtOnceAndNothingIsSent) {
    Simulator& service = serve();
    HostLogCapture log;
    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(inbox.callback(), "{\"type\":");
    OpenAITokenProvider::shared().getToken(inbox.callback(), "{\"type\":\"realtime\" /* comment */}");
    ASSERT_EQ(inbox.count(), 2u);  // both before getToken returned
    for (std::size_t n : {1u, 2u}) {
        const auto outcome = inbox.waitFor(n);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.text.rfind("Invalid sessionConfig JSON: ", 0), 0u) << outcome.text;
        EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    }
    EXPECT_NE(log.text().find("error: [OpenAITokenProvider] Invalid sessionConfig JSON: "), std::string::npos);
    EXPECT_EQ(service.tokenRequestCount(), 0u);
}

TEST_F(TokenServiceTest, FailedTransfersReachTheCallerWithTheTransferError) {
    // A service that accepts and never answers.
    SimulatorOptions silent;
    silent.faults.silentAfterAccept = true;
    serve(silent);
    TransferSettings settings;
    settings.totalTimeout = 300ms;
    orvanta::networkclient::setTransferSettings(settings);
    HostLogCapture log;
    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    auto outcome = inbox.waitFor(1);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get OpenAI token: ", 0), 0u) << outcome.text;
    EXPECT_NE(outcome.text.find("imed out"), std::string::npos) << outcome.text;
    EXPECT_NE(log.text().find("error: [OpenAITokenProvider] Network error: "), std::string::npos);

    // A request that cannot even be started still gets its one answer.
    setTokenServiceEndpointOverride("http://127.0.0.1:notaport");
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    ASSERT_EQ(inbox.count(), 2u);
    outcome = inbox.waitFor(2);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get OpenAI token: ", 0), 0u) << outcome.text;
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());
}

// A voice node without a key, made by the factory as the host makes it, asks
// this service for its token. Whatever comes back, neither the token in the
// reply nor the application's secret may reach a log line (every logger at its
// most verbose) or an event; the node's "error" says what was wrong instead.
TEST_F(TokenServiceTest, NoReplyLeaksItsTokenOrTheAppSecretIntoLogsOrEvents) {
    const std::string canary = "ek_canary_5d1f";
    struct Case {
        ScriptedTokenReply reply;
        std::string message;  // of the node's "error" event
    };
    const std::string truncated = "{\"success\":true,\"data\":{\"token\":\"" + canary;
    const std::string page = "<html><body>upstream sent " + canary + "</body></html>";
    const std::string reshaped =
        "{\"success\":true,\"data\":{\"client_secret\":{\"value\":\"" + canary + "\",\"expires_at\":1}}}";
    const auto size = [](const std::string& body) { return std::to_string(body.size()) + " bytes)"; };
    const std::vector<Case> cases{
        {{0ms, 200, truncated},
         "Failed to parse OpenAI token response: the JSON text ends early (HTTP 200, " + size(truncated)},
        {{0ms, 502, page},
         "Failed to parse OpenAI token response: the body is not JSON (syntax error at byte 1) (HTTP 502, " +
             size(page)},
        {{0ms, 200, reshaped},
         "Failed to parse OpenAI token response: \"data\".\"token\" is missing (HTTP 200, " + size(reshaped)},
        // A refusal that echoes the request and a token: its reason is shown
        // without them.
        {{0ms, 403, "{\"success\":false,\"message\":\"secret hunter2 rejected,\\n" + canary + " revoked\"}"},
         "Failed to get OpenAI token: secret *** rejected, *** revoked"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body);
        SimulatorOptions options;
        options.tokenScript.assign(4, c.reply);
        serve(options);
        HostLogCapture hostLog(orvanta::Logger::Level::Debug);
        auto& libraryLog = testsupport::LogLines::attach(orvanta::logging::LogLevel::Trace);
        std::string events; // every event's name and payload
        std::mutex eventsMutex;
        {
            OpenAINodeFactory factory;
            auto node = factory.createNode("OpenAI.Realtime", orvanta::OVAnyMap());
            ASSERT_TRUE(node);
            node->addEventListener(orvanta::EventEmitter::AllEvents,
                                   [&](const std::string& name, const orvanta::OVAnyMap& payload) {
                                       std::lock_guard<std::mutex> lock(eventsMutex);
                                       events += name + " " + orvanta::OVAnyMap::mapToJson(payload) + "\n";
                                   });
            nodetest::EventRecorder recorder(*node);
            ASSERT_TRUE(recorder.waitFor("error"));
            EXPECT_EQ(recorder.named("error").front().get("message"), c.message);
        }
        const std::string host = hostLog.text();
        const std::string library = libraryLog.text();
        // The lines that carry the reply were written, so their absence below
        // means something.
        EXPECT_NE(host.find("debug: [OpenAITokenProvider] Response body: "), std::string::npos) << host;
        EXPECT_NE(host.find("error: [OpenAINode] Failed to get ephemeral token from API: " + c.message),
                  std::string::npos)
            << host;
        EXPECT_NE(library.find("[NetworkSession] Received response for request #"), std::string::npos) << library;
        for (const std::string& text : {host, library, events}) {
            EXPECT_EQ(text.find(canary), std::string::npos) << text;
            EXPECT_EQ(text.find("hunter2"), std::string::npos) << text;
        }
    }
    testsupport::LogLines::detach();
}

TEST_F(TokenServiceTest, ACallbackThatThrowsIsNotCalledASecondTime) {
    serve();
    std::atomic<int> calls{0};
    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(
        [&](const orvanta::Result<std::string>& result) {
            ++calls;
            inbox.callback()(result);
            throw std::runtime_error("node gone");
        },
        realtimeConfig);
    ASSERT_TRUE(inbox.waitFor(1).ok);
    // A second call would follow at once on the same delivery thread; a later
    // full round trip is well past it.
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    ASSERT_TRUE(inbox.waitFor(2).ok);
    EXPECT_EQ(calls.load(), 1);
}

} // namespace
