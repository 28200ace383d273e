// The client against an independent WebSocket stack: the service simulator
// (Boost.Beast), plain and TLS.
#include "support/TestCertificates.h"
#include "tools/simulator/Simulator.h"
#include "websocket/WebSocketClient.h"
#include "websocket/support/ClientEvents.h"
#include "websocket/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

using namespace orvanta::websocket;
using namespace orvanta::websocket::test;
using namespace orvanta::simulator;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

const std::vector<std::string> keyed{"realtime", "openai-insecure-api-key.sk-1"};

auto threadCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

struct Peer {
    explicit Peer(SimulatorOptions options = {}) : sim(std::move(options)) { sim.start(); }
    std::string url() const { return sim.realtimeUrl() + "?model=m"; }
    bool waitForCloseCode(unsigned code) {
        return sim.waitForCloseCodes([&](const auto& c) { return !c.empty() && c.back().code == code; }, 10s);
    }
    Simulator sim;
};

struct Connection {
    Connection(const std::string& url, std::size_t interval = 600000, std::size_t timeout = 600000, const std::string& caFile = "")
        : client(url, keyed, interval, timeout, caFile) {
        events.attach(client);
        client.start();
    }
    ClientEvents events;
    WebSocketClient client;
};

} // namespace

// Pings every 10 ms, each to be answered within 300 ms: eighty answers take
// longer than two missed pongs would, so the answers keep the connection alive.
TEST(SimulatorPeer, MessagesBothWaysPongsAndACloseFromEachSide) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Debug);
    Peer peer;
    Connection c(peer.url(), 10, 300);
    ASSERT_TRUE(c.events.waitForOpen());

    for (const auto& [text, fragment] : {std::pair<std::string, std::size_t>{"{\"a\":1}", 0}, {"{\"fragmented\":3}", 3}})
        c.client.send(bytesOf(text), true, fragment);
    ASSERT_TRUE(peer.sim.waitForClientEvents([](const auto& e) { return e.size() >= 2; }, 10s));
    EXPECT_EQ(peer.sim.receivedClientEvents(), (std::vector<std::string>{"{\"a\":1}", "{\"fragmented\":3}"}));
    ASSERT_EQ(peer.sim.sendToAll("{\"type\":\"x\"}"), 1u);
    EXPECT_TRUE(c.events.waitForMessage(bytesOf("{\"type\":\"x\"}")));

    EXPECT_TRUE(log.waitFor("[WebSocketClient] Received pong", 80));
    EXPECT_FALSE(log.contains("Heartbeat timeout"));
    c.client.close({0x03, 0xE9});
    ASSERT_TRUE(c.events.waitForEnd());
    EXPECT_TRUE(peer.waitForCloseCode(1001));
    EXPECT_EQ(c.events.closeCount(), 1);
    EXPECT_TRUE(c.events.errorTexts().empty());

    // Started by the server: answered, then reported as a close.
    Connection d(peer.url());
    ASSERT_TRUE(d.events.waitForMessages(1));  // session.created: the simulator has it among its open connections
    ASSERT_EQ(peer.sim.closeAll(false), 1u);
    ASSERT_TRUE(d.events.waitForEnd());
    EXPECT_TRUE(peer.sim.waitForConnectionEnds([](const auto& e) { return e.size() == 2 && e[1] == ConnectionEnd::CloseFrame; }, 10s));
    EXPECT_EQ(d.events.closeCount(), 1);
    EXPECT_TRUE(d.events.errorTexts().empty());
}

TEST(SimulatorPeer, TlsTrustsOnlyTheGivenAuthorityForTheRightHost) {
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
        auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Error);
        SimulatorOptions options;
        options.tlsCertificateFile = t.certificate;
        options.tlsPrivateKeyFile = t.key;
        Peer peer(options);
        Connection c(peer.url(), 600000, 600000, t.caFile);
        if (t.opens) {
            ASSERT_TRUE(c.events.waitForOpen()) << (c.events.errorTexts().empty() ? "" : c.events.errorTexts()[0]);
            const std::string big = "{\"big\":\"" + std::string(70000, 'z') + "\"}";
            c.client.send(bytesOf(big), true, 0);
            EXPECT_TRUE(peer.sim.waitForClientEvents([&](const auto& e) { return !e.empty() && e.back() == big; }, 10s));
            ASSERT_EQ(peer.sim.sendToAll(big), 1u);  // and a long one back
            EXPECT_TRUE(c.events.waitForMessage(bytesOf(big)));
        } else {
            ASSERT_TRUE(c.events.waitForEnd());
            EXPECT_EQ(c.events.openCount(), 0);
            EXPECT_EQ(c.events.errorTexts().size(), 1u);
            EXPECT_TRUE(log.contains("[WebSocketClient] SSL handshake error: "));
        }
    }
    EXPECT_THROW(WebSocketClient("wss://h/", {}, 1, 1, "/nonexistent/ca.pem"), std::system_error);
}

TEST(SimulatorPeer, DestructionFromEveryStateIsQuietAndJoinsItsThreads) {
    Peer peer;
    const auto baseline = threadCount();
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        const int state = round % 4;
        ClientEvents events;
        auto client = std::make_unique<WebSocketClient>(peer.url(), keyed, 1, 600000, "");
        events.attach(*client);
        if (state >= 1) client->start();
        if (state >= 2) {
            ASSERT_TRUE(events.waitForOpen());
        }
        if (state == 3) {
            client->send(Bytes{'{', '}'}, true, 0);
            ASSERT_TRUE(peer.sim.waitForClientEvents([&](const auto& e) { return e.size() >= std::size_t(round / 4 + 1); }, 10s));
        }
        client.reset();
        EXPECT_EQ(events.closeCount(), 0);
        EXPECT_TRUE(events.errorTexts().empty());
        EXPECT_EQ(threadCount(), baseline);
    }
    // Every connection ended; open ones may say goodbye with a close frame.
    EXPECT_TRUE(peer.sim.waitForConnectionEnds([](const auto& e) {
        return std::count(e.begin(), e.end(), ConnectionEnd::Open) == 0 && std::count(e.begin(), e.end(), ConnectionEnd::CloseFrame) > 0;
    }, 10s));
    EXPECT_TRUE(peer.waitForCloseCode(1000));
}

TEST(SimulatorPeer, TwoThreadsSendingWhilePingsFlowKeepEachOnesOrder) {
    auto& log = testsupport::LogLines::attach(orvanta::logging::LogLevel::Debug);
    Peer peer;
    Connection c(peer.url(), 1);
    ASSERT_TRUE(c.events.waitForOpen());
    constexpr int perThread = 300;
    auto sender = [&](char tag) {
        for (int i = 0; i < perThread; ++i) {
            const std::string body = std::string("\"") + tag + ":" + std::to_string(i) + ":" +
                                     std::string(static_cast<std::size_t>(i * 37 % 3000), tag) + "\"";
            c.client.send(bytesOf(body), true, i % 3 == 0 ? 100 : 0);
        }
    };
    std::thread a(sender, 'A'), b(sender, 'B');
    a.join();
    b.join();
    ASSERT_TRUE(peer.sim.waitForClientEvents([](const auto& e) { return e.size() >= 2 * perThread; }, 60s));
    int next[2] = {0, 0};
    for (const auto& m : peer.sim.receivedClientEvents()) {
        const int who = m[1] == 'A' ? 0 : 1;
        const std::string head = std::string("\"") + m[1] + ":" + std::to_string(next[who]) + ":";
        ASSERT_EQ(m.rfind(head, 0), 0u) << "out of order or cut";
        ASSERT_EQ(m, head + std::string(static_cast<std::size_t>(next[who] * 37 % 3000), m[1]) + "\"");
        ++next[who];
    }
    EXPECT_EQ(next[0], perThread);
    EXPECT_EQ(next[1], perThread);
    EXPECT_TRUE(c.events.errorTexts().empty());
    EXPECT_TRUE(log.contains("[WebSocketClient] Received pong"));
}
