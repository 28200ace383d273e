#include "token/OpenAITokenProvider.h"

#include "OrvantaSDK/Orvanta.h"
#include "token/TokenResultInbox.h"
#include "token/TokenServiceEndpoint.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>

using namespace orvanta::extensions::openai;
using orvanta::Orvanta;
using tokentest::HostLogCapture;
using tokentest::TokenResultInbox;

// One story in one process: the provider is created before the application
// has stored its credentials, reports what is missing by name, and uses the
// credentials once they are there.
TEST(TokenCredentials, MissingCredentialsAreNamedAndLookedUpAgainOnTheNextCall) {
    orvanta::simulator::SimulatorOptions options;
    options.appCredentials = {{"app-9", "late-secret"}};  // anything else is refused
    orvanta::simulator::Simulator service(options);
    service.start();
    setTokenServiceEndpointOverride(service.tokenBaseUrl());
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
    EXPECT_EQ(service.tokenRequestCount(), 0u);

    Orvanta::setValue("orvanta", "appSecret", std::string("late-secret"));
    OpenAITokenProvider::shared().getToken(inbox.callback(), config);
    outcome = inbox.waitFor(4);
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text.rfind("ek_", 0), 0u) << outcome.text;
    EXPECT_EQ(service.tokenRequestCount(), 1u);
    clearTokenServiceEndpointOverride();
}
