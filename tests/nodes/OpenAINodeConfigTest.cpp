// What the host and the application see of the voice node before audio flows:
// its type description, configuration, properties and refusals.
#include "NodeTestSupport.h"

#include "OrvantaSDK/AudioBusFormat.h"
#include "extension/OpenAIExtension.h"
#include "extension/OpenAINodeFactory.h"
#include "nodes/OpenAINode.h"
#include "realtime/RealtimeEndpoint.h"

#include <gtest/gtest.h>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using nodetest::LogCapture;

namespace {

class OpenAINodeConfig : public ::testing::Test {
protected:
    void SetUp() override {
        // Nothing listens on port 1: sessions fail fast and stay local.
        setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime");
    }
    void TearDown() override { clearRealtimeEndpointOverride(); }
};

std::string str(const OVAny& v) { return v.convert<std::string>(); }

} // namespace

TEST_F(OpenAINodeConfig, TypeDescriptionTexts) {
    NodeTypeInfo info = OpenAINode::getNodeTypeInfo();
    EXPECT_EQ(info.getFQTypeName(), "OpenAI.Realtime");
    EXPECT_EQ(info.getDisplayName(), "OpenAI Node");
    EXPECT_EQ(info.getDescription(), "Sends audio data to OpenAI's API and receives audio responses.");
    EXPECT_EQ(info.getCategories(), (std::vector<std::string>{"AI", "Voice"}));

    const OVAnyMap& apiKey = info.getConfiguration("apiKey");
    EXPECT_EQ(str(apiKey.at("name")), "API Key");
    EXPECT_EQ(str(apiKey.at("description")), "Your OpenAI API key.");
    EXPECT_EQ(str(apiKey.at("default")), "");
    const OVAnyMap& chunk = info.getConfiguration("inputChunkMs");
    EXPECT_EQ(str(chunk.at("type")), "int");
    EXPECT_EQ(chunk.at("default").convert<float>(), 1000.0f);
    EXPECT_EQ(chunk.at("min").convert<float>(), 20.0f);
    EXPECT_EQ(chunk.at("max").convert<float>(), 1000.0f);

    EXPECT_EQ(info.getProperties().keys(),
              (std::vector<std::string>{"instructions", "speed", "turnDetection", "noiseReduction",
                                        "transcriptionModel", "voice", "tools", "toolChoice"}));
    const OVAnyMap& speed = info.getProperty("speed");
    EXPECT_EQ(str(speed.at("type")), "float");
    EXPECT_EQ(speed.at("min").convert<float>(), 0.5f);
    EXPECT_EQ(speed.at("max").convert<float>(), 1.5f);
    EXPECT_FALSE(speed.at("readOnly").convert<bool>());
    EXPECT_EQ(str(info.getProperty("turnDetection").at("description")),
              "Turn detection mode. \"none\" requires manual commitAudioBuffer calls; \"server_vad\" lets OpenAI "
              "detect turn end automatically.");
    EXPECT_EQ(info.getProperty("voice").at("options").convert<OVAnyVector>().size(), 10u);
    EXPECT_EQ(str(info.getProperty("tools").at("type")), "object");

    EXPECT_EQ(info.getActions().keys(),
              (std::vector<std::string>{"createResponse", "updateSession", "resetSession", "commitAudioBuffer",
                                        "cancelResponse", "submitToolResult", "submitToolError", "truncateResponse",
                                        "clearOutputBuffer", "clearInputBuffer", "pauseOutput", "resumeOutput"}));
    const OVAnyMap& submit = info.getAction("submitToolResult");
    const OVAnyMap params = submit.at("parameters").convert<OVAnyMap>();
    EXPECT_EQ(params.keys(), (std::vector<std::string>{"callId", "outputJson"}));
    EXPECT_FALSE(params.at("callId").convert<OVAnyMap>().at("isOptional").convert<bool>());
    EXPECT_FALSE(info.getAction("cancelResponse").hasKey("parameters"));
    EXPECT_TRUE(info.getAction("createResponse")
                    .at("parameters")
                    .convert<OVAnyMap>()
                    .at("text")
                    .convert<OVAnyMap>()
                    .at("isOptional")
                    .convert<bool>());

    EXPECT_EQ(info.getEvents().size(), 10u);
    const OVAnyMap& toolCall = info.getEvent("toolCall");
    EXPECT_EQ(toolCall.at("data").convert<OVAnyMap>().keys(),
              (std::vector<std::string>{"callId", "name", "argumentsJson"}));
    EXPECT_FALSE(info.getEvent("sessionStarting").hasKey("data"));

    try {
        info.getEvent("sessionCreated");
        FAIL() << "sessionCreated is emitted but not declared";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "[NodeTypeInfo] Event key 'sessionCreated' not found for node type 'OpenAI.Realtime'.");
    }
}

TEST_F(OpenAINodeConfig, DefaultsAndTheLibraryWideKey) {
    OpenAIExtension::getInstance()->initialize(OVAnyMap{{"apiKey", "sk-library"}});
    OpenAINode node(OVAnyMap{{"apiKey", ""}});
    EXPECT_EQ(str(node.getValue("apiKey").getValue()), "sk-library") << "an empty key falls back";
    EXPECT_EQ(str(node.getValue("voice").getValue()), "cedar");
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 1.0f);
    EXPECT_EQ(str(node.getValue("turnDetection").getValue()), "server_vad");
    EXPECT_EQ(str(node.getValue("noiseReduction").getValue()), "none");
    EXPECT_EQ(str(node.getValue("transcriptionModel").getValue()), "gpt-4o-mini-transcribe");
    EXPECT_EQ(str(node.getValue("toolChoice").getValue()), "auto");
    EXPECT_EQ(str(node.getValue("instructions").getValue()), "");
    EXPECT_EQ(node.getValue("tools").getValue().convert<OVAnyVector>().size(), 0u);
    OpenAIExtension::getInstance()->initialize(OVAnyMap{{"apiKey", ""}});
}

TEST_F(OpenAINodeConfig, ConfigurationValuesAreStoredAsGiven) {
    LogCapture log;
    OpenAINode node(OVAnyMap{{"apiKey", "sk-test"},
                             {"voice", "not-a-voice"},
                             {"speed", 3.0f},
                             {"Voice", "marin"},
                             {"tools", OVAnyVector{OVAnyMap{{"type", "function"}}}}});
    EXPECT_EQ(str(node.getValue("voice").getValue()), "not-a-voice");
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 3.0f);
    EXPECT_EQ(node.getValue("tools").getValue().convert<OVAnyVector>().size(), 1u);
    EXPECT_EQ(log.count("[OpenAINode] Unknown parameter: Voice"), 1);
}

TEST_F(OpenAINodeConfig, WrongTypesThrowAndChangeNothing) {
    EXPECT_THROW(OpenAINode(OVAnyMap{{"apiKey", "sk-test"}, {"speed", "fast"}}), std::bad_any_cast);
    EXPECT_THROW(OpenAINode(OVAnyMap{{"apiKey", "sk-test"}, {"voice", 2.0f}}), std::bad_any_cast);
    EXPECT_THROW(OpenAINode(OVAnyMap{{"apiKey", "sk-test"}, {"tools", "[]"}}), std::bad_any_cast);

    OpenAINode node(OVAnyMap{{"apiKey", "sk-test"}});
    EXPECT_THROW(node.setValue("speed", OVAny("1.2")), std::bad_any_cast);
    EXPECT_THROW(node.setValue("instructions", OVAny(true)), std::bad_any_cast);
    EXPECT_THROW(node.setValue("tools", OVAny("[]")), std::bad_any_cast);
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 1.0f);
    EXPECT_EQ(str(node.getValue("instructions").getValue()), "");

    EXPECT_TRUE(node.setValue("speed", OVAny(1.25f)).hasValue());
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 1.25f);
}

TEST_F(OpenAINodeConfig, BusFormatsMustMatchAndBeMono) {
    LogCapture log;
    OpenAINode node(OVAnyMap{{"apiKey", "sk-test"}});
    AudioBusFormat mono48(48000, 1), stereo48(48000, 2), mono24(24000, 1);
    EXPECT_TRUE(node.setBusFormat(mono48, mono48));
    EXPECT_FALSE(node.setBusFormat(stereo48, stereo48));
    EXPECT_EQ(log.count("[OpenAINode] OpenAI node only supports mono audio input and output."), 1);
    EXPECT_FALSE(node.setBusFormat(mono48, mono24));
    EXPECT_EQ(log.count("[OpenAINode] Input and output bus formats do not match."), 1);
}

TEST_F(OpenAINodeConfig, ActionsWithoutAClientFailWithTheirTexts) {
    OpenAINode node(OVAnyMap{{"apiKey", "sk-test"}});
    auto failure = [&](const char* action, const OVAnyMap& params = OVAnyMap()) {
        Result<OVAny> r = node.callAction(action, params);
        return r.hasError() ? r.getError().getMessage() : std::string("<success>");
    };
    // The session never comes up (nothing listens), so there is no active
    // session whether or not a client object exists yet.
    EXPECT_EQ(failure("createResponse"), "Failed to create response.");
    EXPECT_EQ(failure("createResponse", OVAnyMap{{"text", "hi"}}), "Failed to create response.");
    EXPECT_EQ(failure("createResponse", OVAnyMap{{"text", 3.0f}}), "Failed to create response.");
    EXPECT_EQ(failure("commitAudioBuffer"), "Failed to commit audio buffer.");
    EXPECT_EQ(failure("cancelResponse"), "Failed to cancel response.");
    EXPECT_EQ(failure("submitToolResult", OVAnyMap{{"callId", "c1"}, {"outputJson", "{}"}}),
              "Failed to submit tool result.");
    EXPECT_EQ(failure("submitToolError", OVAnyMap{{"callId", "c1"}, {"errorJson", "{}"}}),
              "Failed to submit tool error.");
    EXPECT_EQ(failure("clearInputBuffer"), "Failed to clear OpenAI input buffer.");
    EXPECT_EQ(failure("updateSession"), "<success>");
    EXPECT_EQ(failure("pauseOutput"), "<success>");
    EXPECT_EQ(failure("resumeOutput"), "<success>");
    EXPECT_EQ(failure("clearOutputBuffer"), "<success>");

    // A missing parameter is the caller's mistake and reaches the caller.
    EXPECT_ANY_THROW(node.callAction("submitToolResult", OVAnyMap{{"callId", "c1"}}));
    EXPECT_ANY_THROW(node.callAction("submitToolError", OVAnyMap{{"errorJson", "{}"}}));
}

TEST_F(OpenAINodeConfig, InputChunkMsIsCheckedAtConstructionOnBothNodes) {
    OpenAINodeFactory factory;
    for (const char* type : {"OpenAI.Realtime", "OpenAI.RealtimeTranscribe"}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(factory.createNode(type, OVAnyMap{{"apiKey", "sk-test"}})->getValue("inputChunkMs").getValue()
                      .convert<float>(),
                  1000.0f);
        for (int ms : {20, 30, 550, 1000})
            EXPECT_EQ(factory.createNode(type, OVAnyMap{{"apiKey", "sk-test"}, {"inputChunkMs", ms}})
                          ->getValue("inputChunkMs")
                          .getValue()
                          .convert<float>(),
                      static_cast<float>(ms));
        for (float ms : {0.0f, 10.0f, 15.0f, 25.0f, 20.5f, 1010.0f, -20.0f}) {
            try {
                factory.createNode(type, OVAnyMap{{"apiKey", "sk-test"}, {"inputChunkMs", ms}});
                ADD_FAILURE() << ms << " was accepted";
            } catch (const std::invalid_argument& e) {
                EXPECT_NE(std::string(e.what()).find("Invalid inputChunkMs"), std::string::npos) << e.what();
            }
        }
        EXPECT_THROW(factory.createNode(type, OVAnyMap{{"inputChunkMs", "100"}}), std::bad_any_cast);
    }
}

TEST_F(OpenAINodeConfig, FactoryCreatesBothTypesAndPassesConstructorFailuresOn) {
    OpenAINodeFactory factory;
    auto voice = factory.createNode("OpenAI.Realtime", OVAnyMap{{"apiKey", "sk-test"}});
    ASSERT_NE(voice, nullptr);
    EXPECT_NE(dynamic_cast<OpenAINode*>(voice.get()), nullptr);
    auto transcribe = factory.createNode("OpenAI.RealtimeTranscribe", OVAnyMap{{"apiKey", "sk-test"}});
    ASSERT_NE(transcribe, nullptr);
    EXPECT_THROW(factory.createNode("OpenAI.Realtime", OVAnyMap{{"speed", "x"}}), std::bad_any_cast);
}
