// The client against a raw scripted peer: everything a correct server never
// does, and the exact bytes the client puts on the wire.
#include "websocket/WebSocketClient.h"
#include "websocket/support/ClientEvents.h"
#include "websocket/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace orvanta::websocket;
using namespace orvanta::websocket::test;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

class ScriptedPeerTest : public ::testing::Test {
protected:
    // Long heartbeat by default so that pings do not get in the way.
    void startClient(const std::string& path = "/", std::vector<std::string> protocols = {},
                     std::size_t interval = 600000, std::size_t timeout = 600000) {
        client = std::make_unique<WebSocketClient>(peer.url(path), protocols, interval, timeout, "");
        events.attach(*client);
        client->start();
    }
    // Handshake, then take the first heartbeat ping off the wire.
    void open() {
        startClient();
        ASSERT_FALSE(peer.handshake().empty());
        ASSERT_TRUE(events.waitForOpen());
        auto ping = peer.readFrame();
        ASSERT_TRUE(ping);
        EXPECT_EQ(ping->opcode, 0x9);
        EXPECT_TRUE(ping->masked);
        EXPECT_TRUE(ping->payload.empty());
    }
    void expectOneError(const std::string& text) {
        ASSERT_TRUE(events.waitForEnd());
        EXPECT_EQ(events.errorTexts(), std::vector<std::string>{text});
        EXPECT_EQ(events.closeCount(), 0);
    }

    ScriptedPeer peer;
    ClientEvents events;
    std::unique_ptr<WebSocketClient> client;
};

} // namespace

TEST_F(ScriptedPeerTest, RequestLineHeadersAndEarlyMessagesWaitForTheUpgrade) {
    client = std::make_unique<WebSocketClient>(peer.url("/v1/realtime?model=m#frag"), std::vector<std::string>{"realtime", "x"},
                                               600000, 600000, "");
    events.attach(*client);
    client->send(bytesOf("early"), true, 0);
    client->start();
    const std::string request = peer.handshake();
    EXPECT_EQ(request.rfind("GET /v1/realtime?model=m HTTP/1.1\r\nHost: 127.0.0.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nSec-WebSocket-Protocol: realtime, x\r\n\r\n"), std::string::npos);
    auto first = peer.readFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(textOf(first->payload), "early");
    EXPECT_TRUE(first->masked && first->fin);
}

TEST_F(ScriptedPeerTest, InvalidUpgradeResponsesEndWithOneError) {
    struct Case {
        std::string response, error;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 200 OK\r\n\r\n", "Handshake validation error: Invalid HTTP response or status code: HTTP/1.1 200  OK\r"},
        {"HTTP/1.1 101 Switching Protocols\r\nX: " + std::string(70000, 'a'),
         "Handshake validation error: response header block exceeds 65536 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response.substr(0, 40));
        events.clear();
        startClient();
        ASSERT_TRUE(peer.accept());
        ASSERT_FALSE(peer.readRequest().empty());
        peer.sendRaw(c.response);
        ASSERT_TRUE(events.waitForEnd());
        EXPECT_EQ(events.errorTexts(), std::vector<std::string>{c.error});
        EXPECT_TRUE(peer.waitForEof());
        EXPECT_EQ(events.openCount(), 0);
        EXPECT_EQ(events.closeCount(), 0);
        client.reset();
    }
}

TEST_F(ScriptedPeerTest, FramesGluedToTheUpgradeAndOddButReadableFrames) {
    startClient();
    ASSERT_TRUE(peer.accept());
    const std::string request = peer.readRequest();
    // 101, a text frame and the first byte of a binary frame in one segment.
    Bytes glued = bytesOf(ScriptedPeer::switchingResponse(request));
    for (auto& f : {ScriptedPeer::encodeFrame(0x1, bytesOf("one")), ScriptedPeer::encodeFrame(0x2, bytesOf("two"))})
        glued.insert(glued.end(), f.begin(), f.end());
    const Bytes tail(glued.end() - 4, glued.end());
    glued.resize(glued.size() - 4);
    peer.sendRaw(glued);
    ASSERT_TRUE(events.waitForMessages(1));
    peer.sendRaw(tail);
    peer.sendFrame(0x1, bytesOf("rsv"), true, 0x7);       // reserved bits ignored
    peer.sendFrame(0x1, bytesOf("masked"), true, 0, true);  // masked by the server: unmasked
    peer.sendFrame(0x1, {});
    ASSERT_TRUE(events.waitForMessages(5));
    const auto got = events.received();
    EXPECT_EQ(textOf(got[0].data), "one");
    EXPECT_TRUE(got[0].text);
    EXPECT_EQ(textOf(got[1].data), "two");
    EXPECT_FALSE(got[1].text);
    EXPECT_EQ(textOf(got[2].data), "rsv");
    EXPECT_EQ(textOf(got[3].data), "masked");
    EXPECT_TRUE(got[4].data.empty() && got[4].text);
}

TEST_F(ScriptedPeerTest, PingsAreAnsweredAndFragmentsReassembled) {
    open();
    peer.sendFrame(0x1, bytesOf("a"), false);
    peer.sendFrame(0x9, bytesOf("x"));
    peer.sendFrame(0x0, bytesOf("b"), false);
    peer.sendFrame(0x0, bytesOf("c"), true);
    auto pong = peer.readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_TRUE(pong->masked);
    EXPECT_EQ(textOf(pong->payload), "x");
    ASSERT_TRUE(events.waitForMessages(1));
    const auto got = events.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0].data), "abc");
    EXPECT_TRUE(got[0].text);
}

TEST_F(ScriptedPeerTest, OutgoingFragmentation) {
    open();
    client->send(bytesOf("0123456789"), false, 4);
    client->send(bytesOf("whole"), true, 0);
    client->send({}, true, 4);
    const std::vector<std::tuple<bool, uint8_t, std::string>> expected = {
        {false, 0x2, "0123"}, {false, 0x0, "4567"}, {true, 0x0, "89"}, {true, 0x1, "whole"}, {true, 0x1, ""}};
    for (const auto& [fin, opcode, payload] : expected) {
        auto f = peer.readFrame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->fin, fin);
        EXPECT_EQ(f->opcode, opcode);
        EXPECT_TRUE(f->masked);
        EXPECT_EQ(f->rsv, 0);
        EXPECT_EQ(textOf(f->payload), payload);
    }
}

TEST_F(ScriptedPeerTest, CloseStartedByTheServerIsEchoedThenReported) {
    open();
    peer.sendFrame(0x8, {0x03, 0xE8});
    auto answer = peer.readFrame();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->opcode, 0x8);
    EXPECT_TRUE(answer->masked);
    EXPECT_EQ(answer->payload, (Bytes{0x03, 0xE8}));
    EXPECT_TRUE(peer.waitForEof());
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_EQ(events.closeCount(), 1);
    EXPECT_TRUE(events.errorTexts().empty());
}

TEST_F(ScriptedPeerTest, CloseStartedByTheClientWaitsForTheServer) {
    open();
    client->close({0x03, 0xE8});
    auto frame = peer.readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->opcode, 0x8);
    EXPECT_EQ(frame->payload, (Bytes{0x03, 0xE8}));
    EXPECT_FALSE(events.waitFor([&] { return events.closes > 0; }, 100ms));
    peer.sendFrame(0x8, {0x03, 0xE8});
    EXPECT_TRUE(peer.waitForEof());  // no answer to the answer
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_EQ(events.closeCount(), 1);
    EXPECT_TRUE(events.errorTexts().empty());

    // sendCloseFrame ends the connection once written.
    open();
    client->sendCloseFrame({});
    frame = peer.readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->opcode, 0x8);
    EXPECT_TRUE(peer.waitForEof());
    EXPECT_TRUE(events.waitFor([&] { return events.closes == 2; }));
}

TEST_F(ScriptedPeerTest, PeerHangUpAndTruncatedFrameAreOrdinaryCloses) {
    open();
    peer.sendRaw(Bytes{0x81, 0x05, 'h', 'e'});
    peer.closeConnection();
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_EQ(events.closeCount(), 1);
    EXPECT_TRUE(events.errorTexts().empty());
    EXPECT_TRUE(events.received().empty());
}

TEST_F(ScriptedPeerTest, ProtocolViolationsEndWithOneErrorAndNoFurtherReading) {
    struct Case {
        Bytes frame;
        std::string error;
    };
    Bytes oversized{0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<Case> cases = {
        {ScriptedPeer::encodeFrame(0x0, bytesOf("x"), false), "Protocol violation: continuation frame without a message in progress"},
        {ScriptedPeer::encodeFrame(0x3, bytesOf("x"), false), "Protocol violation: non-final frame with reserved opcode 0x3"},
        {oversized, "Message too large: 9223372036854775808 payload bytes announced, at most 16777216 accepted per message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        events.clear();
        open();
        Bytes wire = c.frame;
        const Bytes after = ScriptedPeer::encodeFrame(0x1, bytesOf("after"));
        wire.insert(wire.end(), after.begin(), after.end());
        peer.sendRaw(wire);
        expectOneError(c.error);
        EXPECT_TRUE(peer.waitForEof());
        EXPECT_TRUE(events.received().empty());
        client.reset();
    }
}

TEST_F(ScriptedPeerTest, SilentPeerIsDeclaredLostOnce) {
    RecordingLog log(orvanta::logging::LogLevel::Warning);
    startClient("/", {}, 200, 50);
    ASSERT_FALSE(peer.handshake().empty());
    // Read the pings and never answer.
    for (int i = 0; i < 2; ++i) {
        auto ping = peer.readFrame();
        ASSERT_TRUE(ping);
        EXPECT_EQ(ping->opcode, 0x9);
    }
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_TRUE(peer.waitForEof());
    client.reset();  // joins both threads: every log line is in
    EXPECT_EQ(events.closeCount(), 1);
    EXPECT_TRUE(events.errorTexts().empty());
    EXPECT_EQ(log.count("[WebSocketClient] Heartbeat timeout."), 2u);
    EXPECT_EQ(log.count("[WebSocketClient] Heartbeat timeout, closing connection."), 1u);
}

TEST_F(ScriptedPeerTest, HeaderInjectionIsRefusedBeforeConnecting) {
    startClient("/", {"realtime", "openai-insecure-api-key.sk\r\nX-Evil: 1"});
    expectOneError("Invalid subprotocol #2: empty or contains a character not allowed in a header token");
    EXPECT_FALSE(peer.accept(200ms));
}

TEST_F(ScriptedPeerTest, ExceptionFromAHandlerEndsInOneErrorThenSilence) {
    events.onMessage = [](const Bytes&, bool) { throw std::runtime_error("boom"); };
    RecordingLog log(orvanta::logging::LogLevel::Error);
    open();
    peer.sendText("first");
    peer.sendText("second");
    expectOneError("Exception in client thread: boom");
    EXPECT_TRUE(peer.waitForEof());
    EXPECT_EQ(events.received().size(), 1u);
    EXPECT_TRUE(log.contains("[WebSocketClient] Exception in client thread: boom"));
}
