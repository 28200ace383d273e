#pragma once

#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBusList.h"
#include "OrvantaSDK/AudioNode.h"
#include "OrvantaSDK/Logger.h"
#include "OrvantaSDK/Node.h"
#include "OrvantaSDK/Orvanta.h"
#include "extension/OpenAINodeFactory.h"
#include "nodes/SessionController.h"
#include "realtime/RealtimeEndpoint.h"
#include "token/TokenServiceEndpoint.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>

namespace nodetest {

using namespace std::chrono_literals;
using nlohmann::json;

inline std::unique_ptr<orvanta::Node> makeNode(const std::string& type, const orvanta::OVAnyMap& config) {
    return orvanta::extensions::openai::OpenAINodeFactory().createNode(type, config);
}

// Polls `condition` until it holds or the timeout passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(5ms))
        if (condition())
            return true;
    return condition();
}

inline size_t threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

inline std::string readDataFile(const std::string& name) {
    std::ifstream in(std::string(NODE_TEST_DATA_DIR) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A host driving one node block by block, mono at `rate`, with an output
// bus only where the node has one.
class HostAudio {
public:
    HostAudio(orvanta::AudioNode& audioNode, int rate, int blockFrames)
        : node(audioNode), frames(blockFrames), in(1, blockFrames, rate), out(1, blockFrames, rate) {
        std::vector<orvanta::AudioBusFormat> ins{orvanta::AudioBusFormat(rate, 1)}, outs;
        if (node.getNumberOfOutputs() > 0)
            outs.push_back(orvanta::AudioBusFormat(rate, 1));
        EXPECT_TRUE(node.setBusFormats(ins, outs));
    }
    bool process(const float* samples) {
        std::copy_n(samples, frames, in.getWritePointer(0));
        orvanta::AudioBusList inputs, outputs;
        inputs.push_back(orvanta::AudioBus(&in));
        if (node.getNumberOfOutputs() > 0)
            outputs.push_back(orvanta::AudioBus(&out));
        return node.process(inputs, outputs);
    }
    bool process(float level) { return process(std::vector<float>(static_cast<size_t>(frames), level).data()); }
    const float* output() const { return out.getReadPointer(0); }

private:
    orvanta::AudioNode& node;
    const int frames;
    orvanta::AudioBuffer<float> in, out;
};

// Records the host logger's lines while alive (at debug level). Lines are
// what a test can wait on without missing them: they are kept from before
// the node exists.
class LogCapture {
public:
    LogCapture() {
        orvanta::Logger::setLevel(orvanta::Logger::Level::Debug);
        orvanta::Logger::setSink([this](orvanta::Logger::Level level, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
            errorLines += level == orvanta::Logger::Level::Error;
        });
    }
    ~LogCapture() {
        orvanta::Logger::setSink(nullptr);
        orvanta::Logger::setLevel(orvanta::Logger::Level::Info);
    }
    std::vector<std::string> startingWith(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(out), [&](auto& l) { return l.rfind(prefix, 0) == 0; });
        return out;
    }
    int count(const std::string& line) const {
        const auto l = startingWith(line);
        return static_cast<int>(std::count(l.begin(), l.end(), line));
    }
    int countPrefix(const std::string& prefix) const { return static_cast<int>(startingWith(prefix).size()); }
    std::string lastWithPrefix(const std::string& prefix) const {
        const auto l = startingWith(prefix);
        return l.empty() ? std::string() : l.back();
    }
    int errors() const {
        std::lock_guard<std::mutex> lock(mutex);
        return errorLines;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    int errorLines = 0;
};

struct RecordedEvent {
    std::string name;
    orvanta::OVAnyMap payload;
    std::string get(const std::string& key) const {
        return payload.hasKey(key) ? payload.at(key).convert<std::string>() : std::string();
    }
};

// Subscribes to every event of a node and lets a test wait for one. Events
// emitted before it was made are not seen ("sessionStarting" and often
// "sessionCreated" of the constructor's session).
class EventRecorder {
public:
    explicit EventRecorder(orvanta::EventEmitter& emitter) : source(emitter) {
        id = source.addEventListener(orvanta::EventEmitter::AllEvents,
                                     [this](const std::string& name, const orvanta::OVAnyMap& payload) {
                                         std::lock_guard<std::mutex> lock(mutex);
                                         events.push_back({name, payload});
                                         changed.notify_all();
                                     });
    }
    ~EventRecorder() { source.removeEventListener(id); }

    int count(const std::string& name) const { return static_cast<int>(named(name).size()); }
    std::vector<RecordedEvent> named(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<RecordedEvent> out;
        for (const auto& e : events)
            if (e.name == name)
                out.push_back(e);
        return out;
    }
    bool waitFor(const std::string& name, int n = 1, std::chrono::milliseconds timeout = 20s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.name == name; }) >= n;
        });
    }

private:
    orvanta::EventEmitter& source;
    orvanta::EventEmitter::ListenerId id = 0;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<RecordedEvent> events;
};

// Nothing listens on port 1: sessions fail fast and stay local.
class OfflineTest : public ::testing::Test {
protected:
    void SetUp() override { orvanta::extensions::openai::setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime"); }
    void TearDown() override { orvanta::extensions::openai::clearRealtimeEndpointOverride(); }
};

// A running simulator with the library pointed at it.
class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        orvanta::simulator::SimulatorOptions options;
        options.pacing = 0; // answers arrive as fast as the socket takes them
        options.responseDelay = 20ms;
        options.responseText = "Hello from the simulator.";
        options.transcriptText = "What is the weather?";
        options.appCredentials = {{"app-id", "app-secret"}};
        configure(options);
        simulator = std::make_unique<orvanta::simulator::Simulator>(options);
        simulator->start();
        pointAt(*simulator);
    }

    void TearDown() override {
        orvanta::extensions::openai::clearRealtimeEndpointOverride();
        orvanta::extensions::openai::clearTokenServiceEndpointOverride();
        orvanta::extensions::openai::resetSessionSettings();
        orvanta::Orvanta::removeValue("orvanta", "appID");
        orvanta::Orvanta::removeValue("orvanta", "appSecret");
        simulator.reset();
    }
    virtual void configure(orvanta::simulator::SimulatorOptions&) {}

    static void pointAt(const orvanta::simulator::Simulator& s) {
        orvanta::extensions::openai::setRealtimeEndpointOverride(s.realtimeUrl());
        orvanta::extensions::openai::setTokenServiceEndpointOverride(s.tokenBaseUrl());
    }
    static void useAppCredentials() {
        orvanta::Orvanta::setValue("orvanta", "appID", "app-id");
        orvanta::Orvanta::setValue("orvanta", "appSecret", "app-secret");
    }
    static void setReconnectDelay(std::chrono::milliseconds delay) {
        orvanta::extensions::openai::SessionSettings settings;
        settings.reconnectDelay = delay;
        orvanta::extensions::openai::setSessionSettings(settings);
    }

    // Client events of one type, parsed, in arrival order.
    static std::vector<json> ofType(const std::vector<std::string>& texts, const std::string& type) {
        std::vector<json> out;
        for (const auto& text : texts) {
            auto j = json::parse(text, nullptr, false);
            if (j.is_object() && j.value("type", "") == type)
                out.push_back(j);
        }
        return out;
    }
    std::vector<json> clientEvents(const std::string& type) const { return ofType(simulator->receivedClientEvents(), type); }
    bool waitForClientEvent(const std::string& type, size_t n = 1) {
        return simulator->waitForClientEvents([&](const auto& texts) { return ofType(texts, type).size() >= n; }, 20s);
    }

    std::unique_ptr<orvanta::simulator::Simulator> simulator;
};

} // namespace nodetest
