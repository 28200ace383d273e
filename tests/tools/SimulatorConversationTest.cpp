#include <algorithm>
#include <numeric>

#include "tools/simulator/Base64.h"

#include "tools/SimulatorFixture.h"

namespace orvanta::simulator::test {
namespace {

std::vector<std::string> typesOf(const std::vector<json>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e.value("type", "?"));
  return out;
}

TEST(SimulatorConversation, SessionUpdateIsReflectedAndMerged) {
  Simulator simulator(fastOptions());
  simulator.start();
  json created;
  auto client = openSession(simulator, kConversationTarget, &created);
  EXPECT_EQ(created["session"]["id"].get<std::string>().rfind("sess_", 0), 0u);
  EXPECT_EQ(created["session"]["model"], "gpt-realtime-2");
  EXPECT_EQ(created["session"]["type"], "realtime");

  // The conversation node's update, byte for byte as the library sends it.
  const std::string update =
      R"({"event_id":"event-2","session":{"audio":{"input":{"format":{"rate":24000,"type":"audio/pcm"},)"
      R"("noise_reduction":{"type":"near_field"},"transcription":{"model":"gpt-4o-mini-transcribe"},)"
      R"("turn_detection":{"type":"server_vad"}},"output":{"format":{"rate":24000,"type":"audio/pcm"},)"
      R"("speed":1.2000000476837158,"voice":"marin"}},"instructions":"","model":"gpt-realtime-2",)"
      R"("output_modalities":["audio"],"tool_choice":"auto","type":"realtime"},"type":"session.update"})";
  client->send(update);
  json s = client->waitFor("session.updated")["session"];
  EXPECT_EQ(s["id"], created["session"]["id"]);
  EXPECT_EQ(s["audio"]["output"]["voice"], "marin");
  EXPECT_DOUBLE_EQ(s["audio"]["output"]["speed"].get<double>(), 1.2000000476837158);
  EXPECT_EQ(s["audio"]["input"]["transcription"]["model"], "gpt-4o-mini-transcribe");
  EXPECT_EQ(s["audio"]["input"]["noise_reduction"]["type"], "near_field");
  EXPECT_EQ(s["audio"]["input"]["turn_detection"]["type"], "server_vad");
  EXPECT_TRUE(s["audio"]["input"]["turn_detection"].contains("silence_duration_ms"));
  EXPECT_EQ(s["instructions"], "");

  // A later partial update changes only what it names.
  client->send(manualTurns());
  s = client->waitFor("session.updated")["session"];
  EXPECT_TRUE(s["audio"]["input"]["turn_detection"].is_null());
  EXPECT_EQ(s["audio"]["output"]["voice"], "marin");

  // A switch of detector type brings that type's settings, not the old ones.
  client->send(event({{"type", "session.update"},
                      {"session", {{"audio", {{"input", {{"turn_detection", {{"type", "semantic_vad"}}}}}}}}}}));
  s = client->waitFor("session.updated")["session"];
  EXPECT_EQ(s["audio"]["input"]["turn_detection"]["type"], "semantic_vad");
  EXPECT_FALSE(s["audio"]["input"]["turn_detection"].contains("threshold"));

  // The raw text of what the client sent is kept, in order.
  const auto received = simulator.receivedClientEvents();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0], update);
}

TEST(SimulatorConversation, ManualTurnProducesACompleteSpokenResponse) {
  auto options = fastOptions();
  options.transcriptText = "hello there";
  options.responseText = "Fine, thanks for asking.";
  Simulator simulator(options);
  simulator.start();
  auto client = openSession(simulator);
  client->send(event({{"type", "session.update"},
                      {"session",
                       {{"audio",
                         {{"input", {{"turn_detection", nullptr}, {"transcription", {{"model", "whisper-1"}}}}}}}}}}));
  client->waitFor("session.updated");

  client->send(event({{"type", "input_audio_buffer.append"}, {"audio", pcmBase64(0.5, 0.3)}}));
  client->send(event({{"type", "input_audio_buffer.commit"}}));
  std::vector<json> seen;
  const json committed = client->waitFor("input_audio_buffer.committed", &seen);
  ASSERT_EQ(seen.size(), 1u) << "nothing is answered to an append without turn detection";
  const json userItem = client->waitFor("conversation.item.created")["item"];
  EXPECT_EQ(userItem["id"], committed["item_id"]);
  EXPECT_EQ(userItem["role"], "user");
  seen.clear();
  const json completed = client->waitFor("conversation.item.input_audio_transcription.completed", &seen);
  std::string deltas;
  for (const auto& e : seen)
    if (e["type"] == "conversation.item.input_audio_transcription.delta") deltas += e["delta"].get<std::string>();
  EXPECT_EQ(deltas, "hello there");
  EXPECT_EQ(completed["transcript"], "hello there");
  EXPECT_EQ(completed["item_id"], committed["item_id"]);

  client->send(event({{"type", "response.create"}}));
  seen.clear();
  const json done = client->waitFor("response.done", &seen);
  client->waitFor("rate_limits.updated");

  const auto types = typesOf(seen);
  const std::vector<std::string> head = {"response.created", "response.output_item.added", "conversation.item.created",
                                         "response.content_part.added"};
  const std::vector<std::string> tail = {"response.output_audio.done", "response.output_audio_transcript.done",
                                         "response.content_part.done", "response.output_item.done", "response.done"};
  ASSERT_GT(types.size(), head.size() + tail.size());
  EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 4), head);
  EXPECT_EQ(std::vector<std::string>(types.end() - 5, types.end()), tail);

  const std::string itemId = seen[1]["item"]["id"];
  std::size_t samples = 0, chunks = 0;
  std::string transcript;
  for (const auto& e : seen) {
    if (e["type"] == "response.output_audio.delta") {
      EXPECT_EQ(e["item_id"], itemId);
      EXPECT_EQ(e["content_index"], 0);
      EXPECT_EQ(pcmSamples(e["delta"]), 2400u) << "100 ms per delta";
      samples += pcmSamples(e["delta"]);
      ++chunks;
    }
    if (e["type"] == "response.output_audio_transcript.delta") transcript += e["delta"].get<std::string>();
  }
  EXPECT_EQ(chunks, 10u);
  EXPECT_EQ(samples, 24000u);
  EXPECT_EQ(transcript, options.responseText);
  EXPECT_EQ(seen[seen.size() - 4]["transcript"], options.responseText);
  EXPECT_EQ(done["response"]["status"], "completed");
  EXPECT_EQ(done["response"]["output"][0]["id"], itemId);
  EXPECT_EQ(done["response"]["output"][0]["status"], "completed");
}

TEST(SimulatorConversation, CancelStopsTheAnswerAndTruncateIsCheckedAgainstWhatWasSent) {
  auto options = fastOptions();
  options.pacing = 1.0;  // keeps the answer streaming while the cancel goes out
  options.responseAudioLength = std::chrono::milliseconds(5000);
  Simulator simulator(options);
  simulator.start();
  auto client = openSession(simulator);
  client->send(manualTurns());
  client->waitFor("session.updated");

  client->send(event({{"type", "response.create"}}));
  std::vector<json> seen;
  client->waitFor("response.output_audio.delta", &seen);
  const std::string itemId = seen[1]["item"]["id"];
  client->send(event({{"type", "response.cancel"}}));
  const json done = client->waitFor("response.done", &seen);
  EXPECT_EQ(done["response"]["status"], "cancelled");
  EXPECT_EQ(done["response"]["status_details"]["reason"], "client_cancelled");
  std::size_t samples = 0;
  for (const auto& e : seen)
    if (e["type"] == "response.output_audio.delta") samples += pcmSamples(e["delta"]);
  EXPECT_LT(samples, 5u * 24000u);
  EXPECT_EQ(seen[seen.size() - 2]["type"], "response.output_item.done");
  EXPECT_EQ(seen[seen.size() - 2]["item"]["status"], "incomplete");

  client->send(event({{"type", "response.cancel"}, {"event_id", "event-9"}}));
  json error = client->waitFor("error")["error"];
  EXPECT_EQ(error["code"], "response_cancel_not_active");
  EXPECT_EQ(error["event_id"], "event-9");

  const auto sentMs = static_cast<int>(samples * 1000 / 24000);
  auto truncate = [&](const std::string& id, int endMs) {
    client->send(event({{"type", "conversation.item.truncate"}, {"item_id", id}, {"content_index", 0},
                        {"audio_end_ms", endMs}}));
    return *client->next();
  };
  json reply = truncate(itemId, sentMs + 1);
  ASSERT_EQ(reply["type"], "error");
  EXPECT_EQ(reply["error"]["param"], "audio_end_ms");
  EXPECT_EQ(reply["error"]["message"], "Audio content of " + std::to_string(sentMs) + "ms is already shorter than " +
                                           std::to_string(sentMs + 1) + "ms");
  reply = truncate(itemId, sentMs / 2);
  ASSERT_EQ(reply["type"], "conversation.item.truncated");
  EXPECT_EQ(reply["audio_end_ms"], sentMs / 2);
  // The cut is now the end of the audio.
  EXPECT_EQ(truncate(itemId, sentMs / 2 + 1)["type"], "error");
  EXPECT_EQ(truncate("item_unknown", 0)["error"]["param"], "item_id");
}

TEST(SimulatorConversation, ServerVadDetectsTheTurnAnswersAndIsInterruptedByNewSpeech) {
  auto options = fastOptions();
  options.pacing = 1.0;
  options.responseAudioLength = std::chrono::milliseconds(5000);
  options.transcriptText = "what time is it";
  Simulator simulator(options);
  simulator.start();
  auto client = openSession(simulator);
  client->send(event({{"type", "session.update"},
                      {"session",
                       {{"audio",
                         {{"input",
                           {{"turn_detection", {{"type", "server_vad"}}},
                            {"transcription", {{"model", "gpt-4o-mini-transcribe"}}}}}}}}}}));
  client->waitFor("session.updated");

  // 0.5 s silence, 0.6 s speech, 0.7 s silence: one turn.
  for (const auto& [seconds, level] : std::vector<std::pair<double, double>>{{0.5, 0}, {0.6, 0.3}, {0.7, 0}})
    client->send(event({{"type", "input_audio_buffer.append"}, {"audio", pcmBase64(seconds, level)}}));
  const json started = client->waitFor("input_audio_buffer.speech_started");
  EXPECT_EQ(started["audio_start_ms"], 200) << "speech at 500 ms less 300 ms of padding";
  const json stopped = client->waitFor("input_audio_buffer.speech_stopped");
  EXPECT_EQ(stopped["audio_end_ms"], 1100);
  const json committed = client->waitFor("input_audio_buffer.committed");
  EXPECT_EQ(committed["item_id"], started["item_id"]);
  EXPECT_EQ(client->waitFor("conversation.item.input_audio_transcription.completed")["transcript"], "what time is it");
  client->waitFor("response.created");
  client->waitFor("response.output_audio.delta");

  // Speaking over the answer cancels it.
  client->send(event({{"type", "input_audio_buffer.append"}, {"audio", pcmBase64(0.3, 0.3)}}));
  client->waitFor("input_audio_buffer.speech_started");
  const json done = client->waitFor("response.done");
  EXPECT_EQ(done["response"]["status"], "cancelled");
  EXPECT_EQ(done["response"]["status_details"]["reason"], "turn_detected");
}

TEST(SimulatorConversation, ToolsLeadToAFunctionCallAndItsOutputToASpokenAnswer) {
  auto options = fastOptions();
  options.responseAudioLength = std::chrono::milliseconds(300);
  Simulator simulator(options);
  simulator.start();
  auto client = openSession(simulator);
  const json tools = json::parse(R"([{"type":"function","name":"get_weather","description":"Weather of a city",
      "parameters":{"type":"object","properties":{"city":{"type":"string"},
      "unit":{"type":"string","enum":["celsius","fahrenheit"]}}}}])");
  client->send(event({{"type", "session.update"},
                      {"session", {{"tools", tools}, {"audio", {{"input", {{"turn_detection", nullptr}}}}}}}}));
  EXPECT_EQ(client->waitFor("session.updated")["session"]["tools"], tools);

  client->send(event({{"type", "conversation.item.create"},
                      {"item", {{"type", "message"}, {"role", "user"},
                                {"content", {{{"type", "input_text"}, {"text", "Weather in Oslo?"}}}}}}}));
  EXPECT_EQ(client->waitFor("conversation.item.created")["item"]["content"][0]["text"], "Weather in Oslo?");
  client->send(event({{"type", "response.create"}}));
  const json args = client->waitFor("response.function_call_arguments.done");
  EXPECT_EQ(args["name"], "get_weather");
  EXPECT_EQ(json::parse(args["arguments"].get<std::string>()), json({{"city", "example"}, {"unit", "celsius"}}));
  const json item = client->waitFor("response.output_item.done")["item"];
  EXPECT_EQ(item["type"], "function_call");
  EXPECT_EQ(item["call_id"], args["call_id"]);
  EXPECT_EQ(item["name"], "get_weather");
  EXPECT_EQ(item["arguments"], args["arguments"]);
  EXPECT_EQ(client->waitFor("response.done")["response"]["status"], "completed");

  auto output = [](const std::string& callId) {
    return event({{"type", "conversation.item.create"},
                  {"item", {{"type", "function_call_output"}, {"call_id", callId}, {"output", "{\"temp\":21}"}}}});
  };
  client->send(output("call_nobody_made"));
  EXPECT_EQ(client->waitFor("error")["error"]["param"], "item.call_id");
  client->send(output(args["call_id"]));
  EXPECT_EQ(client->waitFor("conversation.item.created")["item"]["output"], "{\"temp\":21}");
  client->send(event({{"type", "response.create"}}));
  std::vector<json> seen;
  EXPECT_EQ(client->waitFor("response.done", &seen)["response"]["status"], "completed");
  const auto types = typesOf(seen);
  EXPECT_NE(std::find(types.begin(), types.end(), "response.output_audio.delta"), types.end());
  EXPECT_EQ(std::find(types.begin(), types.end(), "response.function_call_arguments.done"), types.end());
}

TEST(SimulatorConversation, MalformedClientEventsGetErrorEventsAndChangeNothing) {
  Simulator simulator(fastOptions());
  simulator.start();
  auto client = openSession(simulator);
  auto errorFor = [&](const std::string& text) {
    client->send(text);
    const json reply = *client->next();
    EXPECT_EQ(reply["type"], "error") << text;
    return reply["error"];
  };
  json e = errorFor("{not json");
  EXPECT_EQ(e["type"], "invalid_request_error");
  EXPECT_TRUE(e["event_id"].is_null());
  e = errorFor(R"({"type":"no.such.event","event_id":"event-7"})");
  EXPECT_EQ(e["param"], "type");
  EXPECT_EQ(e["event_id"], "event-7");
  EXPECT_EQ(errorFor(R"({"event_id":"event-8"})")["code"], "missing_required_parameter");
  EXPECT_EQ(errorFor(R"({"type":"input_audio_buffer.append"})")["param"], "audio");
  EXPECT_EQ(errorFor(R"({"type":"input_audio_buffer.append","audio":"***"})")["param"], "audio");
  EXPECT_EQ(errorFor(R"({"type":"input_audio_buffer.append","audio":5})")["code"], "invalid_type");
  EXPECT_EQ(errorFor(R"({"type":"conversation.item.truncate","item_id":"x"})")["param"], "content_index");
  EXPECT_EQ(errorFor(R"({"type":"input_audio_buffer.commit"})")["code"], "input_audio_buffer_commit_empty");
  EXPECT_EQ(errorFor(R"({"type":"session.update","session":{"tools":{"not":"an array"}}})")["param"],
            "session.tools");
  EXPECT_EQ(errorFor(R"({"type":"session.update","session":{"type":"transcription"}})")["param"], "session.type");
  // Deep nesting is refused before anything copies or prints it recursively.
  const std::string deep = std::string(300000, '[') + std::string(300000, ']');
  EXPECT_EQ(errorFor(R"({"type":"session.update","session":{"audio":{"input":{"x":)" + deep + "}}}}")["code"],
            "invalid_json");
  client->sendBinary(std::string("\x01\x02", 2));
  EXPECT_EQ(client->next().value()["type"], "error");

  // None of it reached the session, and the connection is still in use.
  client->send(R"({"type":"session.update","session":{}})");
  const json s = client->waitFor("session.updated")["session"];
  EXPECT_EQ(s["tools"], json::array());
  EXPECT_EQ(s["type"], "realtime");
}

TEST(SimulatorConversation, AnAnswerInSeveralItemsEachTruncatedOnItsOwn) {
  auto options = fastOptions();
  options.audioItemsPerResponse = 2;
  options.responseText = "One two three four.";
  Simulator simulator(options);
  simulator.start();
  auto client = openSession(simulator);
  client->send(manualTurns());
  client->waitFor("session.updated");
  client->send(event({{"type", "response.create"}}));
  std::vector<json> seen;
  const json done = client->waitFor("response.done", &seen);

  // Each item's events run from its announcement to its end, before the next begins.
  const std::vector<std::string> itemTypes = {"response.output_item.added", "conversation.item.created",
                                              "response.content_part.added", "response.output_audio.done",
                                              "response.output_audio_transcript.done", "response.content_part.done",
                                              "response.output_item.done"};
  std::vector<std::string> ids, transcripts;
  std::vector<std::size_t> samples;
  std::vector<std::string> outline;
  for (const auto& e : seen) {
    const std::string type = e["type"];
    if (type == "response.output_item.added") {
      ids.push_back(e["item"]["id"]);
      samples.push_back(0);
      EXPECT_EQ(e["output_index"], ids.size() - 1);
    }
    if (ids.empty() || type == "response.done") continue;
    const std::string id = e.contains("item_id") ? e["item_id"] : e["item"]["id"];
    EXPECT_EQ(id, ids.back()) << type;
    if (type == "response.output_audio.delta") samples.back() += pcmSamples(e["delta"]);
    if (type == "response.output_audio_transcript.done") transcripts.push_back(e["transcript"]);
    if (std::find(itemTypes.begin(), itemTypes.end(), type) != itemTypes.end()) outline.push_back(type);
  }
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(samples, (std::vector<std::size_t>{12000, 12000}));
  EXPECT_EQ(transcripts[0] + transcripts[1], options.responseText);
  std::vector<std::string> twice = itemTypes;
  twice.insert(twice.end(), itemTypes.begin(), itemTypes.end());
  EXPECT_EQ(outline, twice);
  ASSERT_EQ(done["response"]["output"].size(), 2u);
  EXPECT_EQ(done["response"]["output"][1]["id"], ids[1]);
  EXPECT_EQ(done["response"]["output"][1]["status"], "completed");

  auto truncate = [&](const std::string& id, int endMs) {
    client->send(event({{"type", "conversation.item.truncate"}, {"item_id", id}, {"content_index", 0},
                        {"audio_end_ms", endMs}}));
    return client->next().value();
  };
  client->waitFor("rate_limits.updated");
  EXPECT_EQ(truncate(ids[0], 501)["type"], "error") << "each item holds half the audio";
  EXPECT_EQ(truncate(ids[1], 501)["type"], "error");
  EXPECT_EQ(truncate(ids[0], 250)["type"], "conversation.item.truncated");
  EXPECT_EQ(truncate(ids[1], 500)["type"], "conversation.item.truncated");
}

TEST(SimulatorConversation, AppendedAudioIsRecordedPerConnectionSampleBySample) {
  Simulator simulator(fastOptions());
  simulator.start();
  auto a = openSession(simulator);
  auto b = openSession(simulator);
  const std::vector<std::string> fromA = {pcmBase64(0.1, 0.3), pcmBase64(0.05, 0.2)};
  const std::string fromB = pcmBase64(0.02, 0.1);
  for (const auto& audio : fromA) a->send(event({{"type", "input_audio_buffer.append"}, {"audio", audio}}));
  a->send(event({{"type", "input_audio_buffer.append"}, {"audio", "***"}}));
  b->send(event({{"type", "input_audio_buffer.append"}, {"audio", fromB}}));
  ASSERT_TRUE(simulator.waitForAppends([](const auto& records) { return records.size() == 3; }, 5s));

  auto decode = [](const std::string& text) {
    const auto bytes = base64::decode(text).value();
    std::vector<int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return out;
  };
  std::vector<int16_t> expectedA = decode(fromA[0]);
  const auto secondA = decode(fromA[1]);
  expectedA.insert(expectedA.end(), secondA.begin(), secondA.end());
  const auto audio = simulator.receivedInputAudio();
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(audio[0], expectedA);
  EXPECT_EQ(audio[1], decode(fromB));

  std::vector<AppendRecord> onA;
  for (const auto& r : simulator.receivedAppends())
    if (r.connection == 0) onA.push_back(r);
  ASSERT_EQ(onA.size(), 2u);
  EXPECT_EQ(onA[0].samples, 2400u);
  EXPECT_EQ(onA[0].firstSample, 0u);
  EXPECT_EQ(onA[1].samples, 1200u);
  EXPECT_EQ(onA[1].firstSample, 2400u);
  EXPECT_LE(onA[0].arrival, onA[1].arrival);
}

}  // namespace
}  // namespace orvanta::simulator::test
