// The connection callbacks, the one disconnect report, the delegate's
// detachment rules and destruction, driven through a scripted transport.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeEndpoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <future>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;
using Calls = std::vector<std::string>;

TEST(Connection, UrlAndSubprotocols) {
    using I = OpenAIWebSocketClient::Internals;
    EXPECT_EQ(I::buildUrl("wss://api.openai.com/v1/realtime", "gpt-realtime-2"),
              "wss://api.openai.com/v1/realtime?model=gpt-realtime-2");
    EXPECT_EQ(I::buildUrl("wss://api.openai.com/v1/realtime", "gpt-realtime-whisper"),
              "wss://api.openai.com/v1/realtime?intent=transcription");
    EXPECT_EQ(I::buildSubprotocols("sk-123"), (std::vector<std::string>{"realtime", "openai-insecure-api-key.sk-123"}));
    EXPECT_EQ(I::buildSubprotocols(""), (std::vector<std::string>{"realtime", "openai-insecure-api-key."}));

    EXPECT_EQ(realtimeEndpoint(), "wss://api.openai.com/v1/realtime");
    setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime");
    EXPECT_EQ(realtimeEndpoint(), "ws://127.0.0.1:1/v1/realtime");
    clearRealtimeEndpointOverride();
    EXPECT_EQ(realtimeEndpoint(), "wss://api.openai.com/v1/realtime");
}

TEST(Connection, CloseEndsTheSessionAndReportsOnce) {
    LogCapture log;
    ScriptedClient c;
    c.transport->onOpenHandler();
    EXPECT_TRUE(log.has(Level::Debug, "[OpenAIWebSocketClient] WebSocket connection opened."));
    EXPECT_FALSE(c.client->getIsConnected()); // open socket, no session yet
    c.openSession();
    c.transport->receive(R"({"type":"response.created"})");
    c.delegate.take();

    c.transport->onCloseHandler();
    EXPECT_TRUE(log.has(Level::Debug, "[OpenAIWebSocketClient] WebSocket connection closed."));
    EXPECT_EQ(c.delegate.take(), Calls{"onSessionDisconnected()"});
    EXPECT_FALSE(c.client->getIsConnected());
    EXPECT_FALSE(c.internals->hasActiveResponse.load());
    EXPECT_TRUE(c.internals->getSession().id.empty());

    log.take();
    EXPECT_FALSE(c.client->appendAudioBuffer({1}));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Cannot append audio buffer: No active session."));

    c.transport->onCloseHandler();
    c.transport->onErrorHandler("late");
    EXPECT_EQ(c.delegate.take(), Calls{"onError(websocket_error||late)"});
}

TEST(Connection, ErrorThenCloseReportsOneDisconnect) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    c.transport->onErrorHandler("Read error");
    c.transport->onCloseHandler();
    EXPECT_EQ(c.delegate.take(), (Calls{"onError(websocket_error||Read error)", "onSessionDisconnected()"}));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] WebSocket connection error: Read error"));
    EXPECT_FALSE(c.client->getIsConnected());
    EXPECT_FALSE(c.internals->hasActiveSession());
}

ScriptedClient* withoutDelegate(ScriptedClient& c) {
    c.client->setDelegate(nullptr);
    return &c;
}

TEST(Connection, EventsBeforeTheDelegateChangeStateOnly) {
    ScriptedClient c;
    withoutDelegate(c);
    c.transport->receive(R"({"type":"session.created","session":{"id":"s"}})");
    c.transport->receive(R"({"type":"response.created"})");
    EXPECT_TRUE(c.client->getIsConnected());
    EXPECT_TRUE(c.internals->hasActiveResponse.load());
    c.client->setDelegate(&c.delegate);
    c.transport->receive(R"({"type":"input_audio_buffer.speech_started"})");
    EXPECT_EQ(c.delegate.take(), Calls{"onInputAudioSpeechStarted()"});
}

TEST(Connection, AnEndBeforeTheDelegateIsDeliveredOnceItIsSet) {
    {
        ScriptedClient c;
        withoutDelegate(c);
        c.transport->onErrorHandler("Connect error: refused");
        c.transport->onCloseHandler();
        EXPECT_TRUE(c.delegate.take().empty());
        c.client->setDelegate(&c.delegate);
        ASSERT_TRUE(c.delegate.waitForCall("onSessionDisconnected()"));
        c.client->setDelegate(nullptr);
        EXPECT_EQ(c.delegate.take(), (Calls{"onError(websocket_error||Connect error: refused)", "onSessionDisconnected()"}));
    }
    {
        ScriptedClient c;
        withoutDelegate(c);
        c.transport->onCloseHandler();
        c.client->setDelegate(&c.delegate);
        ASSERT_TRUE(c.delegate.waitForCall("onSessionDisconnected()"));
        // A second attachment or a late transport callback reports nothing more.
        c.client->setDelegate(&c.delegate);
        c.transport->onCloseHandler();
        c.client->setDelegate(nullptr);
        EXPECT_EQ(c.delegate.take(), Calls{"onSessionDisconnected()"});
    }
}

// A delegate whose calls can be held open, to race setDelegate against them.
class GateDelegate : public RecordingDelegate {
public:
    std::promise<void> entered;
    std::shared_future<void> release;
    std::atomic<bool> detached{false};
    std::atomic<int> callsAfterDetach{0};

protected:
    void record(const std::string& line) override {
        if (detached.load())
            ++callsAfterDetach;
        if (line == "onResponseCreated()") {
            entered.set_value();
            release.wait();
        }
        RecordingDelegate::record(line);
    }
};

TEST(Connection, SetDelegateNullWaitsForTheCallInFlight) {
    ScriptedClient c;
    GateDelegate gate;
    std::promise<void> open;
    gate.release = open.get_future().share();
    c.client->setDelegate(&gate);

    std::thread io([&] { c.transport->receive(R"({"type":"response.created"})"); });
    gate.entered.get_future().wait();

    std::atomic<bool> returned{false};
    std::thread owner([&] {
        c.client->setDelegate(nullptr);
        returned = true;
        gate.detached = true;
    });
    // setDelegate must still be waiting while the call is held open.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    open.set_value();
    owner.join();
    io.join();
    EXPECT_TRUE(returned.load());

    c.transport->receive(R"({"type":"response.created"})");
    c.transport->onErrorHandler("gone");
    EXPECT_EQ(gate.callsAfterDetach.load(), 0);
    EXPECT_EQ(gate.take(), Calls{"onResponseCreated()"});
}

// Detaches itself (or another delegate) from inside a call.
class SelfDetachingDelegate : public RecordingDelegate {
public:
    OpenAIWebSocketClient* client = nullptr;
    void onSessionCreated() override {
        RecordingDelegate::onSessionCreated();
        client->setDelegate(nullptr);
        // Operations from inside a call are allowed too.
        client->createResponse();
    }
};

TEST(Connection, SetDelegateFromInsideACallDoesNotDeadlock) {
    ScriptedClient c;
    SelfDetachingDelegate self;
    self.client = c.client.get();
    c.client->setDelegate(&self);
    auto done = std::async(std::launch::async, [&] {
        c.transport->receive(R"({"type":"session.created","session":{"id":"s"}})");
        c.transport->onCloseHandler();
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(self.take(), Calls{"onSessionCreated()"});
    EXPECT_EQ(c.transport->sentTexts(), Calls{R"({"event_id":"event-1","type":"response.create"})"});
}

// Destroys the client it belongs to from inside a delegate call.
class DestroyingDelegate : public RecordingDelegate {
public:
    std::unique_ptr<OpenAIWebSocketClient>* owner = nullptr;
    void onSessionCreated() override {
        RecordingDelegate::onSessionCreated();
        owner->reset();
    }
};

TEST(Connection, DestroyedInsideItsOwnCallbackFinishesLater) {
    LogCapture log;
    auto prepared = std::make_unique<OpenAIWebSocketClient::Internals>("gpt-realtime-2");
    auto* internals = prepared.get();
    auto scripted = std::make_unique<ScriptedTransport>();
    auto* transport = scripted.get();
    std::atomic<bool> transportGone{false};
    transport->destroyed = &transportGone;
    internals->attachTransport(std::move(scripted));
    auto client = std::make_unique<OpenAIWebSocketClient>(std::move(prepared));

    DestroyingDelegate delegate;
    delegate.owner = &client;
    client->setDelegate(&delegate);
    // The record must survive the rest of this handler (ASan watches).
    transport->receive(R"({"type":"session.created","session":{"id":"s"}})");
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(delegate.take(), Calls{"onSessionCreated()"});
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Client destroyed inside its own callback; finishing "
                                      "the shutdown on a helper thread."));
    // The helper thread frees the record (and the transport) once this
    // thread has left the call.
    for (int i = 0; i < 10000 && !transportGone.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(transportGone.load());
}

TEST(Connection, ConcurrentOperationsWhileTheSessionComesAndGoes) {
    ScriptedClient c;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const std::vector<int16_t> block(2400, 7);
        while (!stop.load()) {
            c.client->appendAudioBuffer(block);
            c.client->cancelResponse();
        }
    });
    for (int i = 0; i < 200; ++i) {
        c.transport->receive(R"({"type":"session.created","session":{"id":"s)" + std::to_string(i) + R"("}})");
        c.transport->receive(R"({"type":"response.created"})");
        c.transport->onCloseHandler();
    }
    stop = true;
    sender.join();
    // Every refused send was reported, every accepted one reached the
    // transport; numbers are unique.
    std::set<std::string> ids;
    for (auto& sent : c.transport->takeSent())
        EXPECT_TRUE(ids.insert(nlohmann::json::parse(sent.text)["event_id"].get<std::string>()).second);
    EXPECT_EQ(std::count(c.delegate.calls.begin(), c.delegate.calls.end(), "onSessionDisconnected()"), 1);
}

} // namespace
} // namespace orvanta::extensions::openai::test
