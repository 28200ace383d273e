#include "tools/simulator/ServiceSession.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <functional>
#include <random>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "tools/simulator/Base64.h"

namespace orvanta::simulator {

namespace {

using json = nlohmann::ordered_json;
using Clock = ServiceSession::Clock;

constexpr uint64_t kRate = 24000;
constexpr uint64_t kVadFrame = 480;            // 20 ms
constexpr uint64_t kMinCommitSamples = 2400;   // 100 ms, as the service demands
constexpr double kPi = 3.14159265358979323846;
// Far beyond any real event; keeps copying and printing of client JSON,
// which recurse, away from the end of the stack.
constexpr int kMaxNesting = 64;

constexpr const char* kWords[] = {
    "the",   "weather", "looks",  "bright", "today", "and",   "I",      "think", "we",
    "could", "walk",    "along",  "river",  "after", "lunch", "maybe",  "visit", "small",
    "cafe",  "near",    "bridge", "where",  "they",  "serve", "fresh",  "bread", "with",
    "honey", "it",      "would",  "be",     "nice",  "to",    "rest",   "there", "for",
    "a",     "while",   "then",   "head",   "home",  "early", "evening"};
constexpr std::size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

/// A client mistake, turned into an "error" event by the dispatcher.
struct ClientError {
  std::string code;
  std::string message;
  std::string param;  // "" = null
  std::string type = "invalid_request_error";
};

ClientError missing(const std::string& param) {
  return {"missing_required_parameter", "Missing required parameter: '" + param + "'.", param};
}

std::string jsonKind(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::string: return "a string";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    case json::value_t::number_float: return "a decimal";
    default: return "an integer";
  }
}

ClientError wrongType(const std::string& param, const std::string& expected, const json& got) {
  return {"invalid_type",
          "Invalid type for '" + param + "': expected " + expected + ", but got " + jsonKind(got) + " instead.",
          param};
}

ClientError invalidValue(const std::string& param, const std::string& message) {
  return {"invalid_value", message, param};
}

const json& require(const json& obj, const std::string& key, const std::string& path) {
  auto it = obj.find(key);
  if (it == obj.end()) throw missing(path);
  return *it;
}

std::string requireString(const json& obj, const std::string& key, const std::string& path) {
  const json& v = require(obj, key, path);
  if (!v.is_string()) throw wrongType(path, "a string", v);
  return v.get<std::string>();
}

const json& requireObject(const json& obj, const std::string& key, const std::string& path) {
  const json& v = require(obj, key, path);
  if (!v.is_object()) throw wrongType(path, "an object", v);
  return v;
}

/// Whether the brackets of a JSON text nest deeper than the limit (strings
/// skipped). Checked before parsing.
bool nestedTooDeeply(const std::string& text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxNesting) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

void deepMerge(json& target, const json& patch) {
  for (auto it = patch.begin(); it != patch.end(); ++it) {
    if (it.value().is_object() && target.contains(it.key()) && target[it.key()].is_object()) {
      deepMerge(target[it.key()], it.value());
    } else {
      target[it.key()] = it.value();
    }
  }
}

std::string msText(uint64_t samples) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(2);
  s << static_cast<double>(samples) * 1000.0 / kRate;
  return s.str();
}

json defaultTurnDetection(const std::string& type, const SimulatorOptions& o) {
  if (type == "semantic_vad") {
    return json{{"type", "semantic_vad"}, {"eagerness", "auto"}, {"create_response", true},
                {"interrupt_response", true}};
  }
  return json{{"type", "server_vad"},
              {"threshold", 0.5},
              {"prefix_padding_ms", o.vadPrefixPadding.count()},
              {"silence_duration_ms", o.vadSilenceDuration.count()},
              {"idle_timeout_ms", nullptr},
              {"create_response", true},
              {"interrupt_response", true}};
}

}  // namespace

struct ServiceSession::Impl {
  struct Queued {
    Clock::time_point due;
    json event;
  };
  struct Item {
    std::string id;
    std::string type;  // message, function_call, function_call_output
    std::string role;
    std::string callId;
    uint64_t audioSamples = 0;  // assistant audio actually sent (after truncation: kept)
    bool assistantAudio = false;
  };
  /// One event of a response, sent at `start + offset`; `effect` runs when
  /// it is sent, so state always reflects what the client has been given.
  struct Step {
    Clock::duration offset{};
    json event;
    std::function<void()> effect;
  };
  struct Response {
    std::string id;
    Clock::time_point start;
    std::deque<Step> steps;
    std::vector<std::string> itemIds;  // output items announced so far, in order
    bool itemOpen = false;             // the last of them is not done yet
    bool createdSent = false;
    bool isAudio = false;
    std::string transcriptSent;        // of the open item
    json outputItems = json::array();  // as they stand, for response.done
  };

  Impl(Kind k, std::string m, uint64_t seed, const SimulatorOptions& o)
      : options(o), kind(k), model(std::move(m)), rng(seed) {}

  const SimulatorOptions options;
  const Kind kind;
  const std::string model;
  std::mt19937_64 rng;

  json session;
  bool sessionCreatedSent = false;
  Clock::time_point lastDue{};
  std::deque<Queued> outbox;

  std::vector<Item> items;
  bool assistantAudioProduced = false;
  std::optional<Response> response;
  uint64_t responseCount = 0;

  ServiceSession::InputAudioObserver inputAudioObserver;

  // Input audio: only counted; the detector looks at energy per 20 ms frame.
  uint64_t bufferedSamples = 0;
  uint64_t totalSamples = 0;
  double frameEnergy = 0;
  uint64_t frameFill = 0;
  bool inSpeech = false;
  uint64_t speechStartSample = 0;
  uint64_t silenceRun = 0;
  std::string speechItemId;

  // --- small helpers -------------------------------------------------------

  double unit() { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

  std::string randomId(const std::string& prefix, std::size_t length = 22) {
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string id = prefix;
    for (std::size_t i = 0; i < length; ++i) id.push_back(kChars[rng() % 62]);
    return id;
  }

  std::string generateText(std::size_t words) {
    std::string text;
    for (std::size_t i = 0; i < words; ++i) {
      std::string w = kWords[rng() % kWordCount];
      if (i == 0) w[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[0])));
      if (i > 0) text.push_back(' ');
      text += w;
    }
    return text + ".";
  }

  void enqueue(json event, Clock::time_point due) {
    due = std::max(due, lastDue);
    lastDue = due;
    outbox.push_back({due, std::move(event)});
  }

  void sendError(const ClientError& e, const json& clientEventId, Clock::time_point now) {
    json error{{"type", e.type},
               {"code", e.code.empty() ? json(nullptr) : json(e.code)},
               {"message", e.message},
               {"param", e.param.empty() ? json(nullptr) : json(e.param)},
               {"event_id", clientEventId}};
    enqueue(json{{"type", "error"}, {"error", std::move(error)}}, now);
  }

  json previousItemJson() const { return items.empty() ? json(nullptr) : json(items.back().id); }

  Item* findItem(const std::string& id) {
    for (auto& item : items)
      if (item.id == id) return &item;
    return nullptr;
  }

  const json* turnDetection() const {
    const json* td = &session;
    for (const char* key : {"audio", "input", "turn_detection"}) {
      if (!td->is_object() || !td->contains(key)) return nullptr;
      td = &(*td)[key];
    }
    return td->is_object() ? td : nullptr;
  }

  bool inputTranscriptionOn() const {
    if (kind == Kind::Transcription) return true;
    const json* t = &session;
    for (const char* key : {"audio", "input", "transcription"}) {
      if (!t->is_object() || !t->contains(key)) return false;
      t = &(*t)[key];
    }
    return t->is_object();
  }

  uint64_t turnDetectionMs(const char* key, std::chrono::milliseconds fallback) const {
    const json* td = turnDetection();
    if (td && td->contains(key) && (*td)[key].is_number() && (*td)[key].get<double>() >= 0)
      return static_cast<uint64_t>((*td)[key].get<double>());
    return static_cast<uint64_t>(fallback.count());
  }

  bool turnDetectionFlag(const char* key) const {
    const json* td = turnDetection();
    if (td && td->contains(key) && (*td)[key].is_boolean()) return (*td)[key].get<bool>();
    return true;
  }

  // --- session -------------------------------------------------------------

  void buildInitialSession(const std::string& sessionConfig) {
    const json format{{"type", "audio/pcm"}, {"rate", kRate}};
    if (kind == Kind::Transcription) {
      session = json{{"type", "transcription"},
                     {"object", "realtime.transcription_session"},
                     {"id", randomId("sess_")},
                     {"audio",
                      {{"input",
                        {{"format", format},
                         {"transcription", {{"model", "gpt-realtime-whisper"}, {"language", nullptr}, {"prompt", ""}}},
                         {"noise_reduction", nullptr},
                         {"turn_detection", nullptr}}}}},
                     {"include", nullptr}};
    } else {
      session = json{{"type", "realtime"},
                     {"object", "realtime.session"},
                     {"id", randomId("sess_")},
                     {"model", model},
                     {"output_modalities", json::array({"audio"})},
                     {"instructions", "You are a helpful, friendly voice assistant."},
                     {"tools", json::array()},
                     {"tool_choice", "auto"},
                     {"max_output_tokens", "inf"},
                     {"tracing", nullptr},
                     {"prompt", nullptr},
                     {"audio",
                      {{"input",
                        {{"format", format},
                         {"transcription", nullptr},
                         {"noise_reduction", nullptr},
                         {"turn_detection", defaultTurnDetection("server_vad", options)}}},
                       {"output", {{"format", format}, {"voice", "alloy"}, {"speed", 1.0}}}}}};
    }
    if (sessionConfig.empty()) return;
    json config = json::parse(sessionConfig, nullptr, false);
    if (!config.is_object()) return;
    config.erase("type");
    config.erase("id");
    config.erase("object");
    try {
      validateSessionPatch(config);
      applySessionPatch(config);
    } catch (const ClientError&) {
      // The token endpoint accepted it; a configuration the session cannot
      // take is ignored rather than failing the connection.
    }
  }

  void validateFormat(const json& audio, const char* direction) {
    if (!audio.contains(direction) || !audio[direction].is_object()) return;
    const json& dir = audio[direction];
    if (!dir.contains("format")) return;
    const std::string path = std::string("session.audio.") + direction + ".format";
    const json& f = dir["format"];
    if (!f.is_object()) throw wrongType(path, "an object", f);
    if (f.contains("type") && f["type"] != "audio/pcm")
      throw invalidValue(path + ".type", "Only 'audio/pcm' is supported here.");
    if (f.contains("rate") && f["rate"] != kRate)
      throw invalidValue(path + ".rate", "Only a rate of 24000 is supported for 'audio/pcm'.");
  }

  static void validateTools(const json& s, const std::string& prefix) {
    if (s.contains("tools")) {
      const json& tools = s["tools"];
      if (!tools.is_array()) throw wrongType(prefix + ".tools", "an array", tools);
      for (std::size_t i = 0; i < tools.size(); ++i) {
        const std::string path = prefix + ".tools[" + std::to_string(i) + "]";
        const json& t = tools[i];
        if (!t.is_object()) throw wrongType(path, "an object", t);
        if (requireString(t, "type", path + ".type") != "function")
          throw invalidValue(path + ".type", "Supported values are: 'function' and 'mcp'.");
        if (requireString(t, "name", path + ".name").empty())
          throw invalidValue(path + ".name", "The function name must not be empty.");
      }
    }
    if (s.contains("tool_choice")) {
      const json& c = s["tool_choice"];
      if (c.is_string()) {
        if (c != "auto" && c != "none" && c != "required")
          throw invalidValue(prefix + ".tool_choice", "Supported values are: 'none', 'auto' and 'required'.");
      } else if (c.is_object()) {
        requireString(c, "name", prefix + ".tool_choice.name");
      } else {
        throw wrongType(prefix + ".tool_choice", "a string or an object", c);
      }
    }
  }

  void validateSessionPatch(const json& s) {
    static const std::vector<std::string> kRealtimeKeys = {
        "type",  "model",       "output_modalities", "instructions", "audio",      "tools",
        "tool_choice", "max_output_tokens", "tracing", "prompt", "truncation", "include"};
    static const std::vector<std::string> kTranscriptionKeys = {"type", "audio", "include"};
    const auto& allowed = kind == Kind::Transcription ? kTranscriptionKeys : kRealtimeKeys;
    for (auto it = s.begin(); it != s.end(); ++it) {
      if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end())
        throw ClientError{"unknown_parameter", "Unknown parameter: 'session." + it.key() + "'.", "session." + it.key()};
    }
    if (s.contains("type")) {
      if (!s["type"].is_string()) throw wrongType("session.type", "a string", s["type"]);
      if (s["type"] != session["type"])
        throw invalidValue("session.type", "Cannot change the session type from '" +
                                               session["type"].get<std::string>() + "' to '" +
                                               s["type"].get<std::string>() + "'.");
    }
    if (s.contains("instructions") && !s["instructions"].is_string())
      throw wrongType("session.instructions", "a string", s["instructions"]);
    if (s.contains("output_modalities")) {
      const json& m = s["output_modalities"];
      if (!m.is_array()) throw wrongType("session.output_modalities", "an array", m);
      for (const auto& v : m)
        if (v != "audio" && v != "text")
          throw invalidValue("session.output_modalities", "Supported values are: 'audio' and 'text'.");
    }
    validateTools(s, "session");
    if (!s.contains("audio")) return;
    const json& audio = s["audio"];
    if (!audio.is_object()) throw wrongType("session.audio", "an object", audio);
    validateFormat(audio, "input");
    validateFormat(audio, "output");
    if (audio.contains("input")) {
      const json& in = audio["input"];
      if (!in.is_object()) throw wrongType("session.audio.input", "an object", in);
      if (in.contains("turn_detection")) {
        const json& td = in["turn_detection"];
        if (td.is_object()) {
          const std::string type = requireString(td, "type", "session.audio.input.turn_detection.type");
          if (type != "server_vad" && type != "semantic_vad")
            throw invalidValue("session.audio.input.turn_detection.type",
                               "Supported values are: 'server_vad' and 'semantic_vad'.");
        } else if (!td.is_null()) {
          throw wrongType("session.audio.input.turn_detection", "an object", td);
        }
      }
      for (const char* key : {"transcription", "noise_reduction"}) {
        if (in.contains(key) && !in[key].is_null() && !in[key].is_object())
          throw wrongType(std::string("session.audio.input.") + key, "an object", in[key]);
      }
      if (in.contains("noise_reduction") && in["noise_reduction"].is_object())
        requireString(in["noise_reduction"], "type", "session.audio.input.noise_reduction.type");
    }
    if (audio.contains("output")) {
      if (kind == Kind::Transcription) throw ClientError{"unknown_parameter", "Unknown parameter: 'session.audio.output'.", "session.audio.output"};
      const json& out = audio["output"];
      if (!out.is_object()) throw wrongType("session.audio.output", "an object", out);
      if (out.contains("voice")) {
        if (!out["voice"].is_string()) throw wrongType("session.audio.output.voice", "a string", out["voice"]);
        if (assistantAudioProduced && out["voice"] != session["audio"]["output"]["voice"])
          throw ClientError{"cannot_update_voice",
                            "Cannot update a conversation's voice if assistant audio is present.",
                            "session.audio.output.voice"};
      }
      if (out.contains("speed")) {
        const json& sp = out["speed"];
        if (!sp.is_number()) throw wrongType("session.audio.output.speed", "a number", sp);
        if (sp.get<double>() < 0.25 || sp.get<double>() > 1.5)
          throw invalidValue("session.audio.output.speed", "Speed must be between 0.25 and 1.5.");
      }
    }
  }

  void applySessionPatch(json patch) {
    // A change of detector type replaces the object (a semantic detector has
    // no threshold); the same type merges into the current settings.
    if (patch.contains("audio") && patch["audio"].contains("input") &&
        patch["audio"]["input"].contains("turn_detection")) {
      json& td = patch["audio"]["input"]["turn_detection"];
      if (td.is_object()) {
        const json* current = turnDetection();
        json merged = (current && (*current)["type"] == td["type"])
                          ? *current
                          : defaultTurnDetection(td["type"].get<std::string>(), options);
        deepMerge(merged, td);
        td = std::move(merged);
      }
      session["audio"]["input"]["turn_detection"] = td;
      patch["audio"]["input"].erase("turn_detection");
    }
    deepMerge(session, patch);
    if (!turnDetection()) resetDetector();
  }

  void onSessionUpdate(const json& msg, Clock::time_point now) {
    const json& s = requireObject(msg, "session", "session");
    validateSessionPatch(s);
    applySessionPatch(s);
    enqueue(json{{"type", "session.updated"}, {"session", session}}, now);
  }

  // --- input audio ---------------------------------------------------------

  void resetDetector() {
    inSpeech = false;
    silenceRun = 0;
    frameEnergy = 0;
    frameFill = 0;
  }

  void onAppend(const json& msg, Clock::time_point now) {
    const std::string audio = requireString(msg, "audio", "audio");
    auto bytes = base64::decode(audio);
    if (!bytes) throw invalidValue("audio", "Invalid 'audio'. Expected base64-encoded audio bytes.");
    const std::size_t count = bytes->size() / 2;  // a trailing odd byte is no sample
    const bool vad = turnDetection() != nullptr;
    std::vector<int16_t> observed;
    if (inputAudioObserver) observed.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto sample = static_cast<int16_t>(static_cast<uint16_t>((*bytes)[2 * i]) |
                                               static_cast<uint16_t>((*bytes)[2 * i + 1] << 8));
      if (inputAudioObserver) observed.push_back(sample);
      ++totalSamples;
      ++bufferedSamples;
      if (!vad) continue;
      const double x = sample / 32768.0;
      frameEnergy += x * x;
      if (++frameFill == kVadFrame) {
        const double rms = std::sqrt(frameEnergy / kVadFrame);
        frameEnergy = 0;
        frameFill = 0;
        detectorFrame(rms > options.vadThreshold, now);
      }
    }
    if (inputAudioObserver) inputAudioObserver(observed, now);
  }

  void detectorFrame(bool speech, Clock::time_point now) {
    const uint64_t frameStart = totalSamples - kVadFrame;
    if (!inSpeech) {
      if (!speech) return;
      inSpeech = true;
      silenceRun = 0;
      speechStartSample = frameStart;
      const uint64_t prefix = turnDetectionMs("prefix_padding_ms", options.vadPrefixPadding) * kRate / 1000;
      bufferedSamples = std::min(bufferedSamples, prefix + kVadFrame);
      speechItemId = randomId("item_");
      const uint64_t startMs = (frameStart > prefix ? frameStart - prefix : 0) * 1000 / kRate;
      enqueue(json{{"type", "input_audio_buffer.speech_started"},
                   {"audio_start_ms", startMs},
                   {"item_id", speechItemId}},
              now);
      if (response && turnDetectionFlag("interrupt_response")) cancelResponse("turn_detected", now);
      return;
    }
    if (speech) {
      silenceRun = 0;
      return;
    }
    silenceRun += kVadFrame;
    if (silenceRun < turnDetectionMs("silence_duration_ms", options.vadSilenceDuration) * kRate / 1000) return;
    inSpeech = false;
    const uint64_t endSample = totalSamples - silenceRun;
    silenceRun = 0;
    enqueue(json{{"type", "input_audio_buffer.speech_stopped"},
                 {"audio_end_ms", endSample * 1000 / kRate},
                 {"item_id", speechItemId}},
            now);
    commitBuffer(speechItemId, now);
    if (kind == Kind::Conversation && turnDetectionFlag("create_response") && !response)
      startResponse(json(), now);
  }

  void commitBuffer(const std::string& itemId, Clock::time_point now) {
    const uint64_t samples = bufferedSamples;
    bufferedSamples = 0;
    enqueue(json{{"type", "input_audio_buffer.committed"},
                 {"previous_item_id", previousItemJson()},
                 {"item_id", itemId}},
            now);
    if (kind == Kind::Conversation) {
      json item{{"id", itemId},
                {"object", "realtime.item"},
                {"type", "message"},
                {"status", "completed"},
                {"role", "user"},
                {"content", json::array({json{{"type", "input_audio"}, {"transcript", nullptr}}})}};
      enqueue(json{{"type", "conversation.item.created"}, {"previous_item_id", previousItemJson()}, {"item", item}}, now);
    }
    items.push_back(Item{itemId, "message", "user", "", 0, false});
    if (!inputTranscriptionOn()) return;
    const std::string transcript = !options.transcriptText.empty()
                                       ? options.transcriptText
                                       : generateText(std::max<uint64_t>(1, samples * 1000 / kRate / 450));
    // Deltas split at word starts; together they make up the transcript.
    std::size_t begin = 0;
    while (begin < transcript.size()) {
      std::size_t end = transcript.find(' ', begin + 1);
      if (end == std::string::npos) end = transcript.size();
      enqueue(json{{"type", "conversation.item.input_audio_transcription.delta"},
                   {"item_id", itemId},
                   {"content_index", 0},
                   {"delta", transcript.substr(begin, end - begin)}},
              now);
      begin = end;
    }
    enqueue(json{{"type", "conversation.item.input_audio_transcription.completed"},
                 {"item_id", itemId},
                 {"content_index", 0},
                 {"transcript", transcript},
                 {"usage", {{"type", "duration"}, {"seconds", static_cast<double>(samples) / kRate}}}},
            now);
  }

  void onCommit(Clock::time_point now) {
    if (bufferedSamples < kMinCommitSamples) {
      throw ClientError{"input_audio_buffer_commit_empty",
                        "Error committing input audio buffer: buffer too small. Expected at least 100ms of audio, "
                        "but buffer only has " + msText(bufferedSamples) + "ms of audio.",
                        ""};
    }
    // A manual commit in the middle of detected speech ends that speech.
    const std::string itemId = inSpeech ? speechItemId : randomId("item_");
    resetDetector();
    commitBuffer(itemId, now);
  }

  void onClear(Clock::time_point now) {
    bufferedSamples = 0;
    resetDetector();
    enqueue(json{{"type", "input_audio_buffer.cleared"}}, now);
  }

  // --- conversation items --------------------------------------------------

  void onItemCreate(const json& msg, Clock::time_point now) {
    const json& item = requireObject(msg, "item", "item");
    const std::string type = requireString(item, "type", "item.type");
    std::string id;
    if (item.contains("id")) {
      if (!item["id"].is_string()) throw wrongType("item.id", "a string", item["id"]);
      id = item["id"].get<std::string>();
      if (findItem(id)) throw invalidValue("item.id", "Item with item_id '" + id + "' already exists.");
    }
    if (id.empty()) id = randomId("item_");
    json out{{"id", id}, {"object", "realtime.item"}, {"type", type}, {"status", "completed"}};
    Item record{id, type, "", "", 0, false};
    if (type == "message") {
      const std::string role = requireString(item, "role", "item.role");
      if (role != "user" && role != "assistant" && role != "system")
        throw invalidValue("item.role", "Supported values are: 'user', 'assistant' and 'system'.");
      const json& content = require(item, "content", "item.content");
      if (!content.is_array()) throw wrongType("item.content", "an array", content);
      for (std::size_t i = 0; i < content.size(); ++i) {
        const std::string path = "item.content[" + std::to_string(i) + "]";
        if (!content[i].is_object()) throw wrongType(path, "an object", content[i]);
        const std::string ctype = requireString(content[i], "type", path + ".type");
        if (ctype == "input_text" || ctype == "output_text") requireString(content[i], "text", path + ".text");
      }
      out["role"] = role;
      out["content"] = content;
      record.role = role;
    } else if (type == "function_call_output") {
      const std::string callId = requireString(item, "call_id", "item.call_id");
      const std::string output = requireString(item, "output", "item.output");
      const bool known = std::any_of(items.begin(), items.end(), [&](const Item& i) {
        return i.type == "function_call" && i.callId == callId;
      });
      if (!known) throw invalidValue("item.call_id", "Tool call ID '" + callId + "' not found in conversation.");
      out["call_id"] = callId;
      out["output"] = output;
      record.callId = callId;
    } else if (type == "function_call") {
      record.callId = requireString(item, "call_id", "item.call_id");
      out["call_id"] = record.callId;
      out["name"] = requireString(item, "name", "item.name");
      out["arguments"] = requireString(item, "arguments", "item.arguments");
    } else {
      throw invalidValue("item.type", "Supported values are: 'message', 'function_call' and 'function_call_output'.");
    }
    enqueue(json{{"type", "conversation.item.created"}, {"previous_item_id", previousItemJson()}, {"item", out}}, now);
    items.push_back(std::move(record));
  }

  void onItemDelete(const json& msg, Clock::time_point now) {
    const std::string id = requireString(msg, "item_id", "item_id");
    auto it = std::find_if(items.begin(), items.end(), [&](const Item& i) { return i.id == id; });
    if (it == items.end()) throw invalidValue("item_id", "Item with item_id '" + id + "' not found.");
    items.erase(it);
    enqueue(json{{"type", "conversation.item.deleted"}, {"item_id", id}}, now);
  }

  void onTruncate(const json& msg, Clock::time_point now) {
    const std::string id = requireString(msg, "item_id", "item_id");
    const json& ci = require(msg, "content_index", "content_index");
    const json& endMs = require(msg, "audio_end_ms", "audio_end_ms");
    if (!ci.is_number_integer()) throw wrongType("content_index", "an integer", ci);
    if (!endMs.is_number_integer()) throw wrongType("audio_end_ms", "an integer", endMs);
    if (endMs.get<int64_t>() < 0) throw invalidValue("audio_end_ms", "audio_end_ms must not be negative.");
    Item* item = findItem(id);
    if (!item) throw invalidValue("item_id", "Item with item_id '" + id + "' not found.");
    if (item->type != "message" || item->role != "assistant" || !item->assistantAudio)
      throw invalidValue("item_id", "Only assistant messages with audio can be truncated.");
    if (ci.get<int64_t>() != 0) throw invalidValue("content_index", "Content index " + ci.dump() + " is out of range.");
    const auto end = static_cast<uint64_t>(endMs.get<int64_t>());
    const uint64_t sentMs = item->audioSamples * 1000 / kRate;
    if (end > sentMs) {
      throw invalidValue("audio_end_ms", "Audio content of " + std::to_string(sentMs) + "ms is already shorter than " +
                                             std::to_string(end) + "ms");
    }
    item->audioSamples = end * kRate / 1000;
    enqueue(json{{"type", "conversation.item.truncated"},
                 {"item_id", id},
                 {"content_index", 0},
                 {"audio_end_ms", end}},
            now);
    // Audio past the cut would contradict it: the answer stops here.
    if (response && std::find(response->itemIds.begin(), response->itemIds.end(), id) != response->itemIds.end())
      cancelResponse("client_cancelled", now);
  }

  // --- responses -----------------------------------------------------------

  json effectiveTools(const json& overrides) const {
    if (overrides.is_object() && overrides.contains("tools") && overrides["tools"].is_array()) return overrides["tools"];
    return session.value("tools", json::array());
  }

  json effectiveToolChoice(const json& overrides) const {
    if (overrides.is_object() && overrides.contains("tool_choice")) return overrides["tool_choice"];
    return session.value("tool_choice", json("auto"));
  }

  /// The function to call for this turn, or null for a spoken answer. With
  /// "auto" the simulator calls the first tool whenever the turn ends with a
  /// user's input, and speaks after a tool result.
  json chooseTool(const json& overrides, const std::string& lastItemType) const {
    const json tools = effectiveTools(overrides);
    if (!tools.is_array() || tools.empty()) return nullptr;
    const json choice = effectiveToolChoice(overrides);
    if (choice.is_object()) {
      for (const auto& t : tools)
        if (t.value("name", "") == choice.value("name", "")) return t;
      return nullptr;
    }
    if (choice == "none") return nullptr;
    if (choice == "required" || lastItemType != "function_call_output") return tools.front();
    return nullptr;
  }

  static json exampleArguments(const json& tool) {
    json args = json::object();
    const json params = tool.value("parameters", json::object());
    if (!params.is_object() || !params.contains("properties") || !params["properties"].is_object()) return args;
    for (auto it = params["properties"].begin(); it != params["properties"].end(); ++it) {
      const json& p = it.value();
      if (p.is_object() && p.contains("enum") && p["enum"].is_array() && !p["enum"].empty()) {
        args[it.key()] = p["enum"].front();
        continue;
      }
      const std::string type = p.is_object() && p.contains("type") && p["type"].is_string() ? p["type"].get<std::string>() : "string";
      if (type == "integer") args[it.key()] = 1;
      else if (type == "number") args[it.key()] = 1.5;
      else if (type == "boolean") args[it.key()] = true;
      else if (type == "array") args[it.key()] = json::array();
      else if (type == "object") args[it.key()] = json::object();
      else args[it.key()] = "example";
    }
    return args;
  }

  json responseObject(const Response& r, const std::string& status, const json& details) const {
    const auto out = session.value("audio", json::object()).value("output", json::object());
    return json{{"object", "realtime.response"},
                {"id", r.id},
                {"status", status},
                {"status_details", details},
                {"output", r.outputItems},
                {"conversation_id", "conv_" + session.value("id", std::string()).substr(5)},
                {"output_modalities", session.value("output_modalities", json::array({"audio"}))},
                {"max_output_tokens", "inf"},
                {"audio", {{"output", {{"format", out.value("format", json(nullptr))}, {"voice", out.value("voice", json(nullptr))}}}}},
                {"usage", {{"total_tokens", 0}, {"input_tokens", 0}, {"output_tokens", 0}}},
                {"metadata", nullptr}};
  }

  void addStep(Response& r, Clock::duration offset, json event, std::function<void()> effect = {}) {
    r.steps.push_back(Step{offset, std::move(event), std::move(effect)});
  }

  void startResponse(const json& overrides, Clock::time_point now) {
    std::string lastType = items.empty() ? std::string() : items.back().type;
    if (overrides.is_object() && overrides.contains("input") && overrides["input"].is_array() &&
        !overrides["input"].empty() && overrides["input"].back().is_object())
      lastType = overrides["input"].back().value("type", std::string());
    const json tool = chooseTool(overrides, lastType);

    response.emplace();
    Response& r = *response;
    r.id = randomId("resp_");
    r.start = std::max(now + options.responseDelay, lastDue);
    ++responseCount;
    const std::string itemId = randomId("item_");

    addStep(r, {}, json{{"type", "response.created"}, {"response", responseObject(r, "in_progress", nullptr)}},
            [this] { response->createdSent = true; });
    if (!tool.is_null()) {
      buildFunctionCall(r, itemId, tool);
    } else {
      buildSpokenAnswer(r, itemId);
    }
  }

  void openOutputItem(const json& item) {
    response->itemIds.push_back(item["id"].get<std::string>());
    response->outputItems.push_back(item);
    response->itemOpen = true;
    response->transcriptSent.clear();
  }

  void closeOutputItem(std::size_t index, const json& item) {
    response->outputItems[index] = item;
    response->itemOpen = false;
  }

  void buildFunctionCall(Response& r, const std::string& itemId, const json& tool) {
    const std::string callId = randomId("call_", 16);
    const std::string name = tool.value("name", std::string());
    const std::string arguments = exampleArguments(tool).dump();
    json item{{"id", itemId}, {"object", "realtime.item"}, {"type", "function_call"}, {"status", "in_progress"},
              {"name", name}, {"call_id", callId}, {"arguments", ""}};
    addStep(r, {}, json{{"type", "response.output_item.added"}, {"response_id", r.id}, {"output_index", 0}, {"item", item}},
            [this, item, callId] {
              openOutputItem(item);
              items.push_back(Item{item["id"].get<std::string>(), "function_call", "", callId, 0, false});
            });
    addStep(r, {}, json{{"type", "conversation.item.created"}, {"previous_item_id", previousItemJson()}, {"item", item}});
    // Arguments stream in a few pieces, as they would be generated.
    const std::size_t pieces = 3;
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::size_t b = arguments.size() * i / pieces, e = arguments.size() * (i + 1) / pieces;
      addStep(r, {}, json{{"type", "response.function_call_arguments.delta"}, {"response_id", r.id}, {"item_id", itemId},
                          {"output_index", 0}, {"call_id", callId}, {"delta", arguments.substr(b, e - b)}});
    }
    addStep(r, {}, json{{"type", "response.function_call_arguments.done"}, {"response_id", r.id}, {"item_id", itemId},
                        {"output_index", 0}, {"call_id", callId}, {"name", name}, {"arguments", arguments}});
    item["status"] = "completed";
    item["arguments"] = arguments;
    addStep(r, {}, json{{"type", "response.output_item.done"}, {"response_id", r.id}, {"output_index", 0}, {"item", item}},
            [this, item] { closeOutputItem(0, item); });
    addFinalSteps(r, {});
  }

  std::vector<int16_t> synthesiseVoice(std::size_t samples) {
    // Voiced "syllables": a few harmonics under a smooth envelope, short gaps.
    std::vector<int16_t> out(samples, 0);
    std::size_t pos = 0;
    while (pos < samples) {
      const auto length = static_cast<std::size_t>((0.12 + 0.14 * unit()) * kRate);
      const auto gap = static_cast<std::size_t>((0.03 + 0.05 * unit()) * kRate);
      const double f0 = 140.0 + 120.0 * unit();
      for (std::size_t i = 0; i < length && pos + i < samples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double env = std::sin(kPi * static_cast<double>(i) / static_cast<double>(length));
        const double v = (std::sin(2 * kPi * f0 * t) + 0.5 * std::sin(4 * kPi * f0 * t) +
                          0.25 * std::sin(6 * kPi * f0 * t)) / 1.75;
        out[pos + i] = static_cast<int16_t>(std::lround(0.3 * env * v * 32767.0));
      }
      pos += length + gap;
    }
    return out;
  }

  void buildSpokenAnswer(Response& r, const std::string& firstItemId) {
    const bool audio = [&] {
      const json m = session.value("output_modalities", json::array({"audio"}));
      return std::find(m.begin(), m.end(), json("audio")) != m.end();
    }();
    r.isAudio = audio;
    const uint64_t answerSamples = static_cast<uint64_t>(options.responseAudioLength.count()) * kRate / 1000;
    const uint64_t chunkSamples =
        std::max<uint64_t>(1, static_cast<uint64_t>(options.audioChunkDuration.count()) * kRate / 1000);
    const std::string text = !options.responseText.empty()
                                 ? options.responseText
                                 : generateText(std::max<uint64_t>(3, answerSamples * 1000 / kRate / 400));
    const std::vector<int16_t> voice = audio ? synthesiseVoice(answerSamples) : std::vector<int16_t>();
    const uint64_t itemCount = std::max(1u, options.audioItemsPerResponse);

    // Items share out the audio evenly and the text at word boundaries.
    std::size_t textBegin = 0;
    Clock::duration offset{};
    json previousItem = previousItemJson();
    for (uint64_t k = 0; k < itemCount; ++k) {
      const std::string itemId = k == 0 ? firstItemId : randomId("item_");
      const uint64_t sampleBegin = answerSamples * k / itemCount, sampleEnd = answerSamples * (k + 1) / itemCount;
      std::size_t textEnd = k + 1 == itemCount ? text.size() : text.size() * (k + 1) / itemCount;
      while (textEnd < text.size() && text[textEnd] != ' ') ++textEnd;
      textEnd = std::max(textEnd, textBegin);
      addSpokenItem(r, itemId, previousItem, k, audio, voice, sampleBegin, sampleEnd, chunkSamples,
                    text.substr(textBegin, textEnd - textBegin), offset);
      previousItem = itemId;
      textBegin = textEnd;
    }
    addFinalSteps(r, offset);
  }

  /// The events of one output item: samples [sampleBegin, sampleEnd) of the
  /// answer's voice with its share of the text. `offset` is when the item
  /// starts and becomes when it ends.
  void addSpokenItem(Response& r, const std::string& itemId, const json& previousItem, uint64_t index, bool audio,
                     const std::vector<int16_t>& voice, uint64_t sampleBegin, uint64_t sampleEnd,
                     uint64_t chunkSamples, const std::string& text, Clock::duration& offset) {
    const char* partType = audio ? "audio" : "text";
    json item{{"id", itemId}, {"object", "realtime.item"}, {"type", "message"}, {"status", "in_progress"},
              {"role", "assistant"}, {"content", json::array()}};
    addStep(r, offset, json{{"type", "response.output_item.added"}, {"response_id", r.id}, {"output_index", index},
                            {"item", item}},
            [this, item, audio] {
              openOutputItem(item);
              items.push_back(Item{item["id"].get<std::string>(), "message", "assistant", "", 0, audio});
            });
    addStep(r, offset, json{{"type", "conversation.item.created"}, {"previous_item_id", previousItem}, {"item", item}});
    addStep(r, offset, json{{"type", "response.content_part.added"}, {"response_id", r.id}, {"item_id", itemId},
                            {"output_index", index}, {"content_index", 0},
                            {"part", audio ? json{{"type", partType}, {"transcript", ""}} : json{{"type", partType}, {"text", ""}}}});

    const double pace = options.pacing > 0 ? options.pacing : 0;
    const uint64_t length = sampleEnd - sampleBegin;
    const uint64_t chunks = std::max<uint64_t>(1, (length + chunkSamples - 1) / chunkSamples);
    std::size_t textPos = 0;
    for (uint64_t k = 0; k < chunks; ++k) {
      const uint64_t b = sampleBegin + k * chunkSamples, e = std::min<uint64_t>(sampleEnd, b + chunkSamples);
      // The first chunk of the answer goes at once, each next one when the
      // audio before it would have played.
      if (pace > 0 && b > 0)
        offset = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(b) / kRate / pace));
      // Text advances with the audio: the words of this chunk's share.
      std::size_t textEnd = k + 1 == chunks ? text.size() : text.size() * (k + 1) / chunks;
      while (textEnd < text.size() && text[textEnd] != ' ') ++textEnd;
      if (textEnd > textPos) {
        const std::string piece = text.substr(textPos, textEnd - textPos);
        textPos = textEnd;
        addStep(r, offset,
                json{{"type", audio ? "response.output_audio_transcript.delta" : "response.output_text.delta"},
                     {"response_id", r.id}, {"item_id", itemId}, {"output_index", index}, {"content_index", 0},
                     {"delta", piece}},
                [this, piece] { response->transcriptSent += piece; });
      }
      if (!audio || e <= b) continue;
      std::vector<uint8_t> bytes(2 * (e - b));
      for (uint64_t i = b; i < e; ++i) {
        const auto u = static_cast<uint16_t>(voice[i]);
        bytes[2 * (i - b)] = static_cast<uint8_t>(u & 0xff);
        bytes[2 * (i - b) + 1] = static_cast<uint8_t>(u >> 8);
      }
      const uint64_t n = e - b;
      addStep(r, offset,
              json{{"type", "response.output_audio.delta"}, {"response_id", r.id}, {"item_id", itemId},
                   {"output_index", index}, {"content_index", 0}, {"delta", base64::encode(bytes.data(), bytes.size())}},
              [this, n] {
                if (Item* it = findItem(response->itemIds.back())) it->audioSamples += n;
                assistantAudioProduced = true;
              });
    }
    const json part = audio ? json{{"type", partType}, {"transcript", text}} : json{{"type", partType}, {"text", text}};
    if (audio) {
      addStep(r, offset, json{{"type", "response.output_audio.done"}, {"response_id", r.id}, {"item_id", itemId},
                              {"output_index", index}, {"content_index", 0}});
      addStep(r, offset, json{{"type", "response.output_audio_transcript.done"}, {"response_id", r.id}, {"item_id", itemId},
                              {"output_index", index}, {"content_index", 0}, {"transcript", text}});
    } else {
      addStep(r, offset, json{{"type", "response.output_text.done"}, {"response_id", r.id}, {"item_id", itemId},
                              {"output_index", index}, {"content_index", 0}, {"text", text}});
    }
    addStep(r, offset, json{{"type", "response.content_part.done"}, {"response_id", r.id}, {"item_id", itemId},
                            {"output_index", index}, {"content_index", 0}, {"part", part}});
    item["status"] = "completed";
    item["content"] = json::array({audio ? json{{"type", "output_audio"}, {"transcript", text}}
                                         : json{{"type", "output_text"}, {"text", text}}});
    addStep(r, offset, json{{"type", "response.output_item.done"}, {"response_id", r.id}, {"output_index", index},
                            {"item", item}},
            [this, item, index] { closeOutputItem(index, item); });
  }

  void addFinalSteps(Response& r, Clock::duration offset) {
    // The status object is filled in when sent, from the state at that time.
    addStep(r, offset, json{{"type", "response.done"}});
    addStep(r, offset, json{{"type", "rate_limits.updated"},
                            {"rate_limits", json::array({json{{"name", "requests"}, {"limit", 5000}, {"remaining", 4999},
                                                              {"reset_seconds", 0.012}},
                                                         json{{"name", "tokens"}, {"limit", 400000}, {"remaining", 399000},
                                                              {"reset_seconds", 0.15}}})}});
  }

  void cancelResponse(const std::string& reason, Clock::time_point now) {
    Response& r = *response;
    std::deque<Step> tail;
    if (!r.createdSent) tail.push_back(std::move(r.steps.front()));
    r.steps.clear();
    const Clock::duration at = std::max(now, lastDue) - r.start;
    for (auto& s : tail) s.offset = at;
    if (r.itemOpen) {
      const std::size_t index = r.itemIds.size() - 1;
      json item = r.outputItems[index];
      item["status"] = "incomplete";
      if (item["type"] == "message")
        item["content"] = json::array({r.isAudio ? json{{"type", "output_audio"}, {"transcript", r.transcriptSent}}
                                                 : json{{"type", "output_text"}, {"text", r.transcriptSent}}});
      tail.push_back(Step{at,
                          json{{"type", "response.output_item.done"}, {"response_id", r.id}, {"output_index", index},
                               {"item", item}},
                          [this, item, index] { closeOutputItem(index, item); }});
    }
    tail.push_back(Step{at, json{{"type", "response.done"}, {"cancel_reason", reason}}, {}});
    r.steps = std::move(tail);
  }

  void onResponseCreate(const json& msg, Clock::time_point now) {
    json overrides = json::object();
    if (msg.contains("response")) {
      if (!msg["response"].is_object()) throw wrongType("response", "an object", msg["response"]);
      overrides = msg["response"];
      if (overrides.contains("input") && !overrides["input"].is_array())
        throw wrongType("response.input", "an array", overrides["input"]);
      validateTools(overrides, "response");
    }
    if (response) {
      throw ClientError{"conversation_already_has_active_response",
                        "Conversation already has an active response in progress: " + response->id +
                            ". Wait until the response is finished before creating a new one.",
                        ""};
    }
    startResponse(overrides, now);
  }

  void onResponseCancel(Clock::time_point now) {
    if (!response) throw ClientError{"response_cancel_not_active", "Cancellation failed: no active response found", ""};
    cancelResponse("client_cancelled", now);
  }

  // --- dispatch ------------------------------------------------------------

  void handle(const std::string& text, Clock::time_point now) {
    if (nestedTooDeeply(text)) {
      sendError(ClientError{"invalid_json", "The event nests deeper than " + std::to_string(kMaxNesting) + " levels.", ""},
                nullptr, now);
      return;
    }
    json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) {
      sendError(ClientError{"invalid_json",
                            "The server could not parse the event: expected a JSON object.", ""},
                nullptr, now);
      return;
    }
    const json eventId = msg.contains("event_id") && msg["event_id"].is_string() ? msg["event_id"] : json(nullptr);
    try {
      const std::string type = requireString(msg, "type", "type");
      const bool transcription = kind == Kind::Transcription;
      if (type == "session.update") {
        onSessionUpdate(msg, now);
      } else if (type == "input_audio_buffer.append") {
        onAppend(msg, now);
      } else if (type == "input_audio_buffer.commit") {
        onCommit(now);
      } else if (type == "input_audio_buffer.clear") {
        onClear(now);
      } else if (!transcription && type == "conversation.item.create") {
        onItemCreate(msg, now);
      } else if (!transcription && type == "conversation.item.delete") {
        onItemDelete(msg, now);
      } else if (!transcription && type == "conversation.item.truncate") {
        onTruncate(msg, now);
      } else if (!transcription && type == "response.create") {
        onResponseCreate(msg, now);
      } else if (!transcription && type == "response.cancel") {
        onResponseCancel(now);
      } else if (transcription && (type == "conversation.item.create" || type == "conversation.item.delete" ||
                                   type == "conversation.item.truncate" || type == "response.create" ||
                                   type == "response.cancel")) {
        throw invalidValue("type", "'" + type + "' is not supported in transcription sessions.");
      } else {
        throw invalidValue("type", "Invalid value: '" + type +
                                       "'. Supported values are: 'session.update', 'input_audio_buffer.append', "
                                       "'input_audio_buffer.commit', 'input_audio_buffer.clear', "
                                       "'conversation.item.create', 'conversation.item.truncate', "
                                       "'conversation.item.delete', 'response.create', and 'response.cancel'.");
      }
    } catch (const ClientError& e) {
      sendError(e, eventId, now);
    } catch (const json::exception& e) {
      // Only reached through a value the checks above let pass; report it
      // rather than dropping the connection.
      sendError(ClientError{"invalid_value", e.what(), ""}, eventId, now);
    } catch (const std::exception& e) {
      // Nothing may escape into the I/O loop; the client hears about it.
      sendError(ClientError{"server_error", e.what(), "", "server_error"}, eventId, now);
    }
  }

  std::string stamp(json& event) {
    // Server event ids come first on the wire, as the service sends them.
    json out{{"event_id", randomId("event_")}};
    for (auto it = event.begin(); it != event.end(); ++it) out[it.key()] = std::move(it.value());
    return out.dump();
  }

  std::optional<Clock::time_point> responseDue() const {
    if (!response || response->steps.empty()) return std::nullopt;
    return response->start + response->steps.front().offset;
  }

  std::string takeResponseStep() {
    Step step = std::move(response->steps.front());
    response->steps.pop_front();
    if (step.effect) step.effect();
    if (step.event["type"] == "response.done") {
      std::string status = "completed";
      json details = nullptr;
      if (step.event.contains("cancel_reason")) {
        status = "cancelled";
        details = json{{"type", "cancelled"}, {"reason", step.event["cancel_reason"]}};
        step.event.erase("cancel_reason");
      }
      step.event["response"] = responseObject(*response, status, details);
    }
    const bool done = step.event["type"] == "response.done";
    std::string text = stamp(step.event);
    if (response->steps.empty()) {
      response.reset();
    } else if (done) {
      // A completed answer still owes its rate_limits.updated; the response
      // is no longer active for the client's purposes.
      std::deque<Step> rest = std::move(response->steps);
      const Clock::time_point start = response->start;
      response.reset();
      pendingAfterResponse = std::move(rest);
      pendingStart = start;
    }
    return text;
  }

  // Events that follow "response.done" (rate limits) are sent from here so
  // that a new response may begin at once.
  std::deque<Step> pendingAfterResponse;
  Clock::time_point pendingStart{};

  std::vector<std::string> takeDue(Clock::time_point now) {
    std::vector<std::string> out;
    for (;;) {
      if (!pendingAfterResponse.empty() && pendingStart + pendingAfterResponse.front().offset <= now) {
        json event = std::move(pendingAfterResponse.front().event);
        pendingAfterResponse.pop_front();
        out.push_back(stamp(event));
        continue;
      }
      const auto rdue = responseDue();
      const bool boxReady = !outbox.empty() && outbox.front().due <= now;
      const bool respReady = rdue && *rdue <= now && sessionCreatedSent;
      if (boxReady && (!respReady || outbox.front().due <= *rdue)) {
        json event = std::move(outbox.front().event);
        outbox.pop_front();
        if (event["type"] == "session.created") sessionCreatedSent = true;
        out.push_back(stamp(event));
      } else if (respReady) {
        out.push_back(takeResponseStep());
      } else {
        break;
      }
    }
    return out;
  }

  std::optional<Clock::time_point> nextDue() const {
    std::optional<Clock::time_point> due;
    auto consider = [&due](Clock::time_point t) { due = due ? std::min(*due, t) : t; };
    if (!outbox.empty()) consider(outbox.front().due);
    if (!pendingAfterResponse.empty()) consider(pendingStart + pendingAfterResponse.front().offset);
    if (auto r = responseDue(); r && sessionCreatedSent) consider(*r);
    return due;
  }
};

ServiceSession::ServiceSession(Kind kind, std::string model, const std::string& sessionConfig, uint64_t seed,
                               const SimulatorOptions& options, Clock::time_point now)
    : impl_(std::make_unique<Impl>(kind, std::move(model), seed, options)) {
  impl_->buildInitialSession(sessionConfig);
  json created = impl_->session;
  if (options.faults.sessionCreatedWithoutId) created.erase("id");
  impl_->enqueue(json{{"type", "session.created"}, {"session", std::move(created)}},
                 now + options.faults.sessionCreatedDelay);
}

ServiceSession::~ServiceSession() = default;

void ServiceSession::handleClientText(const std::string& text, Clock::time_point now) { impl_->handle(text, now); }

void ServiceSession::handleClientBinary(Clock::time_point now) {
  impl_->sendError(ClientError{"invalid_message", "Binary messages are not supported; send JSON text.", ""}, nullptr,
                   now);
}

std::vector<std::string> ServiceSession::takeDue(Clock::time_point now) { return impl_->takeDue(now); }

std::optional<ServiceSession::Clock::time_point> ServiceSession::nextDue() const { return impl_->nextDue(); }

void ServiceSession::setInputAudioObserver(InputAudioObserver observer) {
  impl_->inputAudioObserver = std::move(observer);
}

bool ServiceSession::created() const { return impl_->sessionCreatedSent; }

}  // namespace orvanta::simulator
