#include "token/OpenAITokenProvider.h"

#include "OrvantaSDK/Orvanta.h"
#include "networkclient/TransferSettings.h"
#include "networkclient/support/LocalHttpServer.h"
#include "networkclient/support/TestCertificateAuthority.h"
#include "token/TokenResultInbox.h"
#include "token/TokenServiceEndpoint.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace orvanta::extensions::openai;
using namespace std::chrono_literals;
using orvanta::Orvanta;
using orvanta::networkclient::TransferSettings;
using testsupport::HttpReply;
using testsupport::HttpRequest;
using testsupport::LocalHttpServer;
using tokentest::HostLogCapture;
using tokentest::TokenResultInbox;

namespace {

const std::string realtimeConfig = "{\"model\":\"gpt-realtime-2\",\"type\":\"realtime\"}";

// A token service on loopback whose next reply the test chooses.
class TokenServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        Orvanta::setValue("orvanta", "appID", std::string("app-1"));
        Orvanta::setValue("orvanta", "appSecret", std::string("hunter2"));
        setTokenServiceEndpointOverride(server.baseURL());
    }
    void TearDown() override {
        clearTokenServiceEndpointOverride();
        orvanta::networkclient::resetTransferSettings();
    }
    void replyWith(HttpReply reply) {
        std::lock_guard<std::mutex> lock(mutex);
        next = std::move(reply);
    }

    std::mutex mutex;
    HttpReply next;
    LocalHttpServer server{[this](const HttpRequest&) {
        std::lock_guard<std::mutex> lock(mutex);
        return next;
    }};
};

TEST_F(TokenServiceTest, PostsTheCredentialsAndTheConfigurationAsOneJsonObject) {
    replyWith({200, "{\"success\":true,\"data\":{\"token\":\"ek_123\"}}"});
    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    const auto outcome = inbox.waitFor(1);
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, "ek_123");
    EXPECT_NE(outcome.thread, std::this_thread::get_id());

    ASSERT_EQ(server.requests().size(), 1u);
    const HttpRequest request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/openai/realtime/client-secret");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body, "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\","
                            "\"sessionConfig\":{\"model\":\"gpt-realtime-2\",\"type\":\"realtime\"}}");
}

TEST_F(TokenServiceTest, EveryKindOfReplyGivesExactlyOneResultWithItsText) {
    struct Case {
        HttpReply reply;
        bool ok;
        std::string text;  // whole text, or a prefix when it ends in ": "
    };
    const std::vector<Case> cases{
        {{403, "{\"success\":false,\"message\":\"Invalid app credentials\"}"}, false,
         "Failed to get OpenAI token: Invalid app credentials"},
        {{200, "{\"success\":false}"}, false, "Failed to get OpenAI token: Unknown error"},
        {{400, "{\"success\":false,\"message\":42}"}, false, "Failed to get OpenAI token: Unknown error"},
        {{500, "<html><body>Bad gateway</body></html>", "text/html"}, false,
         "Failed to parse OpenAI token response: "},
        {{200, "{\"success\":true}"}, false, "Failed to parse OpenAI token response: "},
        {{200, "{\"success\":true,\"data\":{\"token\":7}}"}, false, "Failed to parse OpenAI token response: "},
        {{200, "{\"success\":\"yes\",\"data\":{\"token\":\"t\"}}"}, false, "Failed to parse OpenAI token response: "},
        {{200, "[true]"}, false, "Failed to parse OpenAI token response: "},
        {{200, ""}, false, "Failed to parse OpenAI token response: "},
        {{404, "{\"success\":true,\"data\":{\"token\":\"ek_404\"}}"}, true, "ek_404"},
    };
    TokenResultInbox inbox;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        replyWith(cases[i].reply);
        OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
        const auto outcome = inbox.waitFor(i + 1);
        EXPECT_EQ(outcome.ok, cases[i].ok) << cases[i].reply.body << " -> " << outcome.text;
        const std::string& expected = cases[i].text;
        if (expected.size() >= 2 && expected.compare(expected.size() - 2, 2, ": ") == 0)
            EXPECT_EQ(outcome.text.rfind(expected, 0), 0u) << outcome.text;
        else
            EXPECT_EQ(outcome.text, expected);
    }
    EXPECT_EQ(inbox.count(), cases.size());
}

TEST_F(TokenServiceTest, InvalidConfigurationIsReportedAtOnceAndNothingIsSent) {
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
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TokenServiceTest, FailedTransfersReachTheCallerWithTheTransferError) {
    HostLogCapture log;
    TokenResultInbox inbox;

    setTokenServiceEndpointOverride("http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()));
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    auto outcome = inbox.waitFor(1);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get OpenAI token: ", 0), 0u) << outcome.text;
    EXPECT_GT(outcome.text.size(), std::string("Failed to get OpenAI token: ").size());
    EXPECT_NE(log.text().find("error: [OpenAITokenProvider] Network error: "), std::string::npos);

    // A service that accepts and never answers.
    TransferSettings settings;
    settings.totalTimeout = 300ms;
    orvanta::networkclient::setTransferSettings(settings);
    setTokenServiceEndpointOverride(server.baseURL());
    HttpReply hang;
    hang.hang = true;
    replyWith(hang);
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    outcome = inbox.waitFor(2);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get OpenAI token: ", 0), 0u) << outcome.text;
    EXPECT_NE(outcome.text.find("imed out"), std::string::npos) << outcome.text;

    // A request that cannot even be started still gets its one answer.
    setTokenServiceEndpointOverride("http://127.0.0.1:notaport");
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    ASSERT_EQ(inbox.count(), 3u);
    outcome = inbox.waitFor(3);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get OpenAI token: ", 0), 0u) << outcome.text;
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());
}

TEST_F(TokenServiceTest, LogsTheExchangeWithoutTheSecretOrTheToken) {
    replyWith({200, "{\"success\":true,\"data\":{\"token\":\"ek_secret_token\"}}"});
    HostLogCapture log;
    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    ASSERT_TRUE(inbox.waitFor(1).ok);
    const std::string text = log.text();
    EXPECT_NE(text.find("info: [OpenAITokenProvider] Requesting client secret from: " + server.baseURL() +
                        "/openai/realtime/client-secret"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("debug: [OpenAITokenProvider] Request body: {\"appId\":\"app-1\",\"appSecret\":\"***\","),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("debug: [OpenAITokenProvider] Response status: 200"), std::string::npos) << text;
    EXPECT_NE(text.find("debug: [OpenAITokenProvider] Response body: {\"success\":true,\"data\":{\"token\":\"***\"}}"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(text.find("ek_secret_token"), std::string::npos);
}

TEST_F(TokenServiceTest, ACallbackThatThrowsIsNotCalledASecondTime) {
    replyWith({200, "{\"success\":true,\"data\":{\"token\":\"ek_1\"}}"});
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

TEST(TokenServiceTls, FetchesATokenOverHttpsFromAServerSignedByTheConfiguredCA) {
    testsupport::TestCertificateAuthority ca;
    LocalHttpServer server([](const HttpRequest&) { return HttpReply{200, "{\"success\":true,\"data\":{\"token\":\"ek_tls\"}}"}; },
                           LocalHttpServer::Tls{ca.serverCertificatePem(), ca.serverPrivateKeyPem()});
    Orvanta::setValue("orvanta", "appID", std::string("app-1"));
    Orvanta::setValue("orvanta", "appSecret", std::string("hunter2"));
    TransferSettings settings;
    settings.caFile = ca.caFile();
    orvanta::networkclient::setTransferSettings(settings);
    setTokenServiceEndpointOverride(server.baseURL());

    TokenResultInbox inbox;
    OpenAITokenProvider::shared().getToken(inbox.callback(), realtimeConfig);
    const auto outcome = inbox.waitFor(1);
    clearTokenServiceEndpointOverride();
    orvanta::networkclient::resetTransferSettings();
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, "ek_tls");
    EXPECT_EQ(server.baseURL().rfind("https://127.0.0.1:", 0), 0u);
}

} // namespace
