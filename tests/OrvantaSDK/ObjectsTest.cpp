// The host's values, objects, events and factories, as the nodes use them.
#include "OrvantaSDK/ExtensionManager.h"
#include "OrvantaSDK/NodeFactory.h"
#include "OrvantaSDK/NodeTypeInfo.h"
#include "OrvantaSDK/Orvanta.h"

#include <gmock/gmock.h>

#include <limits>

using namespace orvanta;
using testing::ThrowsMessage;

namespace {

// A property of each kind and an action that calls another action and emits an event, as the library's nodes do.
class EchoNode : public Node {
public:
    explicit EchoNode(const OVAnyMap& config) : Node(config) {
        if (config.hasKey("speed"))
            speed = config.at("speed").convert<float>(); // a wrong type throws out of the constructor
        registerConfiguration("apiKey", {}, OVAny("key-1"));
        registerProperty("speed", {}, [this] { return OVAny(speed); }, [this](const OVAny& v) { speed = v.convert<float>(); });
        registerProperty("model", {{"readOnly", true}}, [] { return OVAny("m"); }, [](const OVAny&) { ADD_FAILURE(); });
        registerAction("say", {}, [this](const OVAnyMap& params) -> Result<OVAny> {
            if (!params.hasKey("text"))
                return Error("Nothing to say.");
            emitEvent("said", {{"text", params.at("text")}});
            return OVAny();
        });
        registerAction("sayTwice", {}, [this](const OVAnyMap& params) {
            callAction("say", params);
            return callAction("say", params);
        });
    }
    float speed = 1.0f;
};

struct DemoFactory : NodeFactory {
    DemoFactory() {
        NodeTypeInfo info("Demo", "Echo", "Echo Node", "Repeats what it hears.", {"AI"});
        info.addAction("say", {});
        registerNode(info, [](const OVAnyMap& config) { return new EchoNode(config); });
    }
    std::string getNodeTypePrefix() const override { return "Demo"; }
};

} // namespace

TEST(OrvantaObject, ValuesKeepOrderAndWriteJsonNodesAreMadeByTypeAndTheirPartsWorkOrSayWhatIsWrong) {
    OVAnyMap map{{"zeta", 1}, {"alpha", "a"}, {"mid", true}, {"alpha", "b"}};
    map.set("new", 2);
    map.set("mid", false);
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"zeta", "alpha", "mid", "new"}));
    EXPECT_EQ(map.at("alpha").convert<std::string>(), "b");
    EXPECT_TRUE(map.remove("zeta"));
    EXPECT_FALSE(map.remove("zeta") || map.hasKey("zeta"));
    EXPECT_THROW(map.at("zeta"), std::out_of_range);
    // Host numbers are floats, whatever literal made them; nothing else converts.
    EXPECT_EQ(map.at("new").convert<float>(), 2.0f);
    EXPECT_EQ(OVAny(1.5).convert<float>(), 1.5f);
    EXPECT_THROW(OVAny("3").convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(true).convert<float>(), std::bad_any_cast);
    static_assert(!std::is_constructible_v<OVAny, int*>); // a pointer must not quietly become a bool

    OVAnyMap tool{{"type", "function"}, {"parameters", OVAnyMap{{"required", OVAnyVector{"city"}}}}};
    OVAnyMap every{{"tools", OVAnyVector{tool}}, {"speed", 0.1f}, {"count", 3}, {"big", 1e10f}, {"on", false},
                 {"none", OVAny()}, {"empty", OVAnyMap()}, {"q\"uote", "a\\b\n\t\x01 caf\xc3\xa9"}};
    EXPECT_EQ(OVAnyMap::mapToJson(every), R"({"tools":[{"type":"function","parameters":{"required":["city"]}}],)"
                                        R"("speed":0.1,"count":3,"big":1e+10,"on":false,"none":null,"empty":{},)"
                                        R"("q\"uote":"a\\b\n\t\u0001 café"})");
    for (float v : {1.0f / 3.0f, 123456.789f, -2.5e-7f, 16777216.0f}) { // the text reads back as the same float
        const std::string json = OVAnyMap::mapToJson({{"v", v}});
        EXPECT_EQ(std::strtof(json.c_str() + 5, nullptr), v) << json;
    }
    EXPECT_THROW(OVAnyMap::mapToJson({{"f", OVAny([] { return OVAny(); })}}), std::invalid_argument);
    EXPECT_THROW(OVAnyMap::mapToJson({{"x", OVAnyVector{std::numeric_limits<float>::quiet_NaN()}}}),
                 std::invalid_argument);
    EXPECT_THROW(OVAnyMap::mapToJson({{"x", std::numeric_limits<float>::infinity()}}), std::invalid_argument);

    // Objects: nodes made by type; their properties, actions and events work or say what is wrong.
    DemoFactory factory;
    auto made = factory.createNode("Demo.Echo", {{"speed", 0.5f}});
    EXPECT_EQ(made->getTypeName() + "/" + made->getDisplayName(), "Demo.Echo/Echo Node");
    EXPECT_EQ(static_cast<EchoNode&>(*made).speed, 0.5f);
    EXPECT_NE(factory.createNode("Echo", {}), nullptr);
    EXPECT_THAT([&] { factory.createNode("Demo.Nope", {}); },
                ThrowsMessage<std::invalid_argument>("[NodeFactory] Unknown node type 'Demo.Nope'."));
    EXPECT_THROW(factory.createNode("Demo.Echo", {{"speed", "fast"}}), std::bad_any_cast); // unchanged
    EXPECT_THAT([&] { factory.getNodeTypes().at(0).getEvent("x"); },
                ThrowsMessage<std::exception>("[NodeTypeInfo] Event key 'x' not found for node type 'Demo.Echo'."));
    Orvanta::setValue("orvanta", "appID", "id-1"); // the host's configuration store
    EXPECT_EQ(Orvanta::getValue("orvanta", "appID").getValue().convert<std::string>(), "id-1");
    Orvanta::removeValue("orvanta", "appID");
    EXPECT_EQ(Orvanta::getValue("orvanta", "appID").getError().getMessage(),
              "No configuration value for 'appID' in section 'orvanta'.");
    const Result<OVAny> failed = Error("Failed.");
    EXPECT_THAT([&] { failed.getValue(); },
                ThrowsMessage<std::exception>("Result does not contain a value, operation failed."));

    EchoNode node(OVAnyMap{});
    ASSERT_TRUE(node.setValue("speed", OVAny(1.25f)).hasValue());
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 1.25f);
    EXPECT_EQ(node.getValue("apiKey").getValue().convert<std::string>(), "key-1");
    EXPECT_THROW(node.setValue("speed", OVAny("fast")), std::bad_any_cast); // the setter's failure reaches the caller
    EXPECT_EQ(node.speed, 1.25f);
    EXPECT_EQ(node.setValue("nope", OVAny(1)).getError().getMessage(), "Unknown property 'nope'.");
    EXPECT_EQ(node.getValue("nope").getError().getMessage(), "Unknown property 'nope'.");
    EXPECT_EQ(node.setValue("model", OVAny("x")).getError().getMessage(), "Property 'model' is read-only.");
    EXPECT_EQ(node.setValue("apiKey", OVAny("x")).getError().getMessage(), "Property 'apiKey' is read-only.");
    EXPECT_EQ(node.callAction("nope", {}).getError().getMessage(), "Unknown action 'nope'.");
    EXPECT_EQ(node.callAction("say", {}).getError().getMessage(), "Nothing to say.");
    int heard = 0;
    node.addEventListener("said", [&](const std::string&, const OVAnyMap& p) { heard += p.at("text").isString(); });
    EXPECT_TRUE(node.callAction("sayTwice", {{"text", "hi"}}).hasValue()); // a handler may run the object's actions
    EXPECT_EQ(heard, 2);
    EXPECT_EQ(node.getPropertyNames(), (std::vector<std::string>{"speed", "model"}));
    EXPECT_THROW(node.registerProperty("bad", {}, OVAny("not a getter"), OVAny()), std::bad_any_cast);
    EXPECT_EQ(node.getPropertyNames().size(), 2u);

    // Listeners hear events in order, past a throwing one; one may remove itself.
    EventEmitter& emitter = node;
    std::vector<std::string> log;
    emitter.addEventListener("a", [&](const std::string& n, const OVAnyMap&) { log.push_back("a:" + n); });
    const auto all = emitter.addEventListener(EventEmitter::AllEvents,
                                              [&](const std::string& n, const OVAnyMap&) { log.push_back("*:" + n); });
    emitter.addEventListener("a", [&](const std::string&, const OVAnyMap&) { throw std::runtime_error("boom"); });
    EventEmitter::ListenerId self = 0;
    self = emitter.addEventListener("b", [&](const std::string& n, const OVAnyMap&) {
        log.push_back("once:" + n);
        emitter.removeEventListener(self); // must not deadlock on itself
    });
    emitter.emitEvent("a", {});
    emitter.emitEvent("b", {});
    EXPECT_TRUE(emitter.removeEventListener(all));
    EXPECT_FALSE(emitter.removeEventListener(all));
    emitter.emitEvent("b", {});
    EXPECT_EQ(log, (std::vector<std::string>{"a:a", "*:a", "*:b", "once:b"}));
}
