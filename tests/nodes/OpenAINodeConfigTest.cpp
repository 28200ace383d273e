// What the host and the application see of both nodes before audio flows:
// their type descriptions, configuration, properties and refusals.
#include "NodeTestSupport.h"

#include "OrvantaSDK/AudioBusFormat.h"
#include "extension/OpenAIExtension.h"
#include "nodes/OpenAINode.h"
#include "nodes/OpenAITranscribeNode.h"

using namespace orvanta;
using namespace orvanta::extensions::openai;
using namespace nodetest;

namespace {

const char* const kTypes[] = {"OpenAI.Realtime", "OpenAI.RealtimeTranscribe"};
const json kData = json::parse(readDataFile("config.json"));

using OpenAINodeConfig = OfflineTest;

nlohmann::ordered_json describe(const NodeTypeInfo& info) {
    using ordered = nlohmann::ordered_json;
    return {{"type", info.getFQTypeName()},
            {"displayName", info.getDisplayName()},
            {"description", info.getDescription()},
            {"categories", info.getCategories()},
            {"configuration", ordered::parse(OVAnyMap::mapToJson(info.getConfigurations()))},
            {"properties", ordered::parse(OVAnyMap::mapToJson(info.getProperties()))},
            {"actions", ordered::parse(OVAnyMap::mapToJson(info.getActions()))},
            {"events", ordered::parse(OVAnyMap::mapToJson(info.getEvents()))}};
}

// Every configuration entry and property the type declares, read back.
std::string values(Node& node, const NodeTypeInfo& info) {
    OVAnyMap all;
    for (const OVAnyMap* group : {&info.getConfigurations(), &info.getProperties()})
        for (const auto& key : group->keys())
            all.set(key, node.getValue(key).getValue());
    return OVAnyMap::mapToJson(all);
}

} // namespace

TEST_F(OpenAINodeConfig, TypeDescriptionsOfBothNodes) {
    // The key order is part of what the host shows, so it is compared too.
    const std::string actual = nlohmann::ordered_json::array({describe(OpenAINode::getNodeTypeInfo()),
                                            describe(OpenAITranscribeNode::getNodeTypeInfo())})
                                   .dump(1) + "\n";
    EXPECT_EQ(actual, readDataFile("type_descriptions.json"));
}

TEST_F(OpenAINodeConfig, DefaultsAndTheLibraryWideKey) {
    OpenAIExtension::getInstance()->initialize(OVAnyMap{{"apiKey", "sk-library"}});
    OpenAINode voice(OVAnyMap{{"apiKey", ""}});
    OpenAITranscribeNode transcribe{OVAnyMap()};
    OpenAIExtension::getInstance()->initialize(OVAnyMap{{"apiKey", ""}});
    EXPECT_EQ(values(voice, OpenAINode::getNodeTypeInfo()), kData["defaults"]["OpenAI.Realtime"]);
    EXPECT_EQ(values(transcribe, OpenAITranscribeNode::getNodeTypeInfo()), kData["defaults"]["OpenAI.RealtimeTranscribe"]);
}

TEST_F(OpenAINodeConfig, ValuesAreStoredAsGivenAndWrongTypesThrowChangingNothing) {
    LogCapture log;
    OpenAINode node(OVAnyMap{{"apiKey", "sk-test"}, {"voice", "not-a-voice"}, {"speed", 3.0f}, {"Voice", "marin"},
                             {"tools", OVAnyVector{OVAnyMap{{"type", "function"}}}}, {"inputChunkMs", 20},
                             {"instructions", "be brief"}, {"turnDetection", "none"}, {"noiseReduction", "near_field"},
                             {"transcriptionModel", "whisper-1"}, {"toolChoice", "required"}});
    OpenAITranscribeNode transcribe(OVAnyMap{{"apiKey", "sk-test"}, {"language", "en"}, {"transcriptionDelay", "high"}});
    const std::string stored = values(node, OpenAINode::getNodeTypeInfo());
    EXPECT_EQ(stored, kData["storedAsGiven"]);
    EXPECT_EQ(log.count("[OpenAINode] Unknown parameter: Voice"), 1);
    EXPECT_EQ(log.count("[OpenAITranscribeNode] Unknown parameter: language"), 1);

    const std::pair<const char*, OVAny> wrongForVoice[] = {{"speed", OVAny("fast")}, {"voice", OVAny(2.0f)},
                                                          {"tools", OVAny("[]")},   {"apiKey", OVAny(1.0f)},
                                                          {"inputChunkMs", OVAny("100")}};
    for (const auto& [key, value] : wrongForVoice)
        EXPECT_THROW(OpenAINode(OVAnyMap{{key, value}}), std::bad_any_cast) << key;
    EXPECT_THROW(OpenAITranscribeNode(OVAnyMap{{"transcriptionLanguage", true}}), std::bad_any_cast);
    EXPECT_THROW(OpenAITranscribeNode(OVAnyMap{{"inputChunkMs", "100"}}), std::bad_any_cast);

    EXPECT_THROW(node.setValue("speed", OVAny("1.2")), std::bad_any_cast);
    EXPECT_THROW(node.setValue("instructions", OVAny(true)), std::bad_any_cast);
    EXPECT_THROW(node.setValue("tools", OVAny("[]")), std::bad_any_cast);
    EXPECT_THROW(transcribe.setValue("transcriptionDelay", OVAny(2.0f)), std::bad_any_cast);
    EXPECT_EQ(values(node, OpenAINode::getNodeTypeInfo()), stored);
    EXPECT_EQ(transcribe.getValue("transcriptionDelay").getValue().convert<std::string>(), "high");
    EXPECT_TRUE(node.setValue("speed", OVAny(1.25f)).hasValue());
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 1.25f);
}

// Bus formats must be mono, and the voice node's must match; actions fail
// with their texts while there is no session.
TEST_F(OpenAINodeConfig, BusFormatsAndActionsWithoutASession) {
    LogCapture log;
    OpenAINode voice(OVAnyMap{{"apiKey", "sk-test"}});
    OpenAITranscribeNode transcribe(OVAnyMap{{"apiKey", "sk-test"}});
    AudioBusFormat mono48(48000, 1), stereo48(48000, 2), mono24(24000, 1), mono16(16000, 1);
    EXPECT_TRUE(voice.setBusFormat(mono48, mono48));
    EXPECT_FALSE(voice.setBusFormat(stereo48, stereo48));
    EXPECT_EQ(log.count("[OpenAINode] OpenAI node only supports mono audio input and output."), 1);
    EXPECT_FALSE(voice.setBusFormat(mono48, mono24));
    EXPECT_EQ(log.count("[OpenAINode] Input and output bus formats do not match."), 1);
    EXPECT_FALSE(transcribe.setBusFormat(stereo48));
    EXPECT_EQ(log.count("[OpenAITranscribeNode] Only mono audio is supported."), 1);
    EXPECT_TRUE(transcribe.setBusFormat(mono16));

    auto outcome = [](Node& n, const char* action, const OVAnyMap& params = OVAnyMap()) {
        Result<OVAny> r = n.callAction(action, params);
        return r.hasError() ? r.getError().getMessage() : std::string("<success>");
    };
    // The session never comes up (nothing listens), whether or not a client
    // object exists yet.
    for (const auto& [action, text] : kData["actionsWithoutASession"].items())
        EXPECT_EQ(outcome(voice, action.c_str()), text) << action;
    EXPECT_EQ(outcome(voice, "createResponse", OVAnyMap{{"text", "hi"}}), "Failed to create response.");
    EXPECT_EQ(outcome(voice, "createResponse", OVAnyMap{{"text", 3.0f}}), "Failed to create response.");
    EXPECT_EQ(outcome(voice, "submitToolResult", OVAnyMap{{"callId", "c1"}, {"outputJson", "{}"}}),
              "Failed to submit tool result.");
    EXPECT_EQ(outcome(voice, "submitToolError", OVAnyMap{{"callId", "c1"}, {"errorJson", "{}"}}),
              "Failed to submit tool error.");
    EXPECT_EQ(outcome(transcribe, "commitAudioBuffer"), "Failed to commit audio buffer.");

    // A missing parameter is the caller's mistake and reaches the caller.
    EXPECT_ANY_THROW(voice.callAction("submitToolResult", OVAnyMap{{"callId", "c1"}}));
    EXPECT_ANY_THROW(voice.callAction("submitToolError", OVAnyMap{{"errorJson", "{}"}}));
}

TEST_F(OpenAINodeConfig, InputChunkMsIsAMultipleOfTenFrom20To1000OnBothNodes) {
    for (const char* type : kTypes) {
        SCOPED_TRACE(type);
        for (int ms : {20, 30, 550, 1000})
            EXPECT_EQ(makeNode(type, OVAnyMap{{"apiKey", "sk-test"}, {"inputChunkMs", ms}})
                          ->getValue("inputChunkMs").getValue().convert<float>(),
                      static_cast<float>(ms));
        for (float ms : {0.0f, 10.0f, 15.0f, 25.0f, 20.5f, 1010.0f, -20.0f}) {
            try {
                makeNode(type, OVAnyMap{{"apiKey", "sk-test"}, {"inputChunkMs", ms}});
                ADD_FAILURE() << ms << " was accepted";
            } catch (const std::invalid_argument& e) {
                EXPECT_NE(std::string(e.what()).find("Invalid inputChunkMs"), std::string::npos) << e.what();
            }
        }
    }
}
