// The client against an independent server (Boost.Beast), plain and TLS.
#include "websocket/WebSocketClient.h"
#include "websocket/support/BeastServer.h"
#include "websocket/support/ClientEvents.h"
#include "websocket/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <memory>
#include <thread>

using namespace orvanta::websocket;
using namespace orvanta::websocket::test;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::size_t threadCount() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

TestCertificates& certificates() {
    static TestCertificates certs;
    return certs;
}

} // namespace

TEST(BeastPeer, PlainEchoFragmentationAndClientClose) {
    BeastServer server({});
    WebSocketClient client(server.url("/a?b=1"), {"realtime", "x"}, 600000, 600000, "");
    ClientEvents events;
    events.attach(client);
    client.start();
    ASSERT_TRUE(events.waitForOpen());
    EXPECT_EQ(server.lastTarget(), "/a?b=1");
    EXPECT_EQ(server.lastOfferedProtocols(), "realtime, x");

    client.send(bytes("hello"), true, 0);
    client.send(Bytes{0, 1, 2, 255}, false, 0);
    client.send(bytes("fragmented into threes"), true, 3);
    client.send({}, false, 0);
    ASSERT_TRUE(events.waitForMessages(4));
    const auto echoed = events.received();
    EXPECT_EQ(text(echoed[0].data), "hello");
    EXPECT_TRUE(echoed[0].text);
    EXPECT_EQ(echoed[1].data, (Bytes{0, 1, 2, 255}));
    EXPECT_FALSE(echoed[1].text);
    EXPECT_EQ(text(echoed[2].data), "fragmented into threes");
    EXPECT_TRUE(echoed[2].text);
    EXPECT_TRUE(echoed[3].data.empty());

    client.close({0x03, 0xE8});
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_TRUE(server.waitForClientClose());
    EXPECT_EQ(server.lastCloseCode(), 1000);
    EXPECT_EQ(events.closeCount(), 1);
    EXPECT_TRUE(events.errorTexts().empty());
}

TEST(BeastPeer, CloseStartedByTheServerEchoesItsCode) {
    BeastServer server({});
    WebSocketClient client(server.url(), {}, 600000, 600000, "");
    ClientEvents events;
    events.attach(client);
    client.start();
    ASSERT_TRUE(events.waitForOpen());
    server.closeAll(1001);
    ASSERT_TRUE(events.waitForEnd());
    ASSERT_TRUE(server.waitForClientClose());
    EXPECT_EQ(server.lastCloseCode(), 1001);
    EXPECT_EQ(events.closeCount(), 1);
    EXPECT_TRUE(events.errorTexts().empty());
}

TEST(BeastPeer, TlsWithTestAuthorityAndHostNameCheck) {
    auto& certs = certificates();
    ASSERT_TRUE(certs.ok()) << "openssl could not make the test certificates";
    {
        BeastServer server({true, certs.serverCertificate(), certs.serverKey(), "realtime", true});
        WebSocketClient client(server.url("/tls"), {"realtime"}, 600000, 600000, certs.caFile());
        ClientEvents events;
        events.attach(client);
        client.start();
        ASSERT_TRUE(events.waitForOpen()) << (events.errorTexts().empty() ? "" : events.errorTexts()[0]);
        client.send(Bytes(70000, 'z'), true, 0);
        ASSERT_TRUE(events.waitForMessages(1));
        EXPECT_EQ(events.received()[0].data, Bytes(70000, 'z'));
    }
    {
        // Signed by the trusted authority, but for another host.
        RecordingLog log(orvanta::logging::LogLevel::Trace);
        BeastServer server({true, certs.otherHostCertificate(), certs.otherHostKey(), "", true});
        WebSocketClient client(server.url(), {}, 600000, 600000, certs.caFile());
        ClientEvents events;
        events.attach(client);
        client.start();
        ASSERT_TRUE(events.waitForEnd());
        EXPECT_EQ(events.openCount(), 0);
        EXPECT_EQ(events.closeCount(), 0);
        EXPECT_EQ(events.errorTexts().size(), 1u);
        EXPECT_TRUE(log.contains("[WebSocketClient] SSL handshake error: "));
    }
    // A valid certificate from an authority we were not told to trust: as CA
    // file, or with the system's shared store.
    for (const std::string& caFile : {certs.otherHostCertificate(), std::string()}) {
        BeastServer server({true, certs.serverCertificate(), certs.serverKey(), "", true});
        WebSocketClient client(server.url(), {}, 600000, 600000, caFile);
        ClientEvents events;
        events.attach(client);
        client.start();
        ASSERT_TRUE(events.waitForEnd());
        EXPECT_EQ(events.openCount(), 0);
        EXPECT_EQ(events.errorTexts().size(), 1u);
    }
    EXPECT_THROW(WebSocketClient("wss://h/", {}, 1, 1, "/nonexistent/ca.pem"), std::system_error);
}

TEST(BeastPeer, SecretsNeverReachTheLog) {
    const std::string secret = "sk-test-0123456789abcdef";
    const std::string keyProtocol = "openai-insecure-api-key." + secret;
    RecordingLog log(orvanta::logging::LogLevel::Trace);
    {
        // The server even names the key protocol back.
        BeastServer server({false, "", "", keyProtocol, true});
        WebSocketClient client(server.url(), {"realtime", keyProtocol}, 20, 600000, "");
        ClientEvents events;
        events.attach(client);
        client.start();
        ASSERT_TRUE(events.waitForOpen());
        client.send(bytes("echo " + secret), true, 0);
        ASSERT_TRUE(events.waitForMessages(1));
        ASSERT_TRUE(server.waitForPings(2));
        client.close({});
        ASSERT_TRUE(events.waitForEnd());
    }
    EXPECT_TRUE(log.contains("[WebSocketClient] Handshake request: GET / HTTP/1.1"));
    EXPECT_TRUE(log.contains("[WebSocketClient] Negotiated protocol: openai-insecure-api-key.***"));
    EXPECT_TRUE(log.contains("[WebSocketClient] Received pong"));
    for (const auto& line : log.lines()) EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST(BeastPeer, DestructionFromEveryStateIsQuietAndJoinsItsThreads) {
    BeastServer server({});
    const std::size_t baseline = threadCount();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ClientEvents events;
        auto client = std::make_unique<WebSocketClient>(server.url(), std::vector<std::string>{}, 1, 600000, "");
        events.attach(*client);
        const int state = round % 4;
        if (state >= 1) client->start();
        if (state >= 2) {
            ASSERT_TRUE(events.waitForOpen());
        }
        if (state == 3) {
            client->send(bytes("m"), true, 0);
            ASSERT_TRUE(events.waitForMessages(1));
        }
        client.reset();
        EXPECT_EQ(events.closeCount(), 0);
        EXPECT_TRUE(events.errorTexts().empty());
        EXPECT_EQ(threadCount(), baseline);
    }
    // The server saw connections end; the open ones with a close frame.
    EXPECT_TRUE(server.waitForEndedSessions(10));
    EXPECT_TRUE(server.waitForClientClose());
    EXPECT_EQ(server.lastCloseCode(), 1000);
}

TEST(BeastPeer, TwoThreadsSendingWhilePingsFlow) {
    BeastServer server({});
    WebSocketClient client(server.url(), {}, 1, 600000, "");
    ClientEvents events;
    events.attach(client);
    client.start();
    ASSERT_TRUE(events.waitForOpen());
    constexpr int perThread = 300;
    auto sender = [&](char tag) {
        for (int i = 0; i < perThread; ++i) {
            std::string body = std::string(1, tag) + ":" + std::to_string(i) + ":";
            body += std::string(static_cast<std::size_t>(i * 37 % 3000), tag);
            client.send(bytes(body), true, i % 3 == 0 ? 100 : 0);
        }
    };
    std::thread a(sender, 'A'), b(sender, 'B');
    a.join();
    b.join();
    ASSERT_TRUE(server.waitForMessages(2 * perThread, 60s));
    ASSERT_TRUE(events.waitForMessages(2 * perThread));
    EXPECT_GT(server.pingCount(), 0u);
    int next[2] = {0, 0};
    for (const auto& m : server.messages()) {
        ASSERT_TRUE(m.text);
        const int who = m.data[0] == 'A' ? 0 : 1;
        const std::string expectedHead = std::string(1, m.data[0]) + ":" + std::to_string(next[who]) + ":";
        ASSERT_EQ(m.data.rfind(expectedHead, 0), 0u) << "out of order or cut";
        ASSERT_EQ(m.data.size(), expectedHead.size() + static_cast<std::size_t>(next[who] * 37 % 3000));
        ASSERT_EQ(m.data.find_first_not_of(m.data[0], expectedHead.size()), std::string::npos);
        ++next[who];
    }
    EXPECT_EQ(next[0], perThread);
    EXPECT_EQ(next[1], perThread);
    EXPECT_TRUE(events.errorTexts().empty());
}

TEST(BeastPeer, UnreachableServerIsOneErrorAndTheThreadEndsByItself) {
    unsigned short freePort;
    {
        BeastServer probe({});
        freePort = probe.port();
    }
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(freePort) + "/", {}, 1000, 1000, "");
    ClientEvents events;
    events.attach(client);
    client.start();
    ASSERT_TRUE(events.waitForEnd());
    EXPECT_EQ(events.errorTexts().size(), 1u);
    EXPECT_EQ(events.closeCount(), 0);
}
