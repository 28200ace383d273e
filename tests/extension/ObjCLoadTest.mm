#import "extension/OVOpenAIExtension.h"

#include "extension/OpenAIExtension.h"

#include <gtest/gtest.h>

using orvanta::extensions::openai::OpenAIExtension;

TEST(OVOpenAIExtension, LoadExtensionRegistersAFreshSingleton) {
    OpenAIExtension::getInstance()->initialize(orvanta::OVAnyMap{{"apiKey", "sk-before"}});
    OpenAIExtension* before = OpenAIExtension::getInstance();

    [OVOpenAIExtension loadExtension];

    OpenAIExtension* after = OpenAIExtension::getInstance();
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, before);
    EXPECT_EQ(after->getApiKey(), "");
}
