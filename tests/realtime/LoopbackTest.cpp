// The protocol client on the real transport against a scripted WebSocket
// peer on 127.0.0.1: what goes over the wire, how the connection's end is
// reported, and shutdown while traffic flows.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeEndpoint.h"
#include "websocket/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;
using Calls = std::vector<std::string>;
using websocket::test::ScriptedPeer;
using websocket::test::textOf;

// Points new clients at a peer for the life of the object.
struct EndpointAt {
    explicit EndpointAt(const std::string& url) { setRealtimeEndpointOverride(url); }
    ~EndpointAt() { clearRealtimeEndpointOverride(); }
};

std::string nextText(ScriptedPeer& peer) {
    for (;;) {
        auto frame = peer.readFrame();
        if (!frame)
            return "<no frame>";
        if (frame->opcode == 0x9) { // the heartbeat's ping: answer and go on
            peer.sendFrame(0xA, frame->payload);
            continue;
        }
        EXPECT_TRUE(frame->masked);
        EXPECT_TRUE(frame->fin);
        EXPECT_EQ(frame->opcode, 0x1);
        return textOf(frame->payload);
    }
}

TEST(Loopback, ConversationSessionEndToEnd) {
    LogCapture log;
    ScriptedPeer peer;
    EndpointAt endpoint(peer.url("/v1/realtime"));
    RecordingDelegate delegate;
    OpenAIWebSocketClient client("sk-secret-123", "gpt-realtime-2");
    client.setDelegate(&delegate);

    const std::string request = peer.handshake("Sec-WebSocket-Protocol: realtime\r\n");
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(request.rfind("GET /v1/realtime?model=gpt-realtime-2 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("realtime, openai-insecure-api-key.sk-secret-123"), std::string::npos) << request;

    ASSERT_TRUE(peer.sendText(R"({"type":"session.created","session":{"id":"sess_1","audio":{"output":{"voice":"marin"}}}})"));
    ASSERT_TRUE(delegate.waitForCall("onSessionCreated()"));
    EXPECT_TRUE(client.getIsConnected());
    EXPECT_EQ(client.getInternals().getSession().voice, "marin");

    EXPECT_TRUE(client.appendAudioBuffer({1, -2, 0x7fff}));
    EXPECT_TRUE(client.commitAudioBuffer());
    EXPECT_EQ(nextText(peer), R"({"audio":"AQD+//9/","event_id":"event-1","type":"input_audio_buffer.append"})");
    EXPECT_EQ(nextText(peer), R"({"event_id":"event-2","type":"input_audio_buffer.commit"})");
    EXPECT_EQ(nextText(peer), R"({"event_id":"event-3","type":"response.create"})");

    ASSERT_TRUE(peer.sendFrame(0x2, {1, 2, 3}));
    ASSERT_TRUE(peer.sendText("not json"));
    ASSERT_TRUE(peer.sendText(R"({"type":"response.output_audio.delta","item_id":"it","delta":"AQIDBA=="})"));
    ASSERT_TRUE(delegate.waitForCall("onResponseAudioReceived(2|it|0)"));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Received non-text message."));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Received unparseable JSON, dropping frame."));

    peer.closeConnection(); // hang-up without a close frame: an ordinary end
    ASSERT_TRUE(delegate.waitForCall("onSessionDisconnected()"));
    EXPECT_FALSE(client.getIsConnected());
    EXPECT_FALSE(client.createResponse());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.setDelegate(nullptr);
    auto calls = delegate.take();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "onSessionDisconnected()"), 1);
    // Neither the key nor the subprotocol carrying it reached the log.
    for (auto& line : log.all())
        EXPECT_EQ(line.find("sk-secret-123"), std::string::npos) << line;
}

TEST(Loopback, TranscriptionSessionAndAnEmptyKey) {
    ScriptedPeer peer;
    EndpointAt endpoint(peer.url("/v1/realtime"));
    OpenAIWebSocketClient client("", "gpt-realtime-whisper");
    const std::string request = peer.handshake("Sec-WebSocket-Protocol: realtime\r\n");
    EXPECT_EQ(request.rfind("GET /v1/realtime?intent=transcription HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("realtime, openai-insecure-api-key.\r\n"), std::string::npos) << request;
}

TEST(Loopback, RefusedConnectionReportsErrorThenOneDisconnect) {
    uint16_t port = 0;
    {
        ScriptedPeer probe; // a port that was just free and now is not listened on
        port = probe.port();
    }
    EndpointAt endpoint("ws://127.0.0.1:" + std::to_string(port) + "/v1/realtime");
    RecordingDelegate delegate;
    auto client = std::make_unique<OpenAIWebSocketClient>("k", "gpt-realtime-2");
    client->setDelegate(&delegate);
    ASSERT_TRUE(delegate.waitForCall("onSessionDisconnected()"));
    client->setDelegate(nullptr);
    client.reset();
    auto calls = delegate.take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].rfind("onError(websocket_error||", 0), 0u) << calls[0];
    EXPECT_EQ(calls[1], "onSessionDisconnected()");
}

// Counts calls made after it was detached.
class DetachWatch : public RecordingDelegate {
public:
    std::atomic<bool> detached{false};
    std::atomic<int> afterDetach{0};
    std::atomic<int> audio{0};

protected:
    void record(const std::string& line) override {
        if (detached.load())
            ++afterDetach;
        if (line.rfind("onResponseAudioReceived", 0) == 0)
            ++audio;
        else
            RecordingDelegate::record(line);
    }
};

// The peer streams audio deltas while the client streams audio appends;
// the owner detaches, then destroys the client mid-flow.
TEST(Loopback, DetachAndDestroyWhileTrafficFlows) {
    for (int round = 0; round < 3; ++round) {
        ScriptedPeer peer;
        EndpointAt endpoint(peer.url("/v1/realtime"));
        DetachWatch delegate;
        auto client = std::make_unique<OpenAIWebSocketClient>("k", "gpt-realtime-2");
        client->setDelegate(&delegate);
        ASSERT_FALSE(peer.handshake("Sec-WebSocket-Protocol: realtime\r\n").empty());
        ASSERT_TRUE(peer.sendText(R"({"type":"session.created","session":{"id":"s"}})"));
        ASSERT_TRUE(delegate.waitForCall("onSessionCreated()"));

        std::atomic<bool> stop{false};
        std::atomic<bool> stopSender{false};
        // Send and receive sides of the peer on threads of their own (the
        // peer keeps no state between the two but the socket).
        std::thread serverOut([&] {
            const std::string delta =
                R"({"type":"response.output_audio.delta","item_id":"i","delta":")" + std::string(6400, 'A') + "\"}";
            while (!stop.load() && peer.sendText(delta))
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        });
        std::thread serverIn([&] {
            while (!stop.load())
                peer.readFrame(std::chrono::milliseconds(20));
        });
        std::thread sender([&] {
            const std::vector<int16_t> block(2400, 3);
            while (!stopSender.load()) {
                client->appendAudioBuffer(block);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        for (int i = 0; i < 1000 && delegate.audio.load() < 20; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_GE(delegate.audio.load(), 20);

        client->setDelegate(nullptr);
        delegate.detached = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // The owner stops calling, then destroys the client while deltas keep
        // arriving and its own appends may still be queued for writing.
        stopSender = true;
        sender.join();
        client.reset();
        stop = true;
        serverOut.join();
        serverIn.join();
        peer.closeConnection();
        EXPECT_EQ(delegate.afterDetach.load(), 0);
    }
}

// Destroys its client from inside a call on the I/O thread.
class DestroyOnIoThread : public RecordingDelegate {
public:
    std::unique_ptr<OpenAIWebSocketClient> client;
    void onSessionCreated() override {
        client.reset();
        RecordingDelegate::onSessionCreated();
    }
};

TEST(Loopback, DestroyedOnItsOwnIoThreadDoesNotDeadlock) {
    LogCapture log;
    ScriptedPeer peer;
    EndpointAt endpoint(peer.url("/v1/realtime"));
    DestroyOnIoThread delegate;
    delegate.client = std::make_unique<OpenAIWebSocketClient>("k", "gpt-realtime-2");
    delegate.client->setDelegate(&delegate);
    ASSERT_FALSE(peer.handshake("Sec-WebSocket-Protocol: realtime\r\n").empty());
    ASSERT_TRUE(peer.sendText(R"({"type":"session.created","session":{"id":"s"}})"));
    ASSERT_TRUE(delegate.waitForCall("onSessionCreated()"));
    // The helper thread joins the I/O thread and frees the client; the
    // connection then ends without a close frame.
    EXPECT_TRUE(peer.waitForEof());
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Client destroyed inside its own callback; finishing "
                                      "the shutdown on a helper thread."));
}

} // namespace
} // namespace orvanta::extensions::openai::test
