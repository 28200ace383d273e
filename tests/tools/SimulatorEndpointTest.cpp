#include <future>
#include <thread>

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>

#include "tools/SimulatorFixture.h"

namespace orvanta::simulator::test {
namespace {

const std::string kTokenPath = "/openai/realtime/client-secret";

std::string tokenRequest(const std::string& appId, const std::string& appSecret, const json& config) {
  return json{{"appId", appId}, {"appSecret", appSecret}, {"sessionConfig", config}}.dump();
}

TEST(SimulatorEndpoint, UpgradeChecksKeyPathQueryAndSubprotocols) {
  Simulator simulator(fastOptions());
  simulator.start();
  {
    TestClient client(simulator.port());
    EXPECT_EQ(client.connect(kConversationTarget, kProtocols), 101u);
    EXPECT_EQ(client.negotiated, "realtime");
  }
  {
    // A key in the Authorization header needs no subprotocol, and the answer
    // then names none.
    TestClient client(simulator.port());
    client.bearer = kKey;
    EXPECT_EQ(client.connect(kConversationTarget, {}), 101u);
    EXPECT_EQ(client.negotiated, "");
  }
  struct Case {
    std::string target;
    std::vector<std::string> protocols;
    unsigned status;
    std::string code;
  };
  const std::string wrongKey = "sk-wrong-key-000000000000";
  const std::vector<Case> cases = {
      {kConversationTarget, {"realtime", "openai-insecure-api-key." + wrongKey}, 401, "invalid_api_key"},
      {kConversationTarget, {"realtime", "openai-insecure-api-key."}, 401, "missing_api_key"},
      {kConversationTarget, {"realtime"}, 401, "missing_api_key"},
      {kConversationTarget, {"openai-insecure-api-key." + kKey}, 400, "missing_subprotocol"},
      {"/v1/realtime", kProtocols, 400, "missing_required_parameter"},
      {"/v1/realtime?intent=chat", kProtocols, 400, "invalid_value"},
      {"/v1/other?model=x", kProtocols, 404, "not_found"},
  };
  for (const auto& c : cases) {
    TestClient client(simulator.port());
    EXPECT_EQ(client.connect(c.target, c.protocols), c.status) << c.target;
    const json body = json::parse(client.refusalBody, nullptr, false);
    EXPECT_EQ(body["error"]["code"], c.code) << client.refusalBody;
    EXPECT_EQ(client.refusalBody.find(wrongKey), std::string::npos) << "a refused key is never echoed whole";
  }
  const auto records = simulator.handshakes();
  ASSERT_EQ(records.size(), cases.size() + 2);
  EXPECT_EQ(records[0].target, kConversationTarget);
  EXPECT_EQ(records[0].subprotocols, "realtime, openai-insecure-api-key." + kKey);
  EXPECT_EQ(records[0].status, 101u);
  EXPECT_EQ(records[1].subprotocols, "");
  EXPECT_EQ(records[1].status, 101u);
  EXPECT_EQ(records[2].status, 401u);
}

TEST(SimulatorEndpoint, ClientSecretsAreIssuedAcceptedAndBoundToTheirSession) {
  auto options = fastOptions();
  Simulator simulator(options);
  simulator.start();
  const auto port = simulator.port();

  auto issue = [&](const json& config) {
    const auto r = httpRequest(port, "POST", kTokenPath, tokenRequest("app-1", "secret-1", config));
    EXPECT_EQ(r.status, 200u) << r.body;
    const json body = json::parse(r.body);
    EXPECT_EQ(body["success"], true);
    return body["data"]["token"].get<std::string>();
  };
  const std::string token = issue({{"type", "realtime"}, {"instructions", "Be brief."}});
  EXPECT_EQ(token.rfind("ek_", 0), 0u);
  {
    TestClient client(port);
    ASSERT_EQ(client.connect(kConversationTarget, {"realtime", "openai-insecure-api-key." + token}), 101u);
    EXPECT_EQ(client.waitFor("session.created")["session"]["instructions"], "Be brief.");
  }
  // A secret for a transcription session does not open a conversation.
  const std::string transcription =
      issue(json::parse(R"({"audio":{"input":{"transcription":{"model":"gpt-realtime-whisper"}}},"type":"transcription"})"));
  {
    TestClient client(port);
    EXPECT_EQ(client.connect(kConversationTarget, {"realtime", "openai-insecure-api-key." + transcription}), 400u);
  }
  {
    TestClient client(port);
    EXPECT_EQ(client.connect("/v1/realtime?intent=transcription",
                             {"realtime", "openai-insecure-api-key." + transcription}),
              101u);
  }

  const auto refused = httpRequest(port, "POST", kTokenPath, tokenRequest("app-1", "wrong", json::object()));
  EXPECT_EQ(refused.status, 403u);
  const json refusal = json::parse(refused.body);
  EXPECT_EQ(refusal["success"], false);
  EXPECT_TRUE(refusal["message"].is_string());
  EXPECT_EQ(httpRequest(port, "POST", kTokenPath, "<html>").status, 400u);
  EXPECT_EQ(httpRequest(port, "POST", kTokenPath, R"({"appId":"app-1","appSecret":"secret-1"})").status, 400u);
  EXPECT_EQ(httpRequest(port, "GET", kTokenPath, "").status, 405u);
  EXPECT_EQ(httpRequest(port, "POST", "/elsewhere", "{}").status, 404u);
}

TEST(SimulatorEndpoint, ExpiredClientSecretsAreRefused) {
  auto options = fastOptions();
  options.tokenLifetime = std::chrono::milliseconds(1);
  Simulator simulator(options);
  simulator.start();
  const auto r = httpRequest(simulator.port(), "POST", kTokenPath, tokenRequest("app-1", "secret-1", json::object()));
  ASSERT_EQ(r.status, 200u);
  const std::string token = json::parse(r.body)["data"]["token"];
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  TestClient client(simulator.port());
  EXPECT_EQ(client.connect(kConversationTarget, {"realtime", "openai-insecure-api-key." + token}), 401u);
}

TEST(SimulatorEndpoint, ServesBothEndpointsOverTlsWithATestAuthority) {
  TestCertificates certificates;
  auto options = fastOptions();
  options.tlsCertificateFile = certificates.certificateFile;
  options.tlsPrivateKeyFile = certificates.keyFile;
  Simulator simulator(options);
  simulator.start();
  EXPECT_EQ(simulator.realtimeUrl(), "wss://127.0.0.1:" + std::to_string(simulator.port()) + "/v1/realtime");
  EXPECT_EQ(simulator.tokenBaseUrl(), "https://127.0.0.1:" + std::to_string(simulator.port()));

  boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
  tls.add_certificate_authority(boost::asio::buffer(certificates.caPem));
  tls.set_verify_mode(boost::asio::ssl::verify_peer);
  tls.set_verify_callback(boost::asio::ssl::host_name_verification("127.0.0.1"));
  TestClient client(simulator.port(), &tls);
  ASSERT_EQ(client.connect(kConversationTarget, kProtocols), 101u);
  client.waitFor("session.created");
  const auto r = httpRequest(simulator.port(), "POST", kTokenPath, tokenRequest("app-1", "secret-1", json::object()),
                             &tls);
  EXPECT_EQ(r.status, 200u);

  // A client that does not trust the test authority gets nowhere.
  boost::asio::ssl::context untrusting(boost::asio::ssl::context::tls_client);
  untrusting.set_verify_mode(boost::asio::ssl::verify_peer);
  TestClient stranger(simulator.port(), &untrusting);
  EXPECT_EQ(stranger.connect(kConversationTarget, kProtocols), 0u);
}

TEST(SimulatorEndpoint, LinkDelayHoldsBackEveryExchangeWithoutLosingBytes) {
  constexpr auto kDelay = 150ms;
  TestCertificates certificates;
  boost::asio::ssl::context tls(boost::asio::ssl::context::tlsv12_client);  // as the library's client
  tls.add_certificate_authority(boost::asio::buffer(certificates.caPem));
  tls.set_verify_mode(boost::asio::ssl::verify_peer);
  // One-way delays: the upgrade request and its answer (session.created
  // rides with the answer); TLS 1.2 adds two round trips.
  for (const bool secure : {false, true}) {
    SCOPED_TRACE(secure ? "wss" : "ws");
    auto options = fastOptions();
    options.linkDelay = kDelay;
    if (secure) {
      options.tlsCertificateFile = certificates.certificateFile;
      options.tlsPrivateKeyFile = certificates.keyFile;
    }
    Simulator simulator(options);
    simulator.start();
    const int delays = secure ? 6 : 2;
    auto start = std::chrono::steady_clock::now();
    TestClient client(simulator.port(), secure ? &tls : nullptr);
    ASSERT_EQ(client.connect(kConversationTarget, kProtocols, 10s), 101u);
    client.waitFor("session.created", nullptr, 10s);
    EXPECT_GE(std::chrono::steady_clock::now() - start, delays * kDelay);

    start = std::chrono::steady_clock::now();
    const auto r = httpRequest(simulator.port(), "POST", kTokenPath, tokenRequest("app-1", "secret-1", json::object()),
                               secure ? &tls : nullptr);
    EXPECT_EQ(r.status, 200u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, delays * kDelay);

    // A whole answer, sent at once, comes through complete and in order.
    client.send(manualTurns());
    client.send(event({{"type", "response.create"}}));
    std::vector<json> seen;
    client.waitFor("response.done", &seen, 10s);
    std::size_t samples = 0;
    for (const auto& e : seen)
      if (e["type"] == "response.output_audio.delta") samples += pcmSamples(e["delta"]);
    EXPECT_EQ(samples, 24000u);
  }
}

TEST(SimulatorEndpoint, TokenRepliesAreDelayedAndScriptedWithoutHoldingBackOthers) {
  auto options = fastOptions();
  options.tokenDelay = 300ms;
  const std::string late = R"({"success":false,"message":"Service busy."})";
  const std::string truncated = R"({"success":true,"data":{"token":"ek_cut)";
  options.tokenScript = {{3s, 503, late}, {0ms, 0, ""}, {0ms, 200, truncated}};
  Simulator simulator(options);
  simulator.start();
  const auto port = simulator.port();
  const std::string body = tokenRequest("app-1", "secret-1", json::object());

  auto first = std::async(std::launch::async, [&] { return httpRequest(port, "POST", kTokenPath, body); });
  ASSERT_TRUE(simulator.waitForTokenRequests(1, 5s));
  const auto second = httpRequest(port, "POST", kTokenPath, body);
  EXPECT_EQ(second.status, 200u);
  EXPECT_EQ(json::parse(second.body)["data"]["token"].get<std::string>().rfind("ek_", 0), 0u);
  openSession(simulator);
  EXPECT_EQ(first.wait_for(0s), std::future_status::timeout) << "request 0 is still waiting";

  const auto odd = httpRequest(port, "POST", kTokenPath, body);
  EXPECT_EQ(odd.status, 200u);
  EXPECT_EQ(odd.body, truncated);
  // Past the script: the usual answer, after tokenDelay.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(httpRequest(port, "POST", kTokenPath, body).status, 200u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  const auto answer = first.get();
  EXPECT_EQ(answer.status, 503u);
  EXPECT_EQ(answer.body, late);
  EXPECT_EQ(simulator.tokenRequestCount(), 4u);
}

}  // namespace
}  // namespace orvanta::simulator::test
