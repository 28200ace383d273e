#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/SimulatorTestClient.h"
#include "tools/simulator/Simulator.h"

namespace orvanta::simulator::test {

using json = nlohmann::json;

inline const std::string kKey = "sk-test-0123456789abcdef";
inline const std::vector<std::string> kProtocols = {"realtime", "openai-insecure-api-key." + kKey};
inline const std::string kConversationTarget = "/v1/realtime?model=gpt-realtime-2";

/// Options for quick tests: no pacing, no response delay, short answers.
inline SimulatorOptions fastOptions() {
  SimulatorOptions options;
  options.apiKeys = {kKey};
  options.appCredentials = {{"app-1", "secret-1"}};
  options.pacing = 0;
  options.responseDelay = std::chrono::milliseconds(0);
  options.responseAudioLength = std::chrono::milliseconds(1000);
  return options;
}

/// Connects, checks the upgrade and returns the client with session.created read.
inline std::unique_ptr<TestClient> openSession(Simulator& simulator, const std::string& target = kConversationTarget,
                                               json* created = nullptr) {
  auto client = std::make_unique<TestClient>(simulator.port());
  EXPECT_EQ(client->connect(target, kProtocols), 101u);
  const json event = client->waitFor("session.created");
  if (created) *created = event;
  return client;
}

inline std::string event(const json& body) { return body.dump(); }

/// Turn detection off, so that turns are driven by commit and response.create.
inline std::string manualTurns() {
  return event({{"type", "session.update"}, {"session", {{"audio", {{"input", {{"turn_detection", nullptr}}}}}}}});
}

}  // namespace orvanta::simulator::test
