#include <algorithm>
#include <thread>

#include "tools/SimulatorFixture.h"

namespace orvanta::simulator::test {
namespace {

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(SimulatorFaults, ClosesAfterTheGivenNumberOfMessagesCleanlyOrAbruptly) {
  auto options = fastOptions();
  options.faults.closeAfterMessages = 2;
  Simulator simulator(options);
  simulator.start();
  {
    auto client = openSession(simulator);
    client->send(manualTurns());
    client->waitFor("session.updated");
    EXPECT_FALSE(client->next().has_value());
    EXPECT_TRUE(client->endedWithCloseFrame);
    EXPECT_EQ(client->closeCode, 1000u);
  }
  SimulatorFaults abrupt;
  abrupt.closeAfterMessages = 1;
  abrupt.closeAbruptly = true;
  simulator.setFaults(abrupt);
  auto client = openSession(simulator);
  EXPECT_FALSE(client->next().has_value());
  EXPECT_TRUE(client->ended);
  EXPECT_FALSE(client->endedWithCloseFrame);
}

TEST(SimulatorFaults, InjectedMessagesFollowSessionCreated) {
  auto options = fastOptions();
  options.faults.sendGarbage = true;
  options.faults.sendBinaryFrame = true;
  options.faults.sendErrorEvent = true;
  Simulator simulator(options);
  simulator.start();
  auto client = openSession(simulator);
  const json garbage = client->next().value();
  EXPECT_TRUE(garbage.is_string()) << "not JSON: " << client->lastRaw;
  client->next();
  EXPECT_TRUE(client->lastWasBinary);
  const json error = client->next().value();
  EXPECT_EQ(error["type"], "error");
  EXPECT_EQ(error["error"]["code"], "simulated_fault");
  // The session goes on as usual afterwards.
  client->send(manualTurns());
  client->waitFor("session.updated");
}

TEST(SimulatorFaults, IgnoredPingsLeaveTheSessionWorking) {
  Simulator simulator(fastOptions());
  simulator.start();
  EXPECT_TRUE(openSession(simulator)->pingAnswered(5s));

  SimulatorFaults faults;
  faults.ignorePings = true;
  simulator.setFaults(faults);
  auto client = openSession(simulator);
  EXPECT_FALSE(client->pingAnswered(300ms));
  client->send(manualTurns());
  client->waitFor("session.updated");
}

TEST(SimulatorFaults, StalledHandshakeRefusedKeyAndDelayedSessionCreated) {
  auto options = fastOptions();
  options.faults.stallHandshake = true;
  Simulator simulator(options);
  simulator.start();
  {
    TestClient client(simulator.port());
    EXPECT_EQ(client.connect(kConversationTarget, kProtocols, 300ms), 0u);
    ASSERT_EQ(simulator.handshakes().size(), 1u);
    EXPECT_EQ(simulator.handshakes()[0].status, 0u);
  }
  SimulatorFaults refuse;
  refuse.refuseKey = true;
  simulator.setFaults(refuse);
  {
    TestClient client(simulator.port());
    EXPECT_EQ(client.connect(kConversationTarget, kProtocols), 401u);
  }
  SimulatorFaults delay;
  delay.sessionCreatedDelay = 200ms;
  simulator.setFaults(delay);
  // An event sent before session.created is answered after it.
  TestClient client(simulator.port());
  ASSERT_EQ(client.connect(kConversationTarget, kProtocols), 101u);
  client.send(manualTurns());
  EXPECT_EQ(client.next().value()["type"], "session.created");
  EXPECT_EQ(client.next().value()["type"], "session.updated");
}

TEST(SimulatorFaults, SilentPeersAndASessionWithoutId) {
  auto options = fastOptions();
  options.faults.silentAfterAccept = true;
  Simulator simulator(options);
  simulator.start();
  {
    TestClient client(simulator.port());
    EXPECT_EQ(client.connect(kConversationTarget, kProtocols, 300ms), 0u);
    EXPECT_TRUE(simulator.handshakes().empty()) << "the request was never read";
  }
  SimulatorFaults silent;
  silent.silentAfterUpgrade = true;
  simulator.setFaults(silent);
  {
    TestClient client(simulator.port());
    ASSERT_EQ(client.connect(kConversationTarget, kProtocols), 101u);
    client.send(manualTurns());
    EXPECT_FALSE(client.pingAnswered(300ms));
    EXPECT_FALSE(client.next(1ms).has_value());
    EXPECT_FALSE(client.ended);
    EXPECT_TRUE(simulator.waitForClientEvents([](const auto& e) { return e.size() == 1; }, 5s)) << "read, not answered";
    client.close(1000);
    EXPECT_TRUE(client.ended);
    EXPECT_FALSE(client.endedWithCloseFrame) << "not even the close is answered";
  }
  SimulatorFaults noId;
  noId.sessionCreatedWithoutId = true;
  simulator.setFaults(noId);
  json created;
  auto client = openSession(simulator, kConversationTarget, &created);
  EXPECT_FALSE(created["session"].contains("id"));
  EXPECT_EQ(created["session"]["type"], "realtime");
  client->send(manualTurns());
  client->waitFor("session.updated");
}

TEST(SimulatorFaults, CloseFramesAndDroppedConnectionsAreRecorded) {
  Simulator simulator(fastOptions());
  simulator.start();
  openSession(simulator)->close(1000);
  openSession(simulator)->close(0);
  openSession(simulator);  // dropped as the client goes
  auto last = openSession(simulator);
  ASSERT_TRUE(simulator.waitForConnectionEnds(
      [](const auto& ends) { return ends.size() == 4 && ends[2] != ConnectionEnd::Open; }, 5s));
  EXPECT_EQ(simulator.closeAll(false), 1u);
  EXPECT_FALSE(last->next().has_value());
  EXPECT_TRUE(last->endedWithCloseFrame);

  ASSERT_TRUE(simulator.waitForConnectionEnds(
      [](const auto& ends) { return std::count(ends.begin(), ends.end(), ConnectionEnd::Open) == 0; }, 5s));
  std::vector<std::pair<std::size_t, unsigned>> closes;
  for (const auto& c : simulator.receivedCloseCodes()) closes.emplace_back(c.connection, c.code);
  const std::vector<std::pair<std::size_t, unsigned>> expectedCloses = {{0, 1000}, {1, 1005}, {3, 1000}};
  EXPECT_EQ(closes, expectedCloses);
  const std::vector<ConnectionEnd> expectedEnds = {ConnectionEnd::CloseFrame, ConnectionEnd::CloseFrame,
                                                   ConnectionEnd::Dropped, ConnectionEnd::CloseFrame};
  EXPECT_EQ(simulator.connectionEnds(), expectedEnds);
}

TEST(SimulatorFaults, ScriptedEventsClosingAndRestarting) {
  Simulator simulator(fastOptions());
  simulator.start();
  auto first = openSession(simulator);
  auto second = openSession(simulator);
  ASSERT_TRUE(eventually([&] { return simulator.openConnections() == 2; }));
  EXPECT_EQ(simulator.sendToAll(R"({"type":"rate_limits.updated","rate_limits":[]})"), 2u);
  EXPECT_EQ(first->next().value()["type"], "rate_limits.updated");
  EXPECT_EQ(second->next().value()["type"], "rate_limits.updated");

  EXPECT_EQ(simulator.closeAll(false), 2u);
  EXPECT_FALSE(first->next().has_value());
  EXPECT_EQ(first->closeCode, 1000u);
  EXPECT_FALSE(second->next().has_value());
  EXPECT_TRUE(eventually([&] { return simulator.openConnections() == 0; }));

  auto third = openSession(simulator);
  simulator.stop();
  EXPECT_FALSE(third->next().has_value());
  EXPECT_TRUE(third->ended);
  EXPECT_EQ(simulator.sendToAll("{}"), 0u);

  simulator.start();
  openSession(simulator);
}

std::vector<std::string> scriptedRun(uint64_t seed) {
  auto options = fastOptions();
  options.seed = seed;
  Simulator simulator(options);
  simulator.start();
  std::vector<std::string> raw;
  auto client = std::make_unique<TestClient>(simulator.port());
  EXPECT_EQ(client->connect(kConversationTarget, kProtocols), 101u);
  auto collectUntil = [&](const std::string& type) {
    for (;;) {
      auto e = client->next();
      if (!e) return;
      raw.push_back(client->lastRaw);
      if (e->value("type", "") == type) return;
    }
  };
  collectUntil("session.created");
  client->send(manualTurns());
  collectUntil("session.updated");
  client->send(event({{"type", "input_audio_buffer.append"}, {"audio", pcmBase64(0.5, 0.3)}}));
  client->send(event({{"type", "input_audio_buffer.commit"}}));
  client->send(event({{"type", "response.create"}}));
  collectUntil("rate_limits.updated");
  return raw;
}

TEST(SimulatorFaults, SameSeedSameConversation) {
  const auto a = scriptedRun(7);
  const auto b = scriptedRun(7);
  const auto c = scriptedRun(8);
  ASSERT_GT(a.size(), 10u);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

}  // namespace
}  // namespace orvanta::simulator::test
