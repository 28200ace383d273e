#include "OrvantaSDK/ExtensionManager.h"
#include "OrvantaSDK/NodeFactory.h"
#include "OrvantaSDK/NodeTypeInfo.h"
#include "OrvantaSDK/OrvantaObject.h"
#include "OrvantaSDK/SingleBusAudioSinkNode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace orvanta;

namespace {

NodeTypeInfo sampleInfo() {
    NodeTypeInfo info("Demo", "Echo", "Echo Node", "Repeats what it hears.", {"AI", "Voice"});
    info.addConfiguration("apiKey", {{"type", "string"}});
    info.addProperty("speed", {{"type", "float"}, {"max", 1.5f}, {"readOnly", false}});
    info.addProperty("model", {{"type", "string"}, {"readOnly", true}});
    info.addAction("say", {});
    info.addEvent("said", {});
    return info;
}

// One property of each kind, an action that calls another action, and an
// event, registered as the library's nodes do.
class EchoNode : public SingleBusAudioSinkNode {
public:
    explicit EchoNode(const OVAnyMap& config) : SingleBusAudioSinkNode(config) {
        if (config.hasKey("speed"))
            speed = config.at("speed").convert<float>(); // wrong type throws out of the constructor
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
    bool setBusFormat(AudioBusFormat& format) override { return format.getNumberOfChannels() == 1; }
    bool consume(AudioBus&) override { return true; }

    float speed = 1.0f;
};

class DemoFactory : public NodeFactory {
public:
    DemoFactory() {
        registerNode(sampleInfo(), [](const OVAnyMap& config) { return new EchoNode(config); });
    }
    std::string getNodeTypePrefix() const override { return "Demo"; }
};

class DemoExtension : public Extension {
public:
    explicit DemoExtension(std::string name) : name_(std::move(name)) {}
    std::string getName() const override { return name_; }
    std::string getDescription() const override { return "demo"; }
    std::shared_ptr<NodeFactory> getNodeFactory() override { return std::make_shared<DemoFactory>(); }

private:
    std::string name_;
};

} // namespace

TEST(NodeTypeInfo, LookupFailuresNameTheKindKeyAndFullType) {
    const NodeTypeInfo info = sampleInfo();
    EXPECT_EQ(info.getProperty("speed").at("max").convert<float>(), 1.5f);
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"Configuration", [&] { info.getConfiguration("x"); }}, {"Property", [&] { info.getProperty("x"); }},
        {"Action", [&] { info.getAction("x"); }},               {"Event", [&] { info.getEvent("x"); }},
        {"Property", [&] { info.getProperty("apiKey"); }}}; // not across kinds
    for (const auto& [kind, lookup] : cases) {
        try {
            lookup();
            ADD_FAILURE() << "no throw for " << kind;
        } catch (const std::runtime_error& e) {
            const std::string key = std::string(e.what()).find("'x'") != std::string::npos ? "x" : "apiKey";
            EXPECT_EQ(e.what(), std::string("[NodeTypeInfo] ") + kind + " key '" + key +
                                    "' not found for node type 'Demo.Echo'.");
        }
    }
}

TEST(OrvantaObject, PropertiesActionsAndConfigurationRoundTrip) {
    EchoNode node(OVAnyMap{});
    ASSERT_TRUE(node.setValue("speed", OVAny(1.25f)).hasValue());
    EXPECT_EQ(node.getValue("speed").getValue().convert<float>(), 1.25f);
    EXPECT_EQ(node.getValue("apiKey").getValue().convert<std::string>(), "key-1");
    // A setter's conversion failure reaches the caller and changes nothing.
    EXPECT_THROW(node.setValue("speed", OVAny("fast")), std::bad_any_cast);
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

TEST(EventEmitter, DeliversByNameToAllEventListenersInOrderAndSurvivesAThrowingOne) {
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

    std::atomic<int> counted{0}; // emitting from several threads (checked under TSan)
    emitter.addEventListener("tick", [&](const std::string&, const OVAnyMap&) { ++counted; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                emitter.emitEvent("tick", {});
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counted.load(), 4000);
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
    // Nothing to wait for when the remover blocks correctly: give a wrong one time to return.
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
    EXPECT_EQ(node->getTypeName(), "Demo.Echo");
    EXPECT_EQ(node->getDisplayName(), "Echo Node");
    EXPECT_EQ(static_cast<EchoNode&>(*node).speed, 0.5f);
    EXPECT_NE(factory.createNode("Echo", {}), nullptr);
    try {
        factory.createNode("Demo.Nope", {});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "[NodeFactory] Unknown node type 'Demo.Nope'.");
    }
    // The node constructor's exception reaches the caller unchanged.
    EXPECT_THROW(factory.createNode("Demo.Echo", {{"speed", "fast"}}), std::bad_any_cast);

    auto& manager = ExtensionManager::getInstance();
    manager.clear();
    auto first = std::make_shared<DemoExtension>("Demo");
    auto second = std::make_shared<DemoExtension>("Demo");
    manager.registerExtension(first);
    manager.registerExtension(nullptr);
    manager.registerExtension(std::make_shared<DemoExtension>("Other"));
    manager.registerExtension(second);
    EXPECT_EQ(manager.getExtensions().size(), 3u);
    EXPECT_EQ(manager.findExtension("Demo"), second);
    EXPECT_EQ(manager.findExtension("Missing"), nullptr);
    manager.clear();
    EXPECT_TRUE(manager.getExtensions().empty());
}
