// The client against a raw scripted peer (everything a correct server never
// does, and the exact bytes the client puts on the wire) and against an
// independent WebSocket stack, the service simulator (Boost.Beast).
#include "websocket/WebSocketClient.h"
#include "websocket/support/ScriptedPeer.h"
#include "support/Recorders.h"
#include "support/TestCertificates.h"
#ifdef WS_TEST_WITH_SIMULATOR
#include "tools/simulator/Simulator.h"
#endif

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace orvanta::websocket;
using namespace orvanta::websocket::test;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// Records every callback of one client; tests wait on the record with a
// generous timeout instead of sleeping, and read it through get().
struct ClientEvents {
    struct Message {
        Bytes data;
        bool text = false;
        std::size_t spare = 0;  // capacity past the end, as delivered
    };
    void attach(WebSocketClient& client) {
        client.onOpenHandler = [this] { record([&] { ++opens; }); };
        client.onCloseHandler = [this] { record([&] { ++closes; }); };
        client.onErrorHandler = [this](const std::string message) { record([&] { errors.push_back(message); }); };
        client.onMessageHandler = [this](const Bytes& data, bool text) {
            record([&] { messages.push_back({data, text, data.capacity() - data.size()}); });
            if (onMessage) onMessage(data, text);
        };
    }
    template <typename F>
    void record(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        f();
        changed.notify_all();
    }
    template <typename T>
    T get(const T& value) {
        std::lock_guard<std::mutex> lock(mutex);
        return value;
    }
    template <typename Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, pred);
    }
    bool waitForOpen() { return waitFor([&] { return opens > 0; }); }
    bool waitForEnd() { return waitFor([&] { return closes + errors.size() > 0; }); }
    bool waitForMessages(std::size_t n) { return waitFor([&] { return messages.size() >= n; }); }
    bool waitForMessage(const Bytes& data) {
        const auto has = [&](const Message& m) { return m.data == data && m.text; };
        return waitFor([&] { return std::any_of(messages.begin(), messages.end(), has); });
    }
    void clear() { record([&] { opens = closes = 0, errors.clear(), messages.clear(); }); }

    std::function<void(const Bytes&, bool)> onMessage;  // on the I/O thread; set before start()
    std::mutex mutex;
    std::condition_variable changed;
    int opens = 0, closes = 0;
    std::vector<std::string> errors;
    std::vector<Message> messages;
};

const std::string secret = "sk-test-0123456789abcdef";
const std::string keyProtocol = "openai-insecure-api-key." + secret;

class ClientTest : public ::testing::Test {
protected:
    // Long heartbeat by default so that pings do not get in the way.
    void startClient(const std::string& url = "", std::vector<std::string> protocols = {}, std::size_t interval = 600000,
                     std::size_t timeout = 600000, const std::string& caFile = "") {
        client = std::make_unique<WebSocketClient>(url.empty() ? peer.url() : url, protocols, interval, timeout, caFile);
        events.attach(*client);
        client->start();
    }
    // Handshake, then take the first heartbeat ping off the wire.
    void open() {
        startClient();
        ASSERT_FALSE(peer.handshake().empty());
        ASSERT_TRUE(events.waitForOpen());
        expectFrame(0x9, {});
    }
    // The next frame from the client: masked, reserved bits clear.
    void expectFrame(uint8_t opcode, const Bytes& payload, bool fin = true) {
        const auto f = peer.readFrame();
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->opcode == opcode && f->fin == fin && f->masked && f->rsv == 0) << int(f->opcode);
        EXPECT_EQ(textOf(f->payload), textOf(payload));
    }
    void expectOneError(const std::string& text) {
        ASSERT_TRUE(events.waitForEnd());
        EXPECT_EQ(events.get(events.errors), std::vector<std::string>{text});
        EXPECT_EQ(events.get(events.closes), 0);
    }
    void expectOneClose(int closes = 1) {
        ASSERT_TRUE(events.waitFor([&] { return events.closes + events.errors.size() >= std::size_t(closes); }));
        EXPECT_EQ(events.get(events.closes), closes);
        EXPECT_TRUE(events.get(events.errors).empty());
    }

    ScriptedPeer peer;
    ClientEvents events;
    std::unique_ptr<WebSocketClient> client;
};

// A listener whose accept queue is already full: connecting to it hangs.
struct FullListener {
    FullListener() {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        ::bind(listening, reinterpret_cast<sockaddr*>(&addr), len), ::listen(listening, 0);
        ::getsockname(listening, reinterpret_cast<sockaddr*>(&addr), &len);
        ::connect(filler, reinterpret_cast<sockaddr*>(&addr), len);
        port = ntohs(addr.sin_port);
    }
    ~FullListener() { ::close(filler), ::close(listening); }
    int listening = ::socket(AF_INET, SOCK_STREAM, 0), filler = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = 0;
};

} // namespace

TEST_F(ClientTest, RequestLineHeadersAndEarlyMessagesWaitForTheUpgrade) {
    client = std::make_unique<WebSocketClient>(peer.url("/v1/realtime?model=m#frag"), std::vector<std::string>{"realtime", "x"},
                                               600000, 600000, "");
    events.attach(*client);
    client->send(bytesOf("early"), true, 0);
    client->start();
    const std::string request = peer.handshake();
    // The Host header carries a port that is not the scheme's default.
    EXPECT_EQ(request.rfind("GET /v1/realtime?model=m HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(peer.port()) + "\r\n", 0), 0u)
        << request;
    EXPECT_NE(request.find("\r\nSec-WebSocket-Protocol: realtime, x\r\n\r\n"), std::string::npos);
    expectFrame(0x1, bytesOf("early"));
}

// The key travels as a subprotocol: no upgrade failure lets it into an error
// text or a log line at any level, even when the server names it back.
TEST_F(ClientTest, InvalidUpgradeResponsesEndWithOneErrorAndTheKeyIsNeverLogged) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Trace);
    const std::string namedBack = "Sec-WebSocket-Protocol: " + keyProtocol + "\r\n";
    struct Case {
        std::string response, error;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 200 OK\r\n" + namedBack + "\r\n",
         "Handshake validation error: Invalid HTTP response or status code: HTTP/1.1 200  OK\r"},
        {"HTTP/1.1 101 Switching Protocols\r\nX: " + std::string(70000, 'a'),
         "Handshake validation error: response header block exceeds 65536 bytes"},
        {"HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n" + namedBack + "\r\n",
         "Handshake validation error: Invalid Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo= expected: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response.substr(0, 40));
        events.clear();
        startClient("", {"realtime", keyProtocol});
        ASSERT_TRUE(peer.accept());
        const std::string request = peer.readRequest();
        EXPECT_NE(request.find(keyProtocol), std::string::npos);
        peer.sendRaw(c.response);
        ASSERT_TRUE(events.waitForEnd());
        // A wrong accept value is reported beside the right one.
        const std::string right = c.error.back() == ' ' ? ScriptedPeer::acceptFor(ScriptedPeer::requestKey(request)) : "";
        EXPECT_EQ(events.get(events.errors), std::vector<std::string>{c.error + right});
        EXPECT_TRUE(peer.waitForEof());
        EXPECT_EQ(events.get(events.opens) + events.get(events.closes), 0);
        client.reset();
    }
    EXPECT_TRUE(log.contains("[WebSocketClient] Handshake request: GET / HTTP/1.1"));

    // Nor once open: named back by the server, in messages both ways and pings;
    // nor when it would inject a header.
    startClient("", {"realtime", keyProtocol}, 20);
    ASSERT_FALSE(peer.handshake("Sec-WebSocket-Protocol: " + keyProtocol + "\r\n").empty());
    ASSERT_TRUE(events.waitForOpen());
    client->send(bytesOf("echo " + secret), true, 0);
    for (auto f = peer.readFrame(); f; f = peer.readFrame()) {
        if (f->opcode == 0x9 && peer.sendFrame(0xA, f->payload)) break;
    }
    ASSERT_TRUE(log.waitFor("[WebSocketClient] Received pong"));
    peer.sendFrame(0x1, bytesOf(secret));
    ASSERT_TRUE(events.waitForMessages(1));
    client.reset();
    EXPECT_TRUE(log.contains("[WebSocketClient] Negotiated protocol: openai-insecure-api-key.***"));

    events.clear();
    startClient("", {"realtime", keyProtocol + "\r\nX-Evil: 1"});
    expectOneError("Invalid subprotocol #2: empty or contains a character not allowed in a header token");
    EXPECT_FALSE(peer.accept(200ms));
    for (const auto& line : log.all()) EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST_F(ClientTest, FramesGluedToTheUpgradeAndOddButReadableFrames) {
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
    const std::vector<std::pair<std::string, bool>> expected = {{"one", true}, {"two", false}, {"rsv", true}, {"masked", true}, {"", true}};
    const auto got = events.get(events.messages);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::make_pair(textOf(got[i].data), got[i].text), expected[i]);
        EXPECT_GE(got[i].spare, WebSocketSession::messagePadding);
    }
}

TEST_F(ClientTest, PingsAreAnsweredAndFragmentsReassembledAndSent) {
    open();
    peer.sendFrame(0x1, bytesOf("a"), false);
    peer.sendFrame(0x9, bytesOf("x"));
    peer.sendFrame(0x0, bytesOf("b"), false);
    peer.sendFrame(0x0, bytesOf("c"), true);
    expectFrame(0xA, bytesOf("x"));
    ASSERT_TRUE(events.waitForMessages(1));
    const auto got = events.get(events.messages);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(textOf(got[0].data) == "abc" && got[0].text);

    client->send(bytesOf("0123456789"), false, 4);
    client->send(bytesOf("whole"), true, 0);
    client->send({}, true, 4);
    const std::vector<std::tuple<bool, uint8_t, std::string>> expected = {
        {false, 0x2, "0123"}, {false, 0x0, "4567"}, {true, 0x0, "89"}, {true, 0x1, "whole"}, {true, 0x1, ""}};
    for (const auto& [fin, opcode, payload] : expected) expectFrame(opcode, bytesOf(payload), fin);
}

TEST_F(ClientTest, ClosesFromEitherSideAreAnsweredOnceThenReported) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Info);
    open();
    peer.sendFrame(0x8, {0x03, 0xE9});
    expectFrame(0x8, {0x03, 0xE9});
    EXPECT_TRUE(peer.waitForEof());
    expectOneClose();
    EXPECT_TRUE(log.contains("[WebSocketClient] Client received close frame: 127.0.0.1:" + std::to_string(peer.port())));

    // Started by the client: it waits for the server's answer.
    events.clear();
    open();
    client->close({0x03, 0xE8});
    client->send(bytesOf("late"), true, 0);
    client->ping({});
    expectFrame(0x8, {0x03, 0xE8});
    EXPECT_FALSE(peer.readFrame(100ms));  // nothing after the close frame
    EXPECT_EQ(events.get(events.closes), 0);
    peer.sendFrame(0x8, {0x03, 0xE8});
    EXPECT_TRUE(peer.waitForEof());  // no answer to the answer
    expectOneClose();

    // sendCloseFrame ends the connection once written; 1005 is never sent.
    open();
    client->sendCloseFrame({0x03, 0xED});
    expectFrame(0x8, {});
    EXPECT_TRUE(peer.waitForEof());
    expectOneClose(2);
}

// Cut inside the payload, inside the header, and a close frame whose answer
// meets a reset socket.
TEST_F(ClientTest, PeerHangUpTruncatedFrameAndUnanswerableCloseAreOrdinaryCloses) {
    for (const Bytes& wire : {Bytes{0x81, 0x05, 'h', 'e'}, Bytes{0x81}, Bytes{0x88, 0x02, 0x03, 0xE8}}) {
        events.clear();
        open();
        peer.sendRaw(wire);
        peer.closeConnection(wire[0] == 0x88);
        expectOneClose();
        EXPECT_TRUE(events.get(events.messages).empty());
        client.reset();
    }
}

TEST_F(ClientTest, ProtocolViolationsFailTheConnectionWithACloseCode) {
    struct Case {
        Bytes frames;
        uint16_t code;
        std::string error;
    };
    // The reader's refusals are listed in the parsing tests; here, one of
    // each code and the close frame the client itself checks.
    const std::vector<Case> cases = {
        {ScriptedPeer::encodeFrame(0x0, bytesOf("x"), false), 1002, "Protocol violation: continuation frame without a message in progress"},
        {ScriptedPeer::encodeFrame(0x8, {0x03, 0xED}), 1002, "Protocol violation: close frame with status code 1005"},
        {{0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}, 1009, "Message too large: 9223372036854775808 bytes, at most 16777216 accepted per message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        events.clear();
        open();
        Bytes wire = c.frames;
        const Bytes after = ScriptedPeer::encodeFrame(0x1, bytesOf("after"));
        wire.insert(wire.end(), after.begin(), after.end());
        peer.sendRaw(wire);
        expectOneError(c.error);
        expectFrame(0x8, {uint8_t(c.code >> 8), uint8_t(c.code & 0xFF)});
        EXPECT_TRUE(peer.waitForEof());
        EXPECT_TRUE(events.get(events.messages).empty());
        client.reset();
    }
}

TEST_F(ClientTest, SilentPeerIsDeclaredLostOnce) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Warning);
    startClient("", {}, 200, 50);
    ASSERT_FALSE(peer.handshake().empty());
    expectFrame(0x9, {});  // read and never answered
    expectFrame(0x9, {});
    expectOneClose();
    EXPECT_TRUE(peer.waitForEof());
    client.reset();  // joins both threads: every log line is in
    EXPECT_EQ(events.get(events.closes), 1);
    EXPECT_EQ(log.count("[WebSocketClient] Heartbeat timeout."), 2u);
    EXPECT_EQ(log.count("[WebSocketClient] Heartbeat timeout, closing connection."), 1u);
}

// The port the URL names, or its scheme's default (80, 443: privileged, on
// loopback); the Host header names it only when it is not the default.
TEST(HostAndPort, FollowTheUrl) {
    struct Case {
        bool ipv6;
        uint16_t listen;
        std::string url, host;  // an empty URL: the peer's own; a host ending in ':': the peer's port follows
    };
    for (const auto& c : std::vector<Case>{{true, 0, "", "[::1]:"}, {false, 80, "ws://127.0.0.1/p", "127.0.0.1"},
                                           {false, 80, "ws://127.0.0.1:80/p", "127.0.0.1"}, {false, 443, "wss://127.0.0.1/p", ""}}) {
        SCOPED_TRACE(c.url);
        std::unique_ptr<ScriptedPeer> peer;
        try {
            peer = std::make_unique<ScriptedPeer>(c.ipv6, c.listen);
        } catch (const std::exception&) {
            GTEST_SKIP() << "cannot listen on port " << c.listen;
        }
        WebSocketClient client(c.url.empty() ? peer->url("/x") : c.url, {}, 600000, 600000, "");
        client.start();
        ASSERT_TRUE(peer->accept());
        const std::string host = !c.host.empty() && c.host.back() == ':' ? c.host + std::to_string(peer->port()) : c.host;
        if (!host.empty()) {
            EXPECT_NE(peer->readRequest().find("\r\nHost: " + host + "\r\n"), std::string::npos);
        }
    }
}

TEST_F(ClientTest, ExceptionFromAHandlerEndsInOneErrorThenSilence) {
    events.onMessage = [](const Bytes&, bool) { throw std::runtime_error("boom"); };
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Error);
    open();
    peer.sendFrame(0x1, bytesOf("first"));
    peer.sendFrame(0x1, bytesOf("second"));
    expectOneError("Exception in client thread: boom");
    EXPECT_TRUE(peer.waitForEof());
    EXPECT_EQ(events.get(events.messages).size(), 1u);
    EXPECT_TRUE(log.contains("[WebSocketClient] Exception in client thread: boom"));
}

// A closed port, a full accept queue, a silent TLS peer, a silent plain peer, a
// TLS server that stalls the upgrade: one error each, and the client thread
// ends by itself.
TEST_F(ClientTest, EachPhaseBeforeOpenHasADeadline) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Debug);
    testsupport::TestCertificates certs;
    ASSERT_TRUE(certs.ok());
    FullListener full;
    const std::string closed = ScriptedPeer().url();  // nobody listens there any more
    const std::string upgradeTimeout = "Handshake timeout: no upgrade response within 300 ms";
    std::vector<std::tuple<std::string, std::string, std::string>> cases = {  // URL, CA file, error
        {closed, "", "Connection refused"},
        {"ws://127.0.0.1:" + std::to_string(full.port) + "/", "", "Connect timeout: no connection within 300 ms"},
        {"wss://127.0.0.1:" + std::to_string(peer.port()) + "/", certs.caFile(), "SSL handshake timeout: no TLS session within 300 ms"},
        {peer.url(), "", upgradeTimeout}};
#ifdef WS_TEST_WITH_SIMULATOR
    orvanta::simulator::SimulatorOptions options;
    options.tlsCertificateFile = certs.serverCertificate();
    options.tlsPrivateKeyFile = certs.serverKey();
    options.faults.stallHandshake = true;
    orvanta::simulator::Simulator simulator(options);
    simulator.start();
    cases.emplace_back(simulator.realtimeUrl() + "?model=m", certs.caFile(), upgradeTimeout);
#endif
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [url, caFile, error] = cases[i];
        SCOPED_TRACE(url);
        events.clear();
        client = std::make_unique<WebSocketClient>(url, std::vector<std::string>{"realtime"}, 600000, 600000, caFile);
        client->setTimeouts({300ms, 300ms, 300ms});
        events.attach(*client);
        client->start();
        if (url.find(":" + std::to_string(peer.port()) + "/") != std::string::npos) {  // the scripted peer: accepts, then silence
            ASSERT_TRUE(peer.accept());
        }
        expectOneError(error);
        EXPECT_TRUE(log.contains(error));
        EXPECT_TRUE(log.waitFor("[WebSocketClient] Client thread exiting.", i + 1));
        client.reset();
    }
}

TEST_F(ClientTest, SmallPingsToAClientWhosePeerNeverReadsOverflowItsSendQueue) {
    open();
    const Bytes ping = ScriptedPeer::encodeFrame(0x9, Bytes(125, 'p'));
    Bytes batch;
    for (int i = 0; i < 100; ++i) batch.insert(batch.end(), ping.begin(), ping.end());
    for (int i = 0; i < 10000 && events.get(events.errors).empty() && peer.sendRaw(batch); ++i) {
    }
    expectOneError("Send queue overflow: more than " + std::to_string(maxQueuedBytes) + " bytes waiting to be written");
}

#ifdef WS_TEST_WITH_SIMULATOR
using namespace orvanta::simulator;

namespace {

const std::vector<std::string> keyed{"realtime", "openai-insecure-api-key.sk-1"};

auto threadCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

struct Sim : Simulator {
    explicit Sim(SimulatorOptions options = {}) : Simulator(std::move(options)) { start(); }
    std::string url() const { return realtimeUrl() + "?model=m"; }
    bool waitForCloseCode(unsigned code) {
        return waitForCloseCodes([&](const auto& c) { return !c.empty() && c.back().code == code; }, 10s);
    }
};

} // namespace

// Pings every 10 ms, each to be answered within 300 ms: eighty answers take
// longer than two missed pongs would, so the answers keep the connection alive.
TEST_F(ClientTest, SimulatorMessagesBothWaysPongsAndACloseFromEachSide) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Debug);
    Sim server;
    startClient(server.url(), keyed, 10, 300);
    ASSERT_TRUE(events.waitForOpen());

    for (const auto& [text, fragment] : {std::pair<std::string, std::size_t>{"{\"a\":1}", 0}, {"{\"fragmented\":3}", 3}})
        client->send(bytesOf(text), true, fragment);
    ASSERT_TRUE(server.waitForClientEvents([](const auto& e) { return e.size() >= 2; }, 10s));
    EXPECT_EQ(server.receivedClientEvents(), (std::vector<std::string>{"{\"a\":1}", "{\"fragmented\":3}"}));
    ASSERT_EQ(server.sendToAll("{\"type\":\"x\"}"), 1u);
    EXPECT_TRUE(events.waitForMessage(bytesOf("{\"type\":\"x\"}")));

    EXPECT_TRUE(log.waitFor("[WebSocketClient] Received pong", 80));
    EXPECT_FALSE(log.contains("Heartbeat timeout"));
    client->close({0x03, 0xE9});
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_TRUE(server.waitForCloseCode(1001));
    EXPECT_EQ(events.get(events.closes), 1);
    EXPECT_TRUE(events.get(events.errors).empty());

    // Started by the server: answered, then reported as a close.
    events.clear();
    startClient(server.url(), keyed);
    ASSERT_TRUE(events.waitForMessages(1));  // session.created: the simulator has it among its open connections
    ASSERT_EQ(server.closeAll(false), 1u);
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_TRUE(server.waitForConnectionEnds([](const auto& e) { return e.size() == 2 && e[1] == ConnectionEnd::CloseFrame; }, 10s));
    EXPECT_EQ(events.get(events.closes), 1);
    EXPECT_TRUE(events.get(events.errors).empty());
}

TEST_F(ClientTest, SimulatorTlsTrustsOnlyTheGivenAuthorityForTheRightHost) {
    testsupport::TestCertificates certs;
    ASSERT_TRUE(certs.ok()) << "openssl could not make the test certificates";
    struct Case {
        std::string name, certificate, key, caFile;
        bool opens;
    };
    const std::vector<Case> cases = {
        {"trusted", certs.serverCertificate(), certs.serverKey(), certs.caFile(), true},
        {"other host", certs.otherHostCertificate(), certs.otherHostKey(), certs.caFile(), false},
        {"authority not given", certs.serverCertificate(), certs.serverKey(), certs.otherHostCertificate(), false},
        {"system store", certs.serverCertificate(), certs.serverKey(), "", false},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Debug);
        SimulatorOptions options;
        options.tlsCertificateFile = t.certificate;
        options.tlsPrivateKeyFile = t.key;
        Sim server(options);
        events.clear();
        startClient(server.url(), keyed, 600000, 600000, t.caFile);
        if (t.opens) {
            ASSERT_TRUE(events.waitForOpen()) << (events.get(events.errors).empty() ? "" : events.get(events.errors)[0]);
            const std::string big = "{\"big\":\"" + std::string(70000, 'z') + "\"}";
            client->send(bytesOf(big), true, 0);
            EXPECT_TRUE(server.waitForClientEvents([&](const auto& e) { return !e.empty() && e.back() == big; }, 10s));
            ASSERT_EQ(server.sendToAll(big), 1u);  // and a long one back
            EXPECT_TRUE(events.waitForMessage(bytesOf(big)));
        } else {
            ASSERT_TRUE(events.waitForEnd());
            EXPECT_EQ(events.get(events.opens), 0);
            EXPECT_EQ(events.get(events.errors).size(), 1u);
            EXPECT_TRUE(log.contains("[WebSocketClient] SSL handshake error: "));
            EXPECT_TRUE(log.waitFor("[WebSocketClient] Connection closed")) << "the socket is closed at once";
        }
        client.reset();  // before its server goes
    }
    EXPECT_THROW(WebSocketClient("wss://h/", {}, 1, 1, "/nonexistent/ca.pem"), std::system_error);
}

TEST_F(ClientTest, SimulatorDestructionFromEveryStateIsQuietAndJoinsItsThreads) {
    Sim server;
    const auto baseline = threadCount();
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        const int state = round % 4;
        events.clear();
        client = std::make_unique<WebSocketClient>(server.url(), keyed, 1, 600000, "");
        events.attach(*client);
        if (state >= 1) client->start();
        if (state >= 2) {
            ASSERT_TRUE(events.waitForOpen());
        }
        if (state == 3) {
            client->send(Bytes{'{', '}'}, true, 0);
            ASSERT_TRUE(server.waitForClientEvents([&](const auto& e) { return e.size() >= std::size_t(round / 4 + 1); }, 10s));
        }
        client.reset();
        EXPECT_EQ(events.get(events.closes), 0);
        EXPECT_TRUE(events.get(events.errors).empty());
        EXPECT_EQ(threadCount(), baseline);
    }
    // Every connection ended; open ones may say goodbye with a close frame.
    EXPECT_TRUE(server.waitForConnectionEnds([](const auto& e) {
        return std::count(e.begin(), e.end(), ConnectionEnd::Open) == 0 && std::count(e.begin(), e.end(), ConnectionEnd::CloseFrame) > 0;
    }, 10s));
    EXPECT_TRUE(server.waitForCloseCode(1000));
}

TEST_F(ClientTest, SimulatorTwoThreadsSendingWhilePingsFlowKeepEachOnesOrder) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Debug);
    Sim server;
    startClient(server.url(), keyed, 1);
    ASSERT_TRUE(events.waitForOpen());
    constexpr int perThread = 300;
    auto sender = [&](char tag) {
        for (int i = 0; i < perThread; ++i) {
            const std::string body = std::string("\"") + tag + ":" + std::to_string(i) + ":" +
                                     std::string(static_cast<std::size_t>(i * 37 % 3000), tag) + "\"";
            client->send(bytesOf(body), true, i % 3 == 0 ? 100 : 0);
        }
    };
    std::thread a(sender, 'A'), b(sender, 'B');
    a.join();
    b.join();
    ASSERT_TRUE(server.waitForClientEvents([](const auto& e) { return e.size() >= 2 * perThread; }, 60s));
    int next[2] = {0, 0};
    for (const auto& m : server.receivedClientEvents()) {
        const int who = m[1] == 'A' ? 0 : 1;
        const std::string head = std::string("\"") + m[1] + ":" + std::to_string(next[who]) + ":";
        ASSERT_EQ(m.rfind(head, 0), 0u) << "out of order or cut";
        ASSERT_EQ(m, head + std::string(static_cast<std::size_t>(next[who] * 37 % 3000), m[1]) + "\"");
        ++next[who];
    }
    EXPECT_EQ(next[0], perThread);
    EXPECT_EQ(next[1], perThread);
    EXPECT_TRUE(events.get(events.errors).empty());
    EXPECT_TRUE(log.contains("[WebSocketClient] Received pong"));
}
#endif
