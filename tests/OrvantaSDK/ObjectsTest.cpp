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
    info.addConfiguration("apiKey", {{"type", "string"}, {"name", "API Key"}, {"default", ""}});
    info.addProperty("speed", {{"type", "float"}, {"min", 0.5f}, {"max", 1.5f}, {"readOnly", false}});
    info.addProperty("model", {{"type", "string"}, {"readOnly", true}});
    info.addAction("say", {{"description", "Say something."}});
    info.addEvent("said", {{"name", "said"}});
    return info;
}

// A node with one property of each kind, an action that calls another
// action, and an event, as the library's nodes register them.
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
    EXPECT_EQ(info.getFQTypeName(), "Demo.Echo");
    EXPECT_EQ(info.getProperty("speed").at("max").convert<float>(), 1.5f);
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"[NodeTypeInfo] Configuration key 'x' not found for node type 'Demo.Echo'.", [&] { info.getConfiguration("x"); }},
        {"[NodeTypeInfo] Property key 'x' not found for node type 'Demo.Echo'.", [&] { info.getProperty("x"); }},
        {"[NodeTypeInfo] Action key 'x' not found for node type 'Demo.Echo'.", [&] { info.getAction("x"); }},
        {"[NodeTypeInfo] Event key 'x' not found for node type 'Demo.Echo'.", [&] { info.getEvent("x"); }},
    };
    for (const auto& [text, lookup] : cases) {
        try {
            lookup();
            ADD_FAILURE() << "no throw for " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), text);
        }
    }
    // Entries may not be looked up across kinds.
    EXPECT_THROW(info.getProperty("apiKey"), std::runtime_error);
}

TEST(OrvantaObject, PropertiesActionsAndConfigurationRoundTrip) {
    EchoNode node(OVAnyMap{});
    ASSERT_TRUE(node.setValue("speed", OVAny(1.25f)).hasValue());
    EXPECT_EQ(node.speed, 1.25f);
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
        EXPECT_EQ(name, "said");
        heard.push_back(payload.at("text").convert<std::string>());
    });
    EXPECT_EQ(node.callAction("say", {}).getError().getMessage(), "Nothing to say.");
    // An action handler may run the object's own actions (no lock is held).
    EXPECT_TRUE(node.callAction("sayTwice", {{"text", "hi"}}).hasValue());
    EXPECT_EQ(heard, (std::vector<std::string>{"hi", "hi"}));

    EXPECT_EQ(node.getPropertyNames(), (std::vector<std::string>{"speed", "model"}));
    EXPECT_EQ(node.getActionNames(), (std::vector<std::string>{"say", "sayTwice"}));
    EXPECT_EQ(node.getEventNames(), (std::vector<std::string>{"said"}));
    EXPECT_THROW(node.registerProperty("bad", {}, OVAny("not a getter"), OVAny()), std::bad_any_cast);
    EXPECT_EQ(node.getPropertyNames().size(), 2u);
}

TEST(EventEmitter, DeliversByNameAndToAllEventListenersInOrder) {
    EventEmitter emitter;
    std::vector<std::string> log;
    emitter.addEventListener("a", [&](const std::string& n, const OVAnyMap&) { log.push_back("a:" + n); });
    const auto all = emitter.addEventListener(EventEmitter::AllEvents,
                                              [&](const std::string& n, const OVAnyMap&) { log.push_back("*:" + n); });
    emitter.addEventListener("a", [&](const std::string&, const OVAnyMap&) { throw std::runtime_error("boom"); });
    emitter.emitEvent("a", {});
    emitter.emitEvent("b", {});
    EXPECT_TRUE(emitter.removeEventListener(all));
    EXPECT_FALSE(emitter.removeEventListener(all));
    emitter.emitEvent("b", {});
    EXPECT_EQ(log, (std::vector<std::string>{"a:a", "*:a", "*:b"}));
}

TEST(EventEmitter, RemovalWaitsForARunningListenerSoItsStateMayBeFreed) {
    EventEmitter emitter;
    std::mutex m;
    std::condition_variable cv;
    bool inside = false;
    bool release = false;
    auto state = std::make_unique<int>(0);
    const auto id = emitter.addEventListener("e", [&, p = state.get()](const std::string&, const OVAnyMap&) {
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        ++*p; // would be a use after free if removal did not wait
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
    // The remover must still be waiting while the listener runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    removing.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(*state, 1);
    state.reset();
    emitting.join();
    emitter.emitEvent("e", {}); // nothing left to call
}

TEST(EventEmitter, ListenersMayRemoveThemselvesAndEmitFromManyThreads) {
    EventEmitter emitter;
    std::atomic<int> calls{0};
    EventEmitter::ListenerId self = 0;
    self = emitter.addEventListener("once", [&](const std::string&, const OVAnyMap&) {
        ++calls;
        emitter.removeEventListener(self); // must not deadlock on itself
    });
    emitter.emitEvent("once", {});
    emitter.emitEvent("once", {});
    EXPECT_EQ(calls.load(), 1);

    std::atomic<int> counted{0};
    emitter.addEventListener("tick", [&](const std::string&, const OVAnyMap& p) {
        counted += static_cast<int>(p.at("n").convert<float>());
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                emitter.emitEvent("tick", {{"n", 1}});
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counted.load(), 4000);
}

TEST(NodeFactory, CreatesByFullOrBareTypeAndReportsUnknownTypes) {
    DemoFactory factory;
    ASSERT_EQ(factory.getNodeTypes().size(), 1u);
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
}

TEST(ExtensionManager, FindsTheNewestRegistrationByName) {
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
    EXPECT_TRUE(second->initialize({}).hasValue());
    EXPECT_TRUE(second->deinitialize().hasValue());
    EXPECT_EQ(second->getNodeFactory()->getNodeTypes().at(0).getFQTypeName(), "Demo.Echo");
    manager.clear();
    EXPECT_TRUE(manager.getExtensions().empty());
}
