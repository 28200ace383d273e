#include "networkclient/CURLNetworkClient.h"
#include "networkclient/NetworkSession.h"
#include "networkclient/SecretMask.h"
#include "networkclient/TransferSettings.h"
#include "support/Recorders.h"
#include "support/TestCertificates.h"
#include "tools/simulator/Simulator.h"
#include "websocket/support/ScriptedPeer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <future>
#include <set>

using namespace orvanta::networkclient;
using namespace std::chrono_literals;
using orvanta::logging::LogLevel;
using orvanta::simulator::Simulator;
using orvanta::simulator::SimulatorOptions;
using orvanta::websocket::test::ScriptedPeer;
using Inbox = testsupport::Inbox<NetworkResponse>;

namespace {

const std::vector<std::string> jsonHeader{"Content-Type: application/json"};
// The simulator's token service answers by the body: 200 to the first, 400 to the second.
const std::string goodBody = "{\"appId\":\"a\",\"appSecret\":\"s\",\"sessionConfig\":{}}";
const std::string badBody = "{}";

struct Service {
    explicit Service(SimulatorOptions options = {}) : sim(std::move(options)) { sim.start(); }
    std::string url() const { return sim.tokenBaseUrl() + "/openai/realtime/client-secret"; }
    Simulator sim;
};

// Drives the client as the session's worker does until one response comes.
NetworkResponse nextResponse(CURLNetworkClient& client, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (NetworkResponse* response = client.process()) return *response;
        client.waitForActivity(50ms);
    }
    ADD_FAILURE() << "no response within the limit";
    return {};
}

// `onCount` runs after the pending count has been read and before the worker gets it.
struct CountHook : CURLNetworkClient {
    std::function<void()> onCount;
    std::size_t getNumberOfPendingRequests() override {
        const std::size_t count = CURLNetworkClient::getNumberOfPendingRequests();
        if (onCount) onCount();
        return count;
    }
};

} // namespace

// Each callback, in either form, gets the response to its own request, once,
// on the session's thread, whichever thread posted.
TEST(NetworkSession, ManyThreadsPostingAtOnceGetTheirOwnResponseOnce) {
    Service service;
    Inbox inbox;
    NetworkSession session;
    constexpr int threads = 4, perThread = 8;
    struct Expected {
        Inbox* inbox;
        long status;
    } expected[threads * perThread];  // for the user-data form
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                Expected& e = expected[t * perThread + i] = {&inbox, (t + i) % 2 == 0 ? 200 : 400};
                const std::string& body = e.status == 200 ? goodBody : badBody;
                if (i % 2 == 0) {
                    session.makePostRequest(service.url(), jsonHeader, body, [&e](NetworkResponse r) {
                        EXPECT_EQ(r.statusCode, e.status) << r.body;
                        e.inbox->add(r);
                    });
                } else {
                    session.makePostRequest(service.url(), jsonHeader, body, [](NetworkResponse r, void* d) {
                        EXPECT_EQ(r.statusCode, static_cast<Expected*>(d)->status) << r.body;
                        static_cast<Expected*>(d)->inbox->add(r);
                    }, &e);
                }
            }
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_NE(inbox.waitFor(threads * perThread).statusCode, 0);
    std::set<int> ids;
    for (const auto& r : inbox.all()) {
        ids.insert(r.requestID);
        EXPECT_NE(r.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(inbox.count(), static_cast<std::size_t>(threads * perThread));
}

// Destroyed with requests in flight (and, for the client, one still queued):
// the leak checker of the asan build sees anything left behind.
TEST(NetworkSession, DestroyedWithRequestsInFlightNeverCallsBack) {
    SimulatorOptions options;
    options.tokenDelay = 10min;
    Service service(options);
    auto alive = std::make_shared<int>(0);
    std::atomic<int> calls{0};
    {
        NetworkSession session;
        session.makePostRequest(service.url(), jsonHeader, "{}", [alive, &calls](NetworkResponse) { ++calls; });
        session.makePostRequest(service.url(), jsonHeader, "{}",
                                [](NetworkResponse, void* c) { ++*static_cast<std::atomic<int>*>(c); }, &calls);
        ASSERT_TRUE(service.sim.waitForTokenRequests(2, 10s));
        EXPECT_EQ(alive.use_count(), 2);
    }
    // The callable was destroyed uncalled, so no late call can come.
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_EQ(calls.load(), 0);

    auto client = std::make_unique<CURLNetworkClient>();
    client->post(service.url(), jsonHeader, "{}");
    client->post(service.url(), jsonHeader, "{}");
    while (!service.sim.waitForTokenRequests(4, 0ms)) {
        ASSERT_EQ(client->process(), nullptr);
        client->waitForActivity(20ms);
    }
    client->post(service.url(), jsonHeader, "{}");  // one still queued beside two in libcurl's hands
    EXPECT_EQ(client->getNumberOfPendingRequests(), 3u);
    client.reset();
}

TEST(NetworkSession, ARequestMadeWhileTheIdleWorkerReadsTheCountStartsAtOnce) {
    Service service;
    auto client = std::make_unique<CountHook>();
    std::promise<void> counting;
    std::atomic<bool> armed{true};
    client->onCount = [&] {
        if (!armed.exchange(false)) return;
        counting.set_value();
        std::this_thread::sleep_for(100ms);  // widens the gap between reading the count and starting the wait
    };
    NetworkSession session(std::move(client));
    ASSERT_EQ(counting.get_future().wait_for(5s), std::future_status::ready);
    Inbox inbox;
    session.makePostRequest(service.url(), {}, "{}", [&](NetworkResponse r) { inbox.add(r); });
    // A lost notification would leave it for the whole 10 s idle wait.
    EXPECT_EQ(inbox.waitFor(1, 5s).requestID, 1);
}

// A request that cannot start gets no number and its callback is released; a
// throwing callback stops no later delivery; debug lines show the bodies' shape only.
TEST(NetworkSession, UnstartableRequestsThrowingCallbacksAndDebugLines) {
    const std::string reply = "{\"data\":{\"token\":\"ek_live_token\"},\"success\":true}";
    SimulatorOptions options;
    options.tokenScript = {{0ms, 200, reply}, {0ms, 200, reply}};
    Service service(options);
    auto& log = testsupport::LogLines::attach(LogLevel::Debug);
    {
        NetworkSession session;
        Inbox inbox;
        auto alive = std::make_shared<int>(0);
        EXPECT_EQ(session.makePostRequest("not a url", jsonHeader, "{}", [alive](NetworkResponse) {}), 0);
        EXPECT_EQ(alive.use_count(), 1);
        session.makePostRequest(service.url(), {}, "{}", [](NetworkResponse) { throw std::runtime_error("callback failed"); });
        session.makePostRequest(service.url(), jsonHeader, "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\"}",
                                [&](NetworkResponse r) { inbox.add(r); });
        EXPECT_EQ(inbox.waitFor(1).requestID, 2);
        EXPECT_EQ(inbox.all()[0].body, reply);
    }
    const std::string text = log.text();
    EXPECT_NE(text.find(" [error] [NetworkSession] Could not make network request."), std::string::npos);
    EXPECT_NE(text.find(" [debug] [NetworkSession] Made network request #2 body: {\"appId\":\"app-1\",\"appSecret\":\"***\"}"),
              std::string::npos) << text;
    EXPECT_NE(text.find(" [debug] [NetworkSession] Received response for request #2 body: "
                        "{\"data\":{\"token\":\"***\"},\"success\":true}"), std::string::npos) << text;
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(text.find("ek_live_token"), std::string::npos);
}

// A token under any name, at any depth, in an array, layout kept; harmless
// names help only in a request, and not in an array, escaped, as a value or
// with a long value; what is not JSON shows only its size; long text is cut.
TEST(SecretMask, ShowsTheShapeOfABodyButNoneOfItsSecrets) {
    for (const auto& c : nlohmann::json::parse(std::ifstream(NC_TEST_DATA "/masks.json"))) {
        const std::string body = c["body"];
        EXPECT_EQ(c["request"] ? maskForLog(body, harmlessRequestMembers) : maskForLog(body), c["logged"]) << body;
    }
}

class CURLNetworkClientTest : public ::testing::Test {
protected:
    void TearDown() override { resetTransferSettings(); }
};

TEST_F(CURLNetworkClientTest, NumbersRequestsAndPassesStatusAndBodyThrough) {
    SimulatorOptions options;
    const std::vector<int> statuses{200, 403, 404, 500};
    for (int status : statuses) options.tokenScript.push_back({0ms, status, "{\"status\":" + std::to_string(status) + "}"});
    Service service(options);
    CURLNetworkClient client;
    // Unsendable requests get no number.
    EXPECT_EQ(client.post("http://127.0.0.1:notaport/x", jsonHeader, "{}"), 0);
    EXPECT_EQ(client.post("file:///etc/passwd", jsonHeader, "{}"), 0);
    EXPECT_EQ(client.post(service.url(), {"X-Injected: a\r\nHost: elsewhere"}, "{}"), 0);
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        ASSERT_EQ(client.post(service.url(), jsonHeader, "{}"), static_cast<int>(i + 1));
        const NetworkResponse response = nextResponse(client);
        EXPECT_EQ(response.requestID, static_cast<int>(i + 1));
        EXPECT_EQ(response.statusCode, statuses[i]);
        EXPECT_EQ(response.body, "{\"status\":" + std::to_string(statuses[i]) + "}");
        EXPECT_TRUE(response.error.empty()) << response.error;
    }
    EXPECT_EQ(client.getNumberOfPendingRequests(), 0u);
}

TEST_F(CURLNetworkClientTest, SendsTheRequestAsGivenWithABodyThatHoldsANulByte) {
    ScriptedPeer peer;
    auto server = answerOnce(peer, "{}");
    CURLNetworkClient client;
    const std::string body("{\"a\":\0}", 7);
    ASSERT_EQ(client.post(peer.url("/p?q=1").replace(0, 2, "http"), jsonHeader, body), 1);
    const NetworkResponse response = nextResponse(client);
    const std::string request = server.get();
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.body, "{}");
    EXPECT_EQ(request.rfind("POST /p?q=1 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.substr(request.size() - body.size()), body);
}

TEST_F(CURLNetworkClientTest, TwoTransfersFinishedInOneRoundComeFromSuccessiveCalls) {
    ScriptedPeer one, two;
    std::atomic<int> read{0};
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    const auto serve = [&](ScriptedPeer& peer, const std::string& body) {
        return std::async(std::launch::async, [&peer, &read, opened, body] {
            if (!peer.accept() || peer.readRequest().empty()) return;
            ++read;
            opened.wait();
            peer.sendRaw("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n" + body);
        });
    };
    auto a = serve(one, "1"), b = serve(two, "2");
    CURLNetworkClient client;
    client.post(one.url().replace(0, 2, "http"), jsonHeader, "{}");
    client.post(two.url().replace(0, 2, "http"), jsonHeader, "{}");
    while (read < 2) {
        ASSERT_EQ(client.process(), nullptr);
        client.waitForActivity(20ms);
    }
    // Both replies are written while the client is not looking.
    gate.set_value();
    a.get();
    b.get();
    NetworkResponse* first = client.process();
    ASSERT_NE(first, nullptr);
    const std::string firstBody = first->body;
    NetworkResponse* second = client.process();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ((std::set<std::string>{firstBody, second->body}), (std::set<std::string>{"1", "2"}));
    EXPECT_EQ(client.process(), nullptr);
}

// Unreachable, silent, too long a reply, a certificate the platform's store
// does not know: status 0 and libcurl's text. With the test CA configured, the
// same server is trusted.
TEST_F(CURLNetworkClientTest, FailedTransfersGiveStatusZeroAndLibcurlsText) {
    testsupport::TestCertificates certs;
    ASSERT_TRUE(certs.ok());
    SimulatorOptions hung, oversized, tls;
    hung.faults.silentAfterAccept = true;
    oversized.tokenScript = {{0ms, 200, std::string(CURLNetworkClient::maxResponseBodyBytes + 1, 'x')}};
    tls.tlsCertificateFile = certs.serverCertificate();
    tls.tlsPrivateKeyFile = certs.serverKey();
    tls.tokenScript = {{0ms, 200, "{\"secure\":true}"}, {0ms, 200, "{\"secure\":true}"}};
    const std::string unreachable = ScriptedPeer().url("").replace(0, 2, "http");  // nobody listens there any more
    TransferSettings settings;
    settings.totalTimeout = 300ms;
    setTransferSettings(settings);
    for (const auto& [name, options, error] : std::vector<std::tuple<std::string, SimulatorOptions, std::string>>{
             {"unreachable", {}, "onnect"}, {"hung", hung, "imed out"}, {"oversized", oversized, ""}, {"untrusted", tls, ""}}) {
        SCOPED_TRACE(name);
        Service service(options);
        CURLNetworkClient client;
        const int id = client.post(name == "unreachable" ? unreachable : service.url(), jsonHeader, "{}");
        NetworkResponse response = nextResponse(client);
        EXPECT_EQ(response.requestID, id);
        EXPECT_EQ(response.statusCode, 0);
        EXPECT_FALSE(response.error.empty());
        EXPECT_NE(response.error.find(error), std::string::npos) << response.error;
        EXPECT_LE(response.body.size(), CURLNetworkClient::maxResponseBodyBytes);
        if (name != "untrusted") continue;
        settings.caFile = certs.caFile();
        settings.totalTimeout = 10s;
        setTransferSettings(settings);
        CURLNetworkClient trusting;
        trusting.post(service.url(), jsonHeader, "{}");
        response = nextResponse(trusting);
        EXPECT_EQ(response.statusCode, 200) << response.error;
        EXPECT_EQ(response.body, "{\"secure\":true}");
    }
}
