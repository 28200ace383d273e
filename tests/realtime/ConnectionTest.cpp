// The connection callbacks, the single disconnect report, and the rules for
// detaching the delegate and destroying the client, on a scripted transport.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeEndpoint.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;

TEST(Connection, UrlSubprotocolsAndEndpoint) {
    using I = OpenAIWebSocketClient::Internals;
    EXPECT_EQ(realtimeEndpoint(), "wss://api.openai.com/v1/realtime");
    EXPECT_EQ(I::buildUrl(realtimeEndpoint(), "gpt-realtime-2"), "wss://api.openai.com/v1/realtime?model=gpt-realtime-2");
    EXPECT_EQ(I::buildUrl("ws://127.0.0.1:9/v1/realtime", "gpt-realtime-whisper"), "ws://127.0.0.1:9/v1/realtime?intent=transcription");
    EXPECT_EQ(I::buildSubprotocols(""), (Calls{"realtime", "openai-insecure-api-key."}));
}

// The owner must learn of an end even when it came while no delegate was set,
// or it would never reconnect; the refused key on the simulator shows the same
// before any session.
TEST(Connection, AnEndIsReportedOnceAndReachesADelegateSetAfterIt) {
    LogCapture log;
    ScriptedClient c;
    c.transport->onOpenHandler();
    EXPECT_FALSE(c.client->getIsConnected()); // an open socket is not a session
    c.openSession();
    c.client->setDelegate(nullptr);
    c.transport->receive(R"({"type":"response.created"})"); // state only
    c.transport->onErrorHandler("Read error");
    c.transport->onCloseHandler();
    c.client->setDelegate(&c.delegate);
    ASSERT_TRUE(c.delegate.waitFor("onSessionDisconnected()"));
    c.client->setDelegate(&c.delegate); // nothing more on a second attachment
    c.transport->onCloseHandler();
    c.transport->onErrorHandler("late");
    EXPECT_EQ(c.delegate.take(), (Calls{"onError(websocket_error||Read error)", "onSessionDisconnected()",
                                        "onError(websocket_error||late)"}));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] WebSocket connection error: Read error"));
    EXPECT_TRUE(log.has(Level::Debug, "[OpenAIWebSocketClient] WebSocket connection closed."));
    EXPECT_FALSE(c.client->getIsConnected() || c.internals->hasActiveResponse.load() || c.internals->hasActiveSession());
    EXPECT_FALSE(c.client->appendAudioBuffer({1}));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Cannot append audio buffer: No active session."));
}

// Holds the first call of `gated` open until released.
struct GateDelegate : RecordingDelegate {
    explicit GateDelegate(const std::string& gated = "onResponseCreated()") {
        hook = [this, gated](const std::string& line) {
            if (line == gated) {
                entered.set_value();
                release.get_future().wait();
            }
        };
    }
    std::promise<void> entered, release;
};

TEST(Connection, CallsBeforeTheFirstDelegateAreReplayedInOrder) {
    LogCapture log;
    ScriptedClient c("gpt-realtime-2", /*attach=*/false);
    c.transport->receive(R"({"type":"session.created","session":{"id":"s"}})");
    c.transport->receive(R"({"type":"response.created"})");
    for (size_t i = 0; i < OpenAIWebSocketClient::Internals::kMaxMissedCalls; ++i)
        c.transport->receive(R"({"type":"input_audio_buffer.speech_started"})"); // the last two past the bound
    EXPECT_TRUE(log.has(Level::Warning, "[OpenAIWebSocketClient] No delegate set: dropping events past the first 64."));

    GateDelegate gate("onSessionCreated()");
    c.client->setDelegate(&gate); // replays on a thread of the client
    gate.entered.get_future().wait();
    // What arrives during the replay waits behind it.
    auto later = std::async(std::launch::async, [&] { c.transport->receive(R"({"type":"response.done","response":{"status":"completed"}})"); });
    EXPECT_EQ(later.wait_for(50ms), std::future_status::timeout);
    gate.release.set_value();
    later.get();
    Calls expected = {"onSessionCreated()", "onResponseCreated()"};
    expected.insert(expected.end(), OpenAIWebSocketClient::Internals::kMaxMissedCalls - 2, "onInputAudioSpeechStarted()");
    expected.push_back("onResponseDone(completed)");
    EXPECT_EQ(gate.take(), expected);
    c.client->setDelegate(nullptr);
}

TEST(Connection, AttachingRacesIncomingEventsWithoutLosingOrReordering) {
    Calls expected;
    for (int i = 0; i < 40; ++i)
        expected.push_back("onResponseAudioTranscriptionDelta(" + std::to_string(i) + ")");
    for (int round = 0; round < 200; ++round) {
        ScriptedClient c("gpt-realtime-2", /*attach=*/false);
        std::thread io([&] {
            for (int i = 0; i < 40; ++i)
                c.transport->receive(R"({"type":"response.output_audio_transcript.delta","delta":")" +
                                     std::to_string(i) + "\"}");
        });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 5)); // attach at varying points
        c.client->setDelegate(&c.delegate);
        io.join();
        ASSERT_TRUE(c.delegate.waitFor(expected.back()));
        ASSERT_EQ(c.delegate.take(), expected) << "round " << round;
    }
}

TEST(Connection, DetachingWaitsForTheCallInFlight) {
    ScriptedClient c;
    GateDelegate gate;
    c.client->setDelegate(&gate);
    std::thread io([&] { c.transport->receive(R"({"type":"response.created"})"); });
    gate.entered.get_future().wait();
    auto detach = std::async(std::launch::async, [&] { c.client->setDelegate(nullptr); });
    EXPECT_EQ(detach.wait_for(50ms), std::future_status::timeout);
    gate.release.set_value();
    detach.get();
    io.join();
    c.transport->receive(R"({"type":"input_audio_buffer.speech_started"})");
    c.transport->onErrorHandler("gone");
    EXPECT_EQ(gate.take(), Calls{"onResponseCreated()"}); // nothing after the detach
}

TEST(Connection, ReentryFromADelegateCall) {
    LogCapture log;
    for (bool destroy : {false, true}) {
        ScriptedClient c;
        std::atomic<bool> transportGone{false};
        c.transport->destroyed = &transportGone;
        RecordingDelegate d; // from inside a call: detaches and sends, or destroys the client
        d.hook = [&](const std::string&) {
            if (destroy)
                return c.client.reset();
            c.client->setDelegate(nullptr);
            c.client->createResponse();
        };
        c.client->setDelegate(&d);
        auto done = std::async(std::launch::async, [&] { c.openSession(); });
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready); // no deadlock
        EXPECT_EQ(d.take(), Calls{"onSessionCreated()"});
        if (!destroy) {
            EXPECT_EQ(c.transport->takeSent(), Calls{R"({"event_id":"event-1","type":"response.create"})"});
            continue;
        }
        // Destroyed inside its own call: finished on a helper thread once the
        // call has returned (ASan checks that nothing was freed under it).
        EXPECT_EQ(c.client, nullptr);
        EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Client destroyed inside its own callback; "
                                          "finishing the shutdown on a helper thread."));
        EXPECT_TRUE(waitUntil([&] { return transportGone.load(); }));
    }
}

TEST(Connection, OperationsRaceTheSessionComingAndGoing) {
    ScriptedClient c;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load()) {
            c.client->appendAudioBuffer(std::vector<int16_t>(240, 7));
            c.client->cancelResponse();
        }
    });
    for (int i = 0; i < 200; ++i) {
        c.transport->receive(R"({"type":"session.created","session":{"id":"s"}})");
        c.transport->receive(R"({"type":"response.created"})");
        c.transport->onCloseHandler();
    }
    stop = true;
    sender.join();
    std::set<std::string> ids;
    for (auto& text : c.transport->takeSent())
        EXPECT_TRUE(ids.insert(nlohmann::json::parse(text)["event_id"].get<std::string>()).second);
    EXPECT_EQ(c.delegate.startingWith("onSessionDisconnected").size(), 1u);
}

} // namespace
} // namespace orvanta::extensions::openai::test
