#include "OrvantaSDK/ExtensionManager.h"
#include "extension/OpenAIExtension.h"
#include "extension/OpenAINodeFactory.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

using namespace orvanta;
using orvanta::extensions::openai::OpenAIExtension;

TEST(OpenAIExtension, InitializeStoresTheKeyAndEachFactoryIsFresh) {
    OpenAIExtension extension;
    EXPECT_TRUE(extension.initialize(OVAnyMap()).hasValue());
    EXPECT_EQ(extension.getApiKey(), "");
    EXPECT_TRUE(extension.initialize(OVAnyMap{{"ApiKey", "wrong-case"}, {"other", 1.0f}}).hasValue());
    EXPECT_EQ(extension.getApiKey(), "");
    EXPECT_TRUE(extension.initialize(OVAnyMap{{"apiKey", "sk-one"}}).hasValue());
    EXPECT_EQ(extension.getApiKey(), "sk-one");
    try {
        extension.initialize(OVAnyMap{{"apiKey", 42.0f}});
        FAIL() << "a non-string key must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad format for OpenAI API key in config.");
    }
    EXPECT_EQ(extension.getApiKey(), "sk-one") << "a refused value keeps the previous key";

    auto first = extension.getNodeFactory(), second = extension.getNodeFactory();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->getNodeTypePrefix(), "OpenAI");
    std::vector<std::string> names;
    for (const auto& info : first->getNodeTypes())
        names.push_back(info.getFQTypeName());
    EXPECT_EQ(names, (std::vector<std::string>{"OpenAI.Realtime", "OpenAI.RealtimeTranscribe"}));
}

// Loading the library registers the extension; the host finds it by these
// exported names, and a load replaces the singleton with a fresh one.
TEST(OpenAIExtension, LoadingRegistersAFreshSingletonThroughExportedEntryPoints) {
    const auto registered = ExtensionManager::getInstance().findExtension("OpenAI");
    ASSERT_NE(registered, nullptr);
    EXPECT_EQ(registered.get(), OpenAIExtension::getInstance());
    EXPECT_EQ(registered->getDescription(), "Integration with OpenAI's Realtime API for conversational voice interactions.");
    for (const char* name : {"ov_extension_load", "ov_extension_anchor_OrvantaOpenAI"})
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
    ov_extension_load();
    ov_extension_anchor_OrvantaOpenAI();

    OpenAIExtension::getInstance()->initialize(OVAnyMap{{"apiKey", "sk-old"}});
    OpenAIExtension* before = OpenAIExtension::getInstance();
    OpenAIExtension::load();
    EXPECT_NE(OpenAIExtension::getInstance(), before);
    EXPECT_EQ(OpenAIExtension::getInstance()->getApiKey(), "");
    EXPECT_EQ(ExtensionManager::getInstance().findExtension("OpenAI").get(), OpenAIExtension::getInstance());
}
