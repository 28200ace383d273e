// The host's values, objects, events, factories and configuration store.
#include "OrvantaSDK/ExtensionManager.h"
#include "OrvantaSDK/NodeFactory.h"
#include "OrvantaSDK/NodeTypeInfo.h"
#include "OrvantaSDK/Orvanta.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

using namespace orvanta;

namespace {

NodeTypeInfo sampleInfo() {
    NodeTypeInfo info("Demo", "Echo", "Echo Node", "Repeats what it hears.", {"AI"});
    info.addConfiguration("apiKey", {{"type", "string"}});
    info.addProperty("speed", {{"max", 1.5f}, {"readOnly", false}});
    info.addProperty("model", {{"readOnly", true}});
    info.addAction("say", {});
    info.addEvent("said", {});
    return info;
}

// One property of each kind, an action that calls another action, and an
// event, registered as the library's nodes do.
class EchoNode : public Node {
public:
    explicit EchoNode(const OVAnyMap& config) : Node(config) {
        if (config.hasKey("speed"))
            speed = config.at("speed").convert<float>(); // a wrong type throws out of the constructor
        const NodeTypeInfo info = sampleInfo();
        registerConfiguration("apiKey", info.getConfiguration("apiKey"), OVAny("key-1"));
        registerProperty("speed", info.getProperty("speed"), [this] { return OVAny(speed); },
                         [this](const OVAny& v) { speed = v.convert<float>(); });
        registerProperty("model", info.getProperty("model"), [] { return OVAny("m"); },
                         [](const OVAny&) { ADD_FAILURE() << "read-only setter ran"; });
        registerAction("say", info.getAction("say"), [this](const OVAnyMap& params) -> Result<OVAny> {
            if (!params.hasKey("text"))
                return Error("Nothing to say.");
            emitEvent("said", {{"text", params.at("text")}});
            return OVAny();
        });
        registerAction("sayTwice", {}, [this](const OVAnyMap& params) -> Result<OVAny> {
            callAction("say", params);
            return callAction("say", params);
        });
        registerEvent("said", info.getEvent("said"));
    }
    float speed = 1.0f;
};

struct DemoFactory : NodeFactory {
    DemoFactory() { registerNode(sampleInfo(), [](const OVAnyMap& config) { return new EchoNode(config); }); }
    std::string getNodeTypePrefix() const override { return "Demo"; }
};

struct DemoExtension : Extension {
    explicit DemoExtension(std::string extensionName) : name(std::move(extensionName)) {}
    std::string getName() const override { return name; }
    std::string getDescription() const override { return ""; }
    std::shared_ptr<NodeFactory> getNodeFactory() override { return nullptr; }
    std::string name;
};

template <typename F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(OVAny, ConvertsOnlyToTheTypeItHolds) {
    EXPECT_EQ(OVAny("text").convert<std::string>(), "text");
    EXPECT_EQ(OVAny(1.5).convert<float>(), 1.5f); // double literals are host floats
    EXPECT_EQ(OVAny(3).convert<float>(), 3.0f);   // so are ints
    EXPECT_TRUE(OVAny(true).convert<bool>());
    EXPECT_THROW(OVAny(3.0f).convert<std::string>(), std::bad_any_cast);
    EXPECT_THROW(OVAny("3").convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(true).convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny().convert<std::string>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(OVAnyVector{}).convert<OVAnyMap>(), std::bad_any_cast);
    static_assert(!std::is_constructible_v<OVAny, int*>); // a pointer must not quietly become a bool
    EXPECT_TRUE(OVAny(static_cast<const char*>(nullptr)).isString());
}

TEST(OVAnyMap, KeepsInsertionOrderReplacesInPlaceAndWritesCompactJsonOrRefuses) {
    OVAnyMap map{{"zeta", 1}, {"alpha", "a"}, {"mid", true}, {"alpha", "b"}};
    map.set("new", 2);
    map.set("mid", false);
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"zeta", "alpha", "mid", "new"}));
    EXPECT_EQ(map.at("alpha").convert<std::string>(), "b");
    EXPECT_TRUE(map.remove("zeta"));
    EXPECT_FALSE(map.remove("zeta") || map.hasKey("zeta"));
    EXPECT_THROW(map.at("zeta"), std::out_of_range);
    EXPECT_EQ(map.size(), 3u);

    OVAnyMap tool{{"type", "function"}, {"parameters", OVAnyMap{{"required", OVAnyVector{"city"}}}}};
    OVAnyMap all{{"tools", OVAnyVector{tool}}, {"speed", 0.1f}, {"count", 3}, {"big", 1e10f}, {"on", false},
                 {"none", OVAny()}, {"empty", OVAnyMap()}, {"q\"uote", "a\\b\n\t\x01 caf\xc3\xa9"}};
    EXPECT_EQ(OVAnyMap::mapToJson(all), R"({"tools":[{"type":"function","parameters":{"required":["city"]}}],)"
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
}

TEST(Result, ReadingTheWrongSideThrowsTheHostTexts) {
    Result<OVAny> failed = Error("Failed to create response.");
    Result<OVAny> ok = OVAny();
    EXPECT_TRUE(failed.hasError() && !failed.hasValue() && ok.hasValue() && !ok.hasError());
    EXPECT_EQ(failed.getError().getMessage(), "Failed to create response.");
    EXPECT_TRUE(ok.getValue().isEmpty());
    EXPECT_EQ(errorOf([&] { failed.getValue(); }), "Result does not contain a value, operation failed.");
    EXPECT_EQ(errorOf([&] { ok.getError(); }), "Result does not contain an error, operation was successful.");
}

TEST(OrvantaObject, PropertiesActionsAndConfigurationRoundTrip) {
    const NodeTypeInfo info = sampleInfo();
    for (const char* kind : {"Configuration", "Property", "Action", "Event"}) {
        const std::string k = kind;
        const auto text = errorOf([&] {
            k == "Configuration" ? info.getConfiguration("x") : k == "Property" ? info.getProperty("x")
                                                              : k == "Action"   ? info.getAction("x") : info.getEvent("x");
        });
        EXPECT_EQ(text, "[NodeTypeInfo] " + k + " key 'x' not found for node type 'Demo.Echo'.");
    }
    EXPECT_THROW(info.getProperty("apiKey"), std::runtime_error); // not across kinds

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
    std::vector<std::string> heard;
    node.addEventListener("said", [&](const std::string& name, const OVAnyMap& payload) {
        heard.push_back(name + ":" + payload.at("text").convert<std::string>());
    });
    EXPECT_EQ(node.callAction("say", {}).getError().getMessage(), "Nothing to say.");
    // An action handler may run the object's own actions (no lock is held).
    EXPECT_TRUE(node.callAction("sayTwice", {{"text", "hi"}}).hasValue());
    EXPECT_EQ(heard, (std::vector<std::string>{"said:hi", "said:hi"}));
    EXPECT_EQ(node.getPropertyNames(), (std::vector<std::string>{"speed", "model"}));
    EXPECT_EQ(node.getActionNames(), (std::vector<std::string>{"say", "sayTwice"}));
    EXPECT_THROW(node.registerProperty("bad", {}, OVAny("not a getter"), OVAny()), std::bad_any_cast);
    EXPECT_EQ(node.getPropertyNames().size(), 2u);
}

TEST(EventEmitter, DeliversInOrderSurvivesAThrowingListenerAndEmitsFromManyThreads) {
    EventEmitter emitter;
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

    std::atomic<int> counted{0}; // checked under TSan, as is the configuration store below
    emitter.addEventListener("tick", [&](const std::string&, const OVAnyMap&) { ++counted; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&emitter, t] {
            for (int i = 0; i < 500; ++i) {
                emitter.emitEvent("tick", {});
                Orvanta::setValue("s", "k" + std::to_string(t), i);
                EXPECT_TRUE(Orvanta::getValue("s", "k" + std::to_string(t)).hasValue());
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counted.load(), 2000);
    Orvanta::clear();
    EXPECT_TRUE(Orvanta::getValue("s", "k0").hasError());
    Orvanta::setValue("orvanta", "appID", "id-1");
    EXPECT_EQ(Orvanta::getValue("orvanta", "appID").getValue().convert<std::string>(), "id-1");
    EXPECT_EQ(Orvanta::getValue("orvanta", "appSecret").getError().getMessage(),
              "No configuration value for 'appSecret' in section 'orvanta'.");
    Orvanta::removeValue("orvanta", "appID");
    EXPECT_TRUE(Orvanta::getValue("orvanta", "appID").hasError());
}

TEST(EventEmitter, RemovalWaitsForARunningListenerSoItsStateMayBeFreed) {
    EventEmitter emitter;
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false;
    auto state = std::make_unique<int>(0);
    const auto id = emitter.addEventListener("e", [&, p = state.get()](const std::string&, const OVAnyMap&) {
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        ++*p; // a use after free if removal did not wait
    });
    std::thread emitting([&] { emitter.emitEvent("e", {}); });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return inside; });
    }
    std::atomic<bool> removed{false};
    std::thread removing([&] {
        emitter.removeEventListener(id);
        removed = true;
    });
    // Nothing to wait for while the remover blocks correctly: give a wrong one time to return.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    removing.join();
    EXPECT_EQ(*state, 1);
    state.reset();
    emitting.join();
    emitter.emitEvent("e", {}); // nothing left to call
}

TEST(NodeFactoryAndExtensions, CreateByTypeAndFindTheNewestRegistration) {
    DemoFactory factory;
    auto node = factory.createNode("Demo.Echo", {{"speed", 0.5f}});
    EXPECT_EQ(node->getTypeName() + "/" + node->getDisplayName(), "Demo.Echo/Echo Node");
    EXPECT_EQ(static_cast<EchoNode&>(*node).speed, 0.5f);
    EXPECT_NE(factory.createNode("Echo", {}), nullptr);
    EXPECT_EQ(errorOf([&] { factory.createNode("Demo.Nope", {}); }), "[NodeFactory] Unknown node type 'Demo.Nope'.");
    EXPECT_THROW(factory.createNode("Demo.Nope", {}), std::invalid_argument);
    // The node constructor's exception reaches the caller unchanged.
    EXPECT_THROW(factory.createNode("Demo.Echo", {{"speed", "fast"}}), std::bad_any_cast);

    auto& manager = ExtensionManager::getInstance();
    manager.clear();
    auto second = std::make_shared<DemoExtension>("Demo");
    for (auto extension : {std::make_shared<DemoExtension>("Demo"), std::shared_ptr<DemoExtension>(),
                           std::make_shared<DemoExtension>("Other"), second})
        manager.registerExtension(extension);
    EXPECT_EQ(manager.getExtensions().size(), 3u);
    EXPECT_EQ(manager.findExtension("Demo"), second);
    EXPECT_EQ(manager.findExtension("Missing"), nullptr);
    manager.clear();
    EXPECT_TRUE(manager.getExtensions().empty());
}
