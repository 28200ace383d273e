#include "token/OpenAITokenProvider.h"

#include "OrvantaSDK/Orvanta.h"
#include "networkclient/support/LocalHttpServer.h"
#include "token/TokenResultInbox.h"
#include "token/TokenServiceEndpoint.h"

#include <gtest/gtest.h>

using namespace orvanta::extensions::openai;
using orvanta::Orvanta;
using testsupport::HttpReply;
using testsupport::HttpRequest;
using testsupport::LocalHttpServer;
using tokentest::HostLogCapture;
using tokentest::TokenResultInbox;

// One story in one process: the provider is created before the application
// has stored its credentials, reports what is missing by name, and uses the
// credentials once they are there.
TEST(TokenCredentials, MissingCredentialsAreNamedAndLookedUpAgainOnTheNextCall) {
    LocalHttpServer server(
        [](const HttpRequest&) { return HttpReply{200, "{\"success\":true,\"data\":{\"token\":\"ek_late\"}}"}; });
    setTokenServiceEndpointOverride(server.baseURL());
    Orvanta::clear();
    HostLogCapture log;
    TokenResultInbox inbox;
    const std::string config = "{\"type\":\"realtime\"}";

    OpenAITokenProvider::shared().getToken(inbox.callback(), config);
    ASSERT_EQ(inbox.count(), 1u);
    auto outcome = inbox.waitFor(1);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get Orvanta appID: ", 0), 0u) << outcome.text;
    EXPECT_NE(log.text().find("error: [OpenAITokenProvider] Failed to get Orvanta appID: "), std::string::npos);

    Orvanta::setValue("orvanta", "appID", std::string("app-9"));
    Orvanta::setValue("orvanta", "appSecret", 1.5f);
    OpenAITokenProvider::shared().getToken(inbox.callback(), config);
    outcome = inbox.waitFor(2);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("Failed to get Orvanta appSecret: ", 0), 0u) << outcome.text;
    EXPECT_NE(outcome.text.find("not a string"), std::string::npos) << outcome.text;
    // Named without quoting any of it.
    Orvanta::setValue("orvanta", "appSecret", std::string("late-\xff-secret"));
    OpenAITokenProvider::shared().getToken(inbox.callback(), config);
    EXPECT_EQ(inbox.waitFor(3).text, "Failed to get Orvanta appSecret: the value of 'appSecret' in section "
                                     "'orvanta' is not valid UTF-8 text.");
    EXPECT_TRUE(server.requests().empty());

    Orvanta::setValue("orvanta", "appSecret", std::string("late-secret"));
    OpenAITokenProvider::shared().getToken(inbox.callback(), config);
    outcome = inbox.waitFor(4);
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, "ek_late");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body,
              "{\"appId\":\"app-9\",\"appSecret\":\"late-secret\",\"sessionConfig\":{\"type\":\"realtime\"}}");
    clearTokenServiceEndpointOverride();
}
