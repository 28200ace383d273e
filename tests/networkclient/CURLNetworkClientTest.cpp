#include "networkclient/CURLNetworkClient.h"
#include "networkclient/TransferSettings.h"
#include "support/TestCertificates.h"
#include "tools/simulator/Simulator.h"
#include "websocket/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>

using namespace orvanta::networkclient;
using namespace std::chrono_literals;
using orvanta::simulator::ScriptedTokenReply;
using orvanta::simulator::Simulator;
using orvanta::simulator::SimulatorOptions;
using orvanta::websocket::test::ScriptedPeer;

namespace {

const std::vector<std::string> jsonHeader{"Content-Type: application/json"};
const std::string tokenPath = "/openai/realtime/client-secret";

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

struct Service {
    explicit Service(SimulatorOptions options = {}) : sim(std::move(options)) { sim.start(); }
    std::string url() const { return sim.tokenBaseUrl() + tokenPath; }
    Simulator sim;
};

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
    std::string unreachable;
    {
        ScriptedPeer gone;
        unreachable = gone.url("").replace(0, 2, "http");
    }
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

TEST_F(CURLNetworkClientTest, DestroyingWithTransfersInFlightReleasesThem) {
    SimulatorOptions options;
    options.tokenDelay = 10min;
    Service service(options);
    auto client = std::make_unique<CURLNetworkClient>();
    client->post(service.url(), jsonHeader, "{}");
    client->post(service.url(), jsonHeader, "{}");
    while (!service.sim.waitForTokenRequests(2, 0ms)) {
        ASSERT_EQ(client->process(), nullptr);
        client->waitForActivity(20ms);
    }
    client->post(service.url(), jsonHeader, "{}");  // one still queued beside two in libcurl's hands
    EXPECT_EQ(client->getNumberOfPendingRequests(), 3u);
    client.reset();  // the leak checker of the asan build sees anything left behind
}

} // namespace
