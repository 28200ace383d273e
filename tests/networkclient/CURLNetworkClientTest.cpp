#include "networkclient/CURLNetworkClient.h"
#include "networkclient/TransferSettings.h"
#include "networkclient/support/LocalHttpServer.h"
#include "networkclient/support/TestCertificateAuthority.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <set>

using namespace orvanta::networkclient;
using namespace std::chrono_literals;
using testsupport::HttpReply;
using testsupport::HttpRequest;
using testsupport::LocalHttpServer;

namespace {

const std::vector<std::string> jsonHeader{"Content-Type: application/json"};

// Drives the client as the session's worker does until one response comes.
NetworkResponse nextResponse(CURLNetworkClient& client, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (NetworkResponse* response = client.process())
            return *response;
        client.waitForActivity(50ms);
    }
    ADD_FAILURE() << "no response within the limit";
    return {};
}

class CURLNetworkClientTest : public ::testing::Test {
protected:
    void TearDown() override { resetTransferSettings(); }
};

TEST_F(CURLNetworkClientTest, PassesStatusAndBodyThroughAndSendsTheRequestAsGiven) {
    const std::map<std::string, int> statusByPath{{"/ok", 200}, {"/denied", 403}, {"/missing", 404}, {"/broken", 500}};
    LocalHttpServer server([&](const HttpRequest& request) {
        HttpReply reply;
        reply.status = statusByPath.at(request.target);
        reply.body = "{\"path\":\"" + request.target + "\"}";
        return reply;
    });
    CURLNetworkClient client;
    for (const auto& [path, status] : statusByPath) {
        ASSERT_GT(client.post(server.baseURL() + path, jsonHeader, "{\"n\":1}"), 0);
        const NetworkResponse response = nextResponse(client);
        EXPECT_EQ(response.statusCode, status) << path;
        EXPECT_EQ(response.body, "{\"path\":\"" + path + "\"}");
        EXPECT_TRUE(response.error.empty()) << response.error;
    }
    EXPECT_EQ(client.getNumberOfPendingRequests(), 0u);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, "{\"n\":1}");
}

TEST_F(CURLNetworkClientTest, NumbersRequestsFromOneAndRejectsUnsendableOnesWithoutAnId) {
    LocalHttpServer server([](const HttpRequest&) { return HttpReply{}; });
    CURLNetworkClient client;
    EXPECT_EQ(client.post(server.baseURL() + "/a", jsonHeader, "{}"), 1);
    EXPECT_EQ(client.post("http://127.0.0.1:notaport/x", jsonHeader, "{}"), 0);
    EXPECT_EQ(client.post("file:///etc/passwd", jsonHeader, "{}"), 0);
    EXPECT_EQ(client.post(server.baseURL() + "/a", {"X-Injected: a\r\nHost: elsewhere"}, "{}"), 0);
    EXPECT_EQ(client.post(server.baseURL() + "/b", jsonHeader, "{}"), 2);
    EXPECT_EQ(client.getNumberOfPendingRequests(), 2u);

    std::set<int> ids;
    ids.insert(nextResponse(client).requestID);
    ids.insert(nextResponse(client).requestID);
    EXPECT_EQ(ids, (std::set<int>{1, 2}));
    EXPECT_EQ(client.post(server.baseURL() + "/c", jsonHeader, "{}"), 3);
}

TEST_F(CURLNetworkClientTest, SendsABodyWithANulByteWhole) {
    LocalHttpServer server([](const HttpRequest&) { return HttpReply{}; });
    CURLNetworkClient client;
    const std::string body("ab\0cd", 5);
    ASSERT_GT(client.post(server.baseURL(), jsonHeader, body), 0);
    nextResponse(client);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, body);
}

TEST_F(CURLNetworkClientTest, UnreachablePortGivesStatusZeroAndLibcurlsText) {
    CURLNetworkClient client;
    const int id = client.post("http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()) + "/x",
                               jsonHeader, "{}");
    const NetworkResponse response = nextResponse(client);
    EXPECT_EQ(response.requestID, id);
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_NE(response.error.find("onnect"), std::string::npos) << response.error;
}

TEST_F(CURLNetworkClientTest, TwoTransfersFinishedInOneRoundComeFromSuccessiveCalls) {
    // The server holds both replies until the test opens the gate, and the
    // test calls process() again only once both are in the client's sockets.
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    LocalHttpServer server([opened](const HttpRequest& request) {
        opened.wait();
        return HttpReply{200, request.target};
    });
    CURLNetworkClient client;
    client.post(server.baseURL() + "/one", jsonHeader, "{}");
    client.post(server.baseURL() + "/two", jsonHeader, "{}");
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!server.waitForRequests(2, 0ms) && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(client.process(), nullptr);
        client.waitForActivity(20ms);
    }
    ASSERT_TRUE(server.waitForRequests(2, 0ms));
    gate.set_value();
    ASSERT_TRUE(server.waitForReplies(2, 5s));

    NetworkResponse* first = client.process();
    ASSERT_NE(first, nullptr);
    const NetworkResponse firstCopy = *first;
    NetworkResponse* second = client.process();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ((std::set<std::string>{firstCopy.body, second->body}), (std::set<std::string>{"/one", "/two"}));
    EXPECT_EQ(client.process(), nullptr);
}

TEST_F(CURLNetworkClientTest, HungServerAndOversizedBodyEndInAnError) {
    TransferSettings settings;
    settings.totalTimeout = 300ms;
    setTransferSettings(settings);
    LocalHttpServer server([](const HttpRequest& request) {
        HttpReply reply;
        reply.hang = request.target == "/hang";
        reply.body = std::string(CURLNetworkClient::maxResponseBodyBytes + 1, 'x');
        return reply;
    });
    CURLNetworkClient client;

    client.post(server.baseURL() + "/hang", jsonHeader, "{}");
    NetworkResponse response = nextResponse(client);
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_NE(response.error.find("imed out"), std::string::npos) << response.error;

    resetTransferSettings();
    client.post(server.baseURL() + "/big", jsonHeader, "{}");
    response = nextResponse(client);
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_FALSE(response.error.empty());
    EXPECT_LE(response.body.size(), CURLNetworkClient::maxResponseBodyBytes);
}

TEST_F(CURLNetworkClientTest, VerifiesTheServerCertificateAgainstTheConfiguredCA) {
    testsupport::TestCertificateAuthority ca;
    LocalHttpServer server([](const HttpRequest&) { return HttpReply{200, "{\"secure\":true}"}; },
                           LocalHttpServer::Tls{ca.serverCertificatePem(), ca.serverPrivateKeyPem()});
    {
        // The platform's store does not know the test CA.
        CURLNetworkClient client;
        client.post(server.baseURL() + "/x", jsonHeader, "{}");
        const NetworkResponse response = nextResponse(client);
        EXPECT_EQ(response.statusCode, 0);
        EXPECT_FALSE(response.error.empty());
    }
    TransferSettings settings;
    settings.caFile = ca.caFile();
    setTransferSettings(settings);
    CURLNetworkClient client;
    client.post(server.baseURL() + "/x", jsonHeader, "{}");
    const NetworkResponse response = nextResponse(client);
    EXPECT_EQ(response.statusCode, 200) << response.error;
    EXPECT_EQ(response.body, "{\"secure\":true}");
}

TEST_F(CURLNetworkClientTest, DestroyingWithTransfersInFlightReleasesThem) {
    LocalHttpServer server([](const HttpRequest&) {
        HttpReply reply;
        reply.hang = true;
        return reply;
    });
    auto client = std::make_unique<CURLNetworkClient>();
    client->post(server.baseURL() + "/a", jsonHeader, "{}");
    client->post(server.baseURL() + "/b", jsonHeader, "{}");
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!server.waitForRequests(2, 0ms) && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(client->process(), nullptr);
        client->waitForActivity(20ms);
    }
    ASSERT_TRUE(server.waitForRequests(2, 0ms));             // two in libcurl's hands ...
    client->post(server.baseURL() + "/c", jsonHeader, "{}");  // ... one still queued
    EXPECT_EQ(client->getNumberOfPendingRequests(), 3u);
    client.reset();  // the leak checker of the asan build sees anything left behind
}

} // namespace
