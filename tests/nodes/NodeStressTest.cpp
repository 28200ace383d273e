// Many rounds of replacing and destroying nodes' sessions while every thread
// that can enter a node is busy. Run under ThreadSanitizer these find races;
// anywhere they find crashes, hangs (the ctest timeout), calls into freed
// nodes, and connections or threads a node leaves behind.
#include "NodeTestSupport.h"

#include "nodes/OpenAINode.h"

#include <atomic>
#include <random>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using namespace nodetest;

namespace {

class NodeStress : public SimulatorTest {
protected:
    void configure(simulator::SimulatorOptions& options) override {
        options.responseAudioLength = 3000ms;
        options.pacing = 4.0; // audio keeps arriving while nodes go away
    }
    static int randomMs(int max) {
        thread_local std::mt19937 rng{12345};
        return std::uniform_int_distribution<int>(0, max)(rng);
    }
};

} // namespace

// Destroyed with a token request outstanding, while connecting or with a
// reconnect pending, or while active with every thread busy (property
// changes and resets replacing client and sender, actions on whichever
// client is current, answers streaming in, the service dropping
// connections), both nodes go without a trace: no connection stays open, no
// thread stays behind. After the churn a node still finds a session.
TEST_F(NodeStress, ChurnAndDestroyInEveryState) {
    simulator::SimulatorOptions hungOptions;
    hungOptions.faults.silentAfterAccept = true; // a token service that never answers
    simulator::Simulator hung(hungOptions);
    hung.start();
    useAppCredentials();
    LogCapture log;
    const size_t threadsBefore = threadCount();
    for (int round = 0; round < 32; ++round) {
        const bool voice = round % 2 == 0;
        const int state = round / 2 % 4;
        SCOPED_TRACE("round " + std::to_string(round));
        OVAnyMap config{{"apiKey", "sk-test"}};
        if (state == 0) {
            setTokenServiceEndpointOverride(hung.tokenBaseUrl());
            config = OVAnyMap();
        } else if (state == 1) {
            setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime"); // nothing listens
        } else {
            pointAt(*simulator);
        }
        auto node = makeNode(voice ? "OpenAI.Realtime" : "OpenAI.RealtimeTranscribe", config);
        HostAudio audio(dynamic_cast<AudioNode&>(*node), 48000, 480);
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        const auto busy = [&](int pauseMs, std::function<void(int)> work) {
            threads.emplace_back([&, pauseMs, work] {
                for (int i = 0; !stop; ++i) {
                    work(i);
                    std::this_thread::sleep_for(std::chrono::milliseconds(randomMs(pauseMs)));
                }
            });
        };
        busy(2, [&](int) { audio.process(0.2f); }); // the host's audio thread
        if (state >= 2) {
            ASSERT_TRUE(eventually([&] { return simulator->openConnections() == 1; }));
            busy(120, [&](int i) {
                if (i % 3 == 0)
                    node->callAction("resetSession", OVAnyMap());
                else if (voice)
                    node->setValue("voice", OVAny(i % 3 == 1 ? "marin" : "sage"));
                node->setValue(voice ? "instructions" : "transcriptionLanguage", OVAny("round " + std::to_string(i)));
            });
            busy(30, [&](int) {
                for (const char* action : {"commitAudioBuffer", "clearInputBuffer", "updateSession", "cancelResponse",
                                           "truncateResponse", "clearOutputBuffer", "createResponse"})
                    node->callAction(action, OVAnyMap{{"text", "talk"}}); // the transcription node refuses some
            });
        }
        if (state == 3)
            busy(300, [&](int) { simulator->closeAll(randomMs(1) == 1); });
        std::this_thread::sleep_for(std::chrono::milliseconds(randomMs(state == 1 ? 3500 : 800)));
        stop = true;
        for (auto& t : threads)
            t.join(); // the host stops its audio thread before it frees a node
        if (state == 3) {
            const std::string created = voice ? "[OpenAINode] Session created with OpenAI."
                                              : "[OpenAITranscribeNode] Session created with OpenAI.";
            const int before = log.count(created);
            node->callAction("resetSession", OVAnyMap());
            EXPECT_TRUE(eventually([&] { return log.count(created) > before; }));
        }
        node.reset(); // must return, and nothing may call into it afterwards
        EXPECT_TRUE(eventually([&] { return simulator->openConnections() == 0; })) << "a connection was left open";
    }
    // A token request still hanging on the silent service may hold a worker.
    hung.stop();
    EXPECT_TRUE(eventually([&] { return threadCount() <= threadsBefore; }))
        << threadCount() << " threads, " << threadsBefore << " before";
}

// Each reset replaces a client that is answering; only the current client's
// events may change the node (a replaced client that reported its end would
// make the node schedule a reconnect of its own). Then a change made at any
// moment of a coalesced update, even while it is being sent, must reach the
// service: by that update or by the next.
TEST_F(NodeStress, ReplacedClientsAreDetachedAndNoCoalescedChangeIsLost) {
    SessionSettings settings;
    settings.reconnectDelay = 200ms;
    settings.updateDelay = 2ms; // many rounds, each landing anywhere in the update
    setSessionSettings(settings);
    LogCapture log;
    auto node = std::make_unique<OpenAINode>(OVAnyMap{{"apiKey", "sk-test"}});
    ASSERT_TRUE(eventually([&] { return log.count("[OpenAINode] Session created with OpenAI.") == 1; }));
    EventRecorder events(*node);
    node->callAction("createResponse", OVAnyMap{{"text", "talk"}});
    for (int i = 0; i < 5; ++i) {
        node->callAction("resetSession", OVAnyMap());
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    std::this_thread::sleep_for(700ms); // past the reconnect delay: a restart that must not come
    EXPECT_EQ(events.count("sessionDisconnected"), 0) << "a replaced client is detached before it goes";
    EXPECT_EQ(simulator->openConnections(), 1u);

    for (int round = 0; round < 400; ++round) {
        simulator->clearReceivedClientEvents();
        node->setValue("instructions", OVAny("first " + std::to_string(round)));
        std::this_thread::sleep_for(std::chrono::microseconds(randomMs(3000)));
        const std::string last = "\"instructions\":\"second " + std::to_string(round) + "\"";
        node->setValue("instructions", OVAny("second " + std::to_string(round)));
        ASSERT_TRUE(simulator->waitForClientEvents(
            [&](const std::vector<std::string>& received) {
                return std::any_of(received.begin(), received.end(),
                                   [&](const std::string& text) { return text.find(last) != std::string::npos; });
            },
            5s))
            << "round " << round << ": the last change never went out";
    }
}
