// Many rounds of replacing and destroying nodes' sessions while every thread
// that can enter a node is busy. Run under ThreadSanitizer these find races;
// anywhere they find crashes, hangs (the ctest timeout) and calls into freed
// nodes.
#include "SimulatorFixture.h"

#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "nodes/OpenAINode.h"
#include "nodes/OpenAITranscribeNode.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using nodetest::EventRecorder;

namespace {

// Accepts connections and never says a word: a token service that hangs.
class SilentServer {
public:
    SilentServer() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::listen(fd, 64);
    }
    ~SilentServer() { ::close(fd); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }

private:
    int fd;
    uint16_t port = 0;
};

// A host audio thread for one node while it lives.
class AudioThread {
public:
    explicit AudioThread(SingleBusAudioProcessorNode& node) {
        std::vector<AudioBusFormat> ins{AudioBusFormat(48000, 1)}, outs{AudioBusFormat(48000, 1)};
        node.setBusFormats(ins, outs);
        thread = std::thread([this, &node] {
            AudioBuffer<float> in(1, 480, 48000), out(1, 480, 48000);
            while (!stop) {
                std::fill_n(in.getWritePointer(0), 480, 0.2f);
                AudioBus inBus(&in), outBus(&out);
                node.process(inBus, outBus);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~AudioThread() {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

class NodeStress : public nodetest::SimulatorTest {
protected:
    void configure(simulator::SimulatorOptions& options) override {
        options.responseAudioLength = std::chrono::milliseconds(3000);
        options.pacing = 4.0; // audio keeps arriving while nodes go away
    }
    int randomMs(int max) {
        std::lock_guard<std::mutex> lock(rngMutex); // shared by the test's threads
        return std::uniform_int_distribution<int>(0, max)(rng);
    }

private:
    std::mutex rngMutex;
    std::mt19937 rng{12345};
};

} // namespace

TEST_F(NodeStress, DestroyingVoiceNodesInEveryState) {
    SilentServer hungTokenService;
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    for (int round = 0; round < 24; ++round) {
        const int state = round % 4;
        OVAnyMap config{{"apiKey", "sk-test"}};
        if (state == 0) { // token request outstanding against a server that never answers
            setTokenServiceEndpointOverride(hungTokenService.url());
            config = OVAnyMap();
        } else if (state == 1) { // connecting or reconnect pending: nothing listens
            setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime");
        } else { // active, with answers streaming in
            setRealtimeEndpointOverride(simulator->realtimeUrl());
            setTokenServiceEndpointOverride(simulator->tokenBaseUrl());
        }
        auto node = std::make_unique<OpenAINode>(config);
        auto audio = std::make_unique<AudioThread>(*node);
        if (state >= 2) {
            EventRecorder events(*node);
            // Its "sessionCreated" may have come before the recorder: the
            // session is up once a response can be asked for.
            nodetest::eventually(
                [&] { return node->callAction("createResponse", OVAnyMap{{"text", "talk"}}).hasValue(); },
                std::chrono::seconds(10));
            if (state == 3)
                events.waitFor("responseCreated", 1, std::chrono::seconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(randomMs(state == 1 ? 3500 : 60)));
        audio.reset(); // the host stops its audio thread before it frees a node
        node.reset();  // must return, and nothing may call into it afterwards
    }
}

TEST_F(NodeStress, ReplacingSessionsWhileEveryThreadIsBusy) {
    auto node = std::make_unique<OpenAINode>(OVAnyMap{{"apiKey", "sk-test"}});
    auto audio = std::make_unique<AudioThread>(*node);
    std::atomic<bool> stop{false};

    std::thread host([&] { // voice changes and resets replace client and sender
        const char* voices[] = {"marin", "sage", "cedar"};
        for (int i = 0; !stop; ++i) {
            if (i % 3 == 0)
                node->callAction("resetSession", OVAnyMap());
            else
                node->setValue("voice", OVAny(voices[i % 3]));
            node->setValue("instructions", OVAny("round " + std::to_string(i)));
            std::this_thread::sleep_for(std::chrono::milliseconds(randomMs(120)));
        }
    });
    std::thread actions([&] { // actions use whichever client is current
        while (!stop) {
            node->callAction("createResponse", OVAnyMap{{"text", "hi"}});
            node->callAction("cancelResponse", OVAnyMap());
            node->callAction("truncateResponse", OVAnyMap());
            node->callAction("clearInputBuffer", OVAnyMap());
            node->callAction("clearOutputBuffer", OVAnyMap());
            node->callAction("updateSession", OVAnyMap());
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });
    std::thread network([&] { // the service drops connections now and then
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150 + randomMs(300)));
            simulator->closeAll(randomMs(1) == 1);
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(6));
    stop = true;
    host.join();
    actions.join();
    network.join();

    // After the churn, and once the simulator has worked off the requests the
    // churn left it with, the node still finds its way back to a session.
    simulator->closeAll(true);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EventRecorder events(*node);
    node->callAction("resetSession", OVAnyMap());
    EXPECT_TRUE(events.waitFor("sessionCreated", 1, std::chrono::seconds(15)));
    audio.reset();
}

TEST_F(NodeStress, CallbacksOfReplacedClientsDoNotReachTheNode) {
    auto node = std::make_unique<OpenAINode>(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    // Each reset replaces a client that is answering; only the current
    // client's events may change the node. A replaced client that reported
    // its end would make the node schedule a reconnect of its own.
    node->callAction("createResponse", OVAnyMap{{"text", "talk"}});
    for (int i = 0; i < 5; ++i) {
        node->callAction("resetSession", OVAnyMap());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(events.waitFor("sessionCreated", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(events.count("sessionDisconnected"), 0) << "a replaced client is detached before it goes";
    EXPECT_EQ(simulator->openConnections(), 1u);
}

TEST_F(NodeStress, DestroyingTranscribeNodesInEveryState) {
    SilentServer hungTokenService;
    Orvanta::setValue("orvanta", "appID", "app-id");
    Orvanta::setValue("orvanta", "appSecret", "app-secret");
    for (int round = 0; round < 16; ++round) {
        const int state = round % 4;
        OVAnyMap config{{"apiKey", "sk-test"}};
        if (state == 0) {
            setTokenServiceEndpointOverride(hungTokenService.url());
            config = OVAnyMap();
        } else if (state == 1) {
            setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime");
        } else {
            setRealtimeEndpointOverride(simulator->realtimeUrl());
        }
        auto node = std::make_unique<OpenAITranscribeNode>(config);
        std::vector<AudioBusFormat> ins{AudioBusFormat(16000, 1)}, outs;
        node->setBusFormats(ins, outs);
        std::atomic<bool> stop{false};
        std::thread audio([&] {
            AudioBuffer<float> in(1, 160, 16000);
            while (!stop) {
                std::fill_n(in.getWritePointer(0), 160, 0.2f);
                AudioBus bus(&in);
                node->consume(bus);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::thread host([&] {
            while (!stop) {
                node->setValue("transcriptionLanguage", OVAny("en"));
                node->callAction("commitAudioBuffer", OVAnyMap());
                if (state == 3)
                    node->callAction("resetSession", OVAnyMap());
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(randomMs(state == 1 ? 3500 : 400)));
        stop = true;
        audio.join();
        host.join();
        node.reset();
    }
}

// A change made at any moment of a coalesced update, even while it is being
// sent, must reach the service: by that update or by the next.
TEST_F(NodeStress, APropertySetDuringACoalescedUpdateIsNeverLost) {
    SessionSettings settings;
    settings.updateDelay = std::chrono::milliseconds(2); // many rounds, each landing anywhere in the update
    setSessionSettings(settings);
    auto node = std::make_unique<OpenAINode>(OVAnyMap{{"apiKey", "sk-test"}});
    EventRecorder events(*node);
    ASSERT_TRUE(events.waitFor("sessionCreated"));
    ASSERT_TRUE(waitForClientEvent("session.update"));
    for (int round = 0; round < 400; ++round) {
        simulator->clearReceivedClientEvents();
        node->setValue("instructions", OVAny("first " + std::to_string(round)));
        std::this_thread::sleep_for(std::chrono::microseconds(randomMs(3000)));
        const std::string last = "second " + std::to_string(round);
        node->setValue("instructions", OVAny(last));
        ASSERT_TRUE(simulator->waitForClientEvents(
            [&](const std::vector<std::string>& received) {
                for (const auto& text : received)
                    if (text.find("\"instructions\":\"" + last + "\"") != std::string::npos)
                        return true;
                return false;
            },
            std::chrono::seconds(5)))
            << "round " << round << ": the last change never went out";
    }
}
