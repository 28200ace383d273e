#include "tools/SimulatorFixture.h"

namespace orvanta::simulator::test {
namespace {

TEST(SimulatorTranscription, CommitTranscribesWithoutAnyResponse) {
  auto options = fastOptions();
  options.transcriptText = "one two three";
  Simulator simulator(options);
  simulator.start();
  json created;
  auto client = openSession(simulator, "/v1/realtime?intent=transcription", &created);
  EXPECT_EQ(created["session"]["type"], "transcription");
  EXPECT_TRUE(created["session"]["audio"]["input"]["turn_detection"].is_null());

  // The transcription node's update, as the library sends it.
  client->send(
      R"({"event_id":"event-1","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
      R"("transcription":{"delay":"medium","language":"en","model":"gpt-realtime-whisper"}}},)"
      R"("type":"transcription"},"type":"session.update"})");
  const json t = client->waitFor("session.updated")["session"]["audio"]["input"]["transcription"];
  EXPECT_EQ(t["language"], "en");
  EXPECT_EQ(t["delay"], "medium");
  EXPECT_EQ(t["model"], "gpt-realtime-whisper");

  client->send(event({{"type", "input_audio_buffer.append"}, {"audio", pcmBase64(1.0, 0.3)}}));
  client->send(event({{"type", "input_audio_buffer.commit"}}));
  std::vector<json> seen;
  const json committed = client->waitFor("input_audio_buffer.committed", &seen);
  EXPECT_EQ(seen.size(), 1u);
  seen.clear();
  const json completed = client->waitFor("conversation.item.input_audio_transcription.completed", &seen);
  std::string deltas;
  for (const auto& e : seen) {
    ASSERT_EQ(e["type"], e == completed ? "conversation.item.input_audio_transcription.completed"
                                        : "conversation.item.input_audio_transcription.delta");
    EXPECT_EQ(e["item_id"], committed["item_id"]);
    if (e != completed) deltas += e["delta"].get<std::string>();
  }
  EXPECT_GT(seen.size(), 2u) << "the transcript streams in pieces";
  EXPECT_EQ(deltas, "one two three");
  EXPECT_EQ(completed["transcript"], "one two three");

  // Responses belong to conversation sessions; the next event is the refusal.
  client->send(event({{"type", "response.create"}}));
  EXPECT_EQ(client->next().value()["type"], "error");
  // Realtime-only settings are refused too.
  client->send(R"({"type":"session.update","session":{"instructions":"hi"}})");
  EXPECT_EQ(client->next().value()["error"]["code"], "unknown_parameter");
}

}  // namespace
}  // namespace orvanta::simulator::test
