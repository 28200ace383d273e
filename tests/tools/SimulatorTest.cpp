// The simulator on its own terms: the protocol details, endpoints, faults and
// records that the product's clients cannot show. Connections go through the
// product's WebSocket client; upgrades and token requests whose answers
// matter byte for byte are written by hand. TLS, and the faults the nodes'
// tests lean on, are shown there and in tests/realtime.

#include "realtime/RealtimeTestSupport.h"
#include "tools/simulator/Base64.h"
#include "tools/simulator/Simulator.h"
#include "websocket/WebSocketClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <deque>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using json = nlohmann::json;
using namespace simulator;

const std::string kTarget = "/v1/realtime?model=gpt-realtime-2";
const std::string kTokenPath = "/openai/realtime/client-secret";
const std::string kProtocols = "realtime, openai-insecure-api-key." + kKey;
const std::string kEnded = "<ended>", kTimeout = "<timeout>", kBinary = "<binary>";

struct Http {
    unsigned status = 0; // 0: no answer in time
    std::string head, body;
};

// One request on a fresh TCP connection, read up to the end of its answer's body.
Http exchange(uint16_t port, const std::string& request, int timeoutMs = 5000) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string in;
    size_t head = std::string::npos, length = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (head == std::string::npos || in.size() < head + 4 + length) &&
                        (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            in.append(buffer, static_cast<size_t>(n));
            if (head == std::string::npos && (head = in.find("\r\n\r\n")) != std::string::npos) {
                const auto at = in.find("Content-Length: ");
                length = at < head ? std::stoul(in.substr(at + 16)) : 0;
            }
        }
    }
    ::close(fd);
    Http r;
    if (head != std::string::npos) {
        r.status = static_cast<unsigned>(std::stoul(in.substr(9, 3)));
        r.head = in.substr(0, head + 2);
        r.body = in.substr(head + 4, length);
    }
    return r;
}

std::string upgrade(const std::string& target, const std::string& protocols, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
           (protocols.empty() ? "" : "Sec-WebSocket-Protocol: " + protocols + "\r\n") + extra + "\r\n";
}

std::string request(const std::string& method, const std::string& target, const std::string& body) {
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string tokenRequest(const std::string& secret, const json& config = json::object()) {
    return request("POST", kTokenPath, json{{"appId", "app-1"}, {"appSecret", secret}, {"sessionConfig", config}}.dump());
}

// A realtime connection through the product's WebSocket client that keeps
// every message it receives, in order.
class Peer {
public:
    explicit Peer(const Simulator& sim, const std::string& target = kTarget, const std::string& key = kKey,
                  size_t heartbeatMs = 4000)
        : ws("ws://127.0.0.1:" + std::to_string(sim.port()) + target, {"realtime", "openai-insecure-api-key." + key},
             heartbeatMs, heartbeatMs, "") {
        ws.onMessageHandler = [this](std::vector<uint8_t>&& d, bool text) {
            push(text ? std::string(d.begin(), d.end()) : kBinary);
        };
        ws.onCloseHandler = [this] { push(kEnded); };
        ws.onErrorHandler = [this](const std::string&) { push(kEnded); };
        ws.start();
    }
    void send(const std::string& text) { ws.send({text.begin(), text.end()}, true, 0); }
    void send(const char* text) { send(std::string(text)); }
    void send(const json& event) { send(event.dump()); }
    // The next message's text; kEnded (for good) once the connection ended.
    std::string nextRaw(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, timeout, [&] { return !inbox.empty(); }))
            return kTimeout;
        std::string text = inbox.front();
        if (text != kEnded)
            inbox.pop_front();
        return text;
    }
    json next() { return json::parse(nextRaw(), nullptr, false); }
    // Reads up to an event of this type; what was read, the match included, goes to `seen`.
    json waitFor(const std::string& type, std::vector<json>* seen = nullptr) {
        for (std::string raw = nextRaw(); raw != kEnded && raw != kTimeout; raw = nextRaw()) {
            json e = json::parse(raw, nullptr, false);
            if (seen != nullptr)
                seen->push_back(e);
            if (e.is_object() && e.value("type", "") == type)
                return e;
        }
        ADD_FAILURE() << "no " << type;
        return json::object();
    }

private:
    void push(std::string text) {
        std::lock_guard<std::mutex> lock(mutex);
        inbox.push_back(std::move(text));
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> inbox;

public:
    websocket::WebSocketClient ws; // last: gone before what its handlers use
};

json sessionUpdate(const json& session) { return {{"type", "session.update"}, {"session", session}}; }
const json kManualTurns = sessionUpdate({{"audio", {{"input", {{"turn_detection", nullptr}}}}}});

json append(double seconds, double amplitude) {
    std::vector<uint8_t> bytes(static_cast<size_t>(seconds * 24000) * 2);
    for (size_t i = 0; i < bytes.size() / 2; ++i) {
        const auto s = static_cast<int16_t>(amplitude * 32767 * std::sin(2 * M_PI * 220 * static_cast<double>(i) / 24000));
        bytes[2 * i] = static_cast<uint8_t>(s & 0xff);
        bytes[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xff);
    }
    return {{"type", "input_audio_buffer.append"}, {"audio", simulator::base64::encode(bytes.data(), bytes.size())}};
}

size_t samplesOf(const json& delta) { return simulator::base64::decode(delta["delta"].get<std::string>()).value().size() / 2; }

struct Started : Simulator {
    explicit Started(SimulatorOptions o = fastOptions()) : Simulator(std::move(o)) { start(); }
};

TEST(SimulatorEndpoint, UpgradeChecksKeyPathQueryAndSubprotocols) {
    Started sim;
    const Http ok = exchange(sim.port(), upgrade(kTarget, kProtocols));
    EXPECT_EQ(ok.status, 101u);
    EXPECT_NE(ok.head.find("Sec-WebSocket-Protocol: realtime\r\n"), std::string::npos) << ok.head;
    // A key in the Authorization header needs no subprotocol, and the answer then names none.
    const Http bearer = exchange(sim.port(), upgrade(kTarget, "", "Authorization: Bearer " + kKey + "\r\n"));
    EXPECT_EQ(bearer.status, 101u);
    EXPECT_EQ(bearer.head.find("Sec-WebSocket-Protocol"), std::string::npos);
    const std::string wrongKey = "sk-wrong-key-000000000000";
    const std::vector<std::tuple<std::string, std::string, unsigned, std::string>> cases = {
        {kTarget, "realtime, openai-insecure-api-key." + wrongKey, 401, "invalid_api_key"},
        {kTarget, "realtime, openai-insecure-api-key.", 401, "missing_api_key"},
        {kTarget, "realtime", 401, "missing_api_key"},
        {kTarget, "openai-insecure-api-key." + kKey, 400, "missing_subprotocol"},
        {"/v1/realtime", kProtocols, 400, "missing_required_parameter"},
        {"/v1/realtime?intent=chat", kProtocols, 400, "invalid_value"},
        {"/v1/other?model=x", kProtocols, 404, "not_found"},
    };
    for (const auto& [target, protocols, status, code] : cases) {
        const Http r = exchange(sim.port(), upgrade(target, protocols));
        EXPECT_EQ(r.status, status) << target << " " << protocols;
        EXPECT_EQ(json::parse(r.body)["error"]["code"], code) << r.body;
        EXPECT_EQ(r.body.find(wrongKey), std::string::npos) << "a refused key is never echoed whole";
    }
    const auto records = sim.handshakes();
    ASSERT_EQ(records.size(), cases.size() + 2);
    EXPECT_EQ(records[0].target, kTarget);
    EXPECT_EQ(records[0].subprotocols, kProtocols);
    EXPECT_EQ(records[1].subprotocols, "");
    EXPECT_EQ(std::vector<unsigned>({records[0].status, records[1].status, records[2].status, records[8].status}),
              std::vector<unsigned>({101, 101, 401, 404}));
}

TEST(SimulatorEndpoint, ClientSecretsAreIssuedBoundToTheirSessionAndExpire) {
    SimulatorOptions options = fastOptions();
    options.tokenLifetime = 1s;
    Started sim(options);
    auto issue = [&](const json& config) {
        const Http r = exchange(sim.port(), tokenRequest("secret-1", config));
        EXPECT_EQ(r.status, 200u) << r.body;
        const json body = json::parse(r.body);
        EXPECT_EQ(body["success"], true);
        return body["data"]["token"].get<std::string>();
    };
    const std::string token = issue({{"type", "realtime"}, {"instructions", "Be brief."}});
    EXPECT_EQ(token.rfind("ek_", 0), 0u);
    EXPECT_EQ(Peer(sim, kTarget, token).waitFor("session.created")["session"]["instructions"], "Be brief.");
    // A secret for a transcription session does not open a conversation.
    const std::string transcription = issue(json::parse(
        R"({"audio":{"input":{"transcription":{"model":"gpt-realtime-whisper"}}},"type":"transcription"})"));
    const std::string withSecret = "realtime, openai-insecure-api-key." + transcription;
    EXPECT_EQ(exchange(sim.port(), upgrade(kTarget, withSecret)).status, 400u);
    EXPECT_EQ(exchange(sim.port(), upgrade("/v1/realtime?intent=transcription", withSecret)).status, 101u);
    // Once its lifetime is over, a secret is refused like a wrong key.
    EXPECT_TRUE(waitUntil([&] { return exchange(sim.port(), upgrade(kTarget, withSecret)).status == 401; }));

    const Http refused = exchange(sim.port(), tokenRequest("wrong"));
    EXPECT_EQ(refused.status, 403u);
    EXPECT_EQ(json::parse(refused.body)["success"], false);
    EXPECT_TRUE(json::parse(refused.body)["message"].is_string());
    EXPECT_EQ(exchange(sim.port(), request("POST", kTokenPath, "<html>")).status, 400u);
    EXPECT_EQ(exchange(sim.port(), request("POST", kTokenPath, R"({"appId":"app-1","appSecret":"secret-1"})")).status, 400u);
    EXPECT_EQ(exchange(sim.port(), request("GET", kTokenPath, "")).status, 405u);
    EXPECT_EQ(exchange(sim.port(), request("POST", "/elsewhere", "{}")).status, 404u);
}

TEST(SimulatorConversation, SessionUpdateIsReflectedAndMerged) {
    Started sim;
    Peer peer(sim);
    const json created = peer.waitFor("session.created")["session"];
    EXPECT_EQ(created["id"].get<std::string>().rfind("sess_", 0), 0u);
    EXPECT_EQ(created["model"], "gpt-realtime-2");
    EXPECT_EQ(created["type"], "realtime");
    // The conversation node's update, byte for byte as the library sends it.
    const std::string update = readSections("client_events.txt").at("conversation session update").at(0);
    peer.send(update);
    json s = peer.waitFor("session.updated")["session"];
    EXPECT_EQ(s["id"], created["id"]);
    EXPECT_EQ(s["audio"]["output"]["voice"], "marin");
    EXPECT_EQ(s["audio"]["output"]["speed"], 1.0);
    EXPECT_EQ(s["audio"]["input"]["transcription"]["model"], "gpt-4o-mini-transcribe");
    EXPECT_EQ(s["audio"]["input"]["noise_reduction"]["type"], "near_field");
    EXPECT_EQ(s["audio"]["input"]["turn_detection"]["type"], "server_vad");
    EXPECT_TRUE(s["audio"]["input"]["turn_detection"].contains("silence_duration_ms"));
    EXPECT_EQ(s["instructions"], "");
    // A later partial update changes only what it names.
    peer.send(kManualTurns);
    s = peer.waitFor("session.updated")["session"];
    EXPECT_TRUE(s["audio"]["input"]["turn_detection"].is_null());
    EXPECT_EQ(s["audio"]["output"]["voice"], "marin");
    // A switch of detector type brings that type's settings, not the old ones.
    peer.send(sessionUpdate({{"audio", {{"input", {{"turn_detection", {{"type", "semantic_vad"}}}}}}}}));
    s = peer.waitFor("session.updated")["session"]["audio"]["input"]["turn_detection"];
    EXPECT_EQ(s["type"], "semantic_vad");
    EXPECT_FALSE(s.contains("threshold"));
    // The raw text of what the client sent is kept, in order.
    const auto received = sim.receivedClientEvents();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], update);
}

// A manual turn, answered in two items: each item's events run from its
// announcement to its end before the next begins, and each holds half the audio.
TEST(SimulatorConversation, ManualTurnAnsweredInSeveralItems) {
    SimulatorOptions options = fastOptions();
    options.audioItemsPerResponse = 2;
    options.responseText = "One two three four.";
    Started sim(options);
    Peer peer(sim);
    peer.send(sessionUpdate({{"audio", {{"input", {{"turn_detection", nullptr}, {"transcription", {{"model", "whisper-1"}}}}}}}}));
    peer.waitFor("session.updated");
    peer.send(append(0.5, 0.3));
    peer.send(json{{"type", "input_audio_buffer.commit"}});
    std::vector<json> seen;
    const json committed = peer.waitFor("input_audio_buffer.committed", &seen);
    ASSERT_EQ(seen.size(), 1u) << "nothing is answered to an append without turn detection";
    const json userItem = peer.waitFor("conversation.item.created")["item"];
    EXPECT_EQ(userItem["id"], committed["item_id"]);
    EXPECT_EQ(userItem["role"], "user");
    EXPECT_EQ(peer.waitFor("conversation.item.input_audio_transcription.completed")["item_id"], committed["item_id"]);

    peer.send(json{{"type", "response.create"}});
    seen.clear();
    const json done = peer.waitFor("response.done", &seen)["response"];
    peer.waitFor("rate_limits.updated");
    const Calls item = {"response.output_item.added", "conversation.item.created", "response.content_part.added",
                        "response.output_audio.done", "response.output_audio_transcript.done",
                        "response.content_part.done", "response.output_item.done"};
    Calls ids, outline, expectedOutline = {"response.created"};
    std::string transcript, transcriptDone;
    std::vector<size_t> samples;
    for (const auto& e : seen) {
        const std::string type = e["type"];
        if (type == "response.output_item.added") {
            ids.push_back(e["item"]["id"]);
            samples.push_back(0);
            EXPECT_EQ(e["output_index"], ids.size() - 1);
        }
        if (type == "response.created" || type == "response.done" || std::count(item.begin(), item.end(), type))
            outline.push_back(type);
        if (ids.empty() || type == "response.done")
            continue;
        EXPECT_EQ(e.contains("item_id") ? e["item_id"] : e["item"]["id"], ids.back()) << type;
        if (type == "response.output_audio.delta") {
            EXPECT_EQ(e["content_index"], 0);
            EXPECT_EQ(samplesOf(e), 2400u) << "100 ms per delta";
            samples.back() += samplesOf(e);
        }
        if (type == "response.output_audio_transcript.delta")
            transcript += e["delta"].get<std::string>();
        if (type == "response.output_audio_transcript.done")
            transcriptDone += e["transcript"].get<std::string>();
    }
    for (int i = 0; i < 2; ++i)
        expectedOutline.insert(expectedOutline.end(), item.begin(), item.end());
    expectedOutline.push_back("response.done");
    EXPECT_EQ(outline, expectedOutline);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(samples, (std::vector<size_t>{12000, 12000}));
    EXPECT_EQ(transcript, options.responseText);
    EXPECT_EQ(transcriptDone, options.responseText);
    EXPECT_EQ(done["status"], "completed");
    ASSERT_EQ(done["output"].size(), 2u);
    EXPECT_EQ(done["output"][1]["id"], ids[1]);
    EXPECT_EQ(done["output"][1]["status"], "completed");

    auto truncate = [&](const std::string& id, int endMs) {
        peer.send(json{{"type", "conversation.item.truncate"}, {"item_id", id}, {"content_index", 0}, {"audio_end_ms", endMs}});
        return peer.next()["type"];
    };
    EXPECT_EQ(truncate(ids[0], 501), "error");
    EXPECT_EQ(truncate(ids[1], 501), "error");
    EXPECT_EQ(truncate(ids[0], 250), "conversation.item.truncated");
    EXPECT_EQ(truncate(ids[1], 500), "conversation.item.truncated");
}

TEST(SimulatorConversation, CancelStopsTheAnswerAndTruncateIsCheckedAgainstWhatWasSent) {
    SimulatorOptions options = fastOptions();
    options.pacing = 1.0; // keeps the answer streaming while the cancel goes out
    options.responseAudioLength = 5000ms;
    Started sim(options);
    Peer peer(sim);
    peer.send(kManualTurns);
    peer.waitFor("session.updated");
    peer.send(json{{"type", "response.create"}});
    std::vector<json> seen;
    peer.waitFor("response.output_audio.delta", &seen);
    const std::string itemId = seen[1]["item"]["id"];
    peer.send(json{{"type", "response.cancel"}});
    const json done = peer.waitFor("response.done", &seen)["response"];
    EXPECT_EQ(done["status"], "cancelled");
    EXPECT_EQ(done["status_details"]["reason"], "client_cancelled");
    size_t samples = 0;
    for (const auto& e : seen)
        if (e["type"] == "response.output_audio.delta")
            samples += samplesOf(e);
    EXPECT_LT(samples, 5u * 24000u);
    EXPECT_EQ(seen[seen.size() - 2]["type"], "response.output_item.done");
    EXPECT_EQ(seen[seen.size() - 2]["item"]["status"], "incomplete");
    peer.send(json{{"type", "response.cancel"}, {"event_id", "event-9"}});
    const json error = peer.waitFor("error")["error"];
    EXPECT_EQ(error["code"], "response_cancel_not_active");
    EXPECT_EQ(error["event_id"], "event-9");

    const int sentMs = static_cast<int>(samples * 1000 / 24000);
    auto truncate = [&](const std::string& id, int endMs) {
        peer.send(json{{"type", "conversation.item.truncate"}, {"item_id", id}, {"content_index", 0}, {"audio_end_ms", endMs}});
        return peer.next();
    };
    json reply = truncate(itemId, sentMs + 1);
    ASSERT_EQ(reply["type"], "error");
    EXPECT_EQ(reply["error"]["param"], "audio_end_ms");
    EXPECT_EQ(reply["error"]["message"], "Audio content of " + std::to_string(sentMs) + "ms is already shorter than " +
                                             std::to_string(sentMs + 1) + "ms");
    reply = truncate(itemId, sentMs / 2);
    ASSERT_EQ(reply["type"], "conversation.item.truncated");
    EXPECT_EQ(reply["audio_end_ms"], sentMs / 2);
    EXPECT_EQ(truncate(itemId, sentMs / 2 + 1)["type"], "error"); // the cut is now the end of the audio
    EXPECT_EQ(truncate("item_unknown", 0)["error"]["param"], "item_id");
}

TEST(SimulatorConversation, ServerVadDetectsTheTurnAnswersAndIsInterruptedByNewSpeech) {
    SimulatorOptions options = fastOptions();
    options.pacing = 1.0;
    options.responseAudioLength = 5000ms;
    Started sim(options);
    Peer peer(sim);
    peer.send(sessionUpdate({{"audio", {{"input", {{"turn_detection", {{"type", "server_vad"}}},
                                                   {"transcription", {{"model", "gpt-4o-mini-transcribe"}}}}}}}}));
    peer.waitFor("session.updated");
    // 0.5 s silence, 0.6 s speech, 0.7 s silence: one turn.
    for (const auto& [seconds, level] : std::vector<std::pair<double, double>>{{0.5, 0}, {0.6, 0.3}, {0.7, 0}})
        peer.send(append(seconds, level));
    const json started = peer.waitFor("input_audio_buffer.speech_started");
    EXPECT_EQ(started["audio_start_ms"], 200) << "speech at 500 ms less 300 ms of padding";
    EXPECT_EQ(peer.waitFor("input_audio_buffer.speech_stopped")["audio_end_ms"], 1100);
    EXPECT_EQ(peer.waitFor("input_audio_buffer.committed")["item_id"], started["item_id"]);
    EXPECT_EQ(peer.waitFor("conversation.item.input_audio_transcription.completed")["transcript"], "what time is it");
    peer.waitFor("response.output_audio.delta");
    // Speaking over the answer cancels it.
    peer.send(append(0.3, 0.3));
    peer.waitFor("input_audio_buffer.speech_started");
    const json done = peer.waitFor("response.done")["response"];
    EXPECT_EQ(done["status"], "cancelled");
    EXPECT_EQ(done["status_details"]["reason"], "turn_detected");
}

TEST(SimulatorConversation, MalformedClientEventsGetErrorEventsAndChangeNothing) {
    Started sim;
    Peer peer(sim);
    peer.waitFor("session.created");
    const std::string deep = std::string(300000, '[') + std::string(300000, ']');
    const std::string output = R"({"type":"conversation.item.create","item":{"type":"function_call_output",)"
                               R"("call_id":"call_nobody_made","output":"{}"}})";
    // The sent text, the member of "error" checked, its value.
    const std::vector<std::tuple<std::string, std::string, json>> cases = {
        {"{not json", "type", "invalid_request_error"},
        {"{not json", "event_id", nullptr},
        {R"({"type":"no.such.event","event_id":"event-7"})", "param", "type"},
        {R"({"type":"no.such.event","event_id":"event-7"})", "event_id", "event-7"},
        {R"({"event_id":"event-8"})", "code", "missing_required_parameter"},
        {R"({"type":"input_audio_buffer.append"})", "param", "audio"},
        {R"({"type":"input_audio_buffer.append","audio":"***"})", "param", "audio"},
        {R"({"type":"input_audio_buffer.append","audio":5})", "code", "invalid_type"},
        {R"({"type":"conversation.item.truncate","item_id":"x"})", "param", "content_index"},
        {R"({"type":"input_audio_buffer.commit"})", "code", "input_audio_buffer_commit_empty"},
        {R"({"type":"session.update","session":{"tools":{"not":"an array"}}})", "param", "session.tools"},
        {R"({"type":"session.update","session":{"type":"transcription"}})", "param", "session.type"},
        {output, "param", "item.call_id"},
        // Deep nesting is refused before anything copies or prints it recursively.
        {R"({"type":"session.update","session":{"audio":{"input":{"x":)" + deep + "}}}}", "code", "invalid_json"},
    };
    for (const auto& [text, member, value] : cases) {
        peer.send(text);
        json reply = peer.next();
        ASSERT_EQ(reply["type"], "error") << text.substr(0, 80);
        EXPECT_EQ(reply["error"][member], value) << text.substr(0, 80);
    }
    peer.ws.send({1, 2}, false, 0);
    EXPECT_EQ(peer.next()["type"], "error");
    // None of it reached the session, and the connection is still in use.
    peer.send(sessionUpdate(json::object()));
    const json s = peer.waitFor("session.updated")["session"];
    EXPECT_EQ(s["tools"], json::array());
    EXPECT_EQ(s["type"], "realtime");
}

TEST(SimulatorTranscription, SessionsTranscribeAndRefuseConversationSettings) {
    Started sim;
    Peer peer(sim, "/v1/realtime?intent=transcription");
    const json created = peer.waitFor("session.created")["session"];
    EXPECT_EQ(created["type"], "transcription");
    EXPECT_TRUE(created["audio"]["input"]["turn_detection"].is_null());
    // The transcription node's update, as the library sends it.
    peer.send(readSections("client_events.txt").at("transcription session update").at(0));
    json t = peer.waitFor("session.updated")["session"]["audio"]["input"]["transcription"];
    EXPECT_EQ(Calls({t["delay"], t["language"], t["model"]}), Calls({"medium", "en", "gpt-realtime-whisper"}));
    peer.send(R"({"type":"session.update","session":{"instructions":"hi"}})");
    EXPECT_EQ(peer.next()["error"]["code"], "unknown_parameter");
}

TEST(SimulatorFaults, ClosesAfterTheGivenNumberOfMessagesCleanlyOrAbruptly) {
    SimulatorOptions options = fastOptions();
    options.faults.closeAfterMessages = 2;
    Started sim(options);
    {
        Peer peer(sim);
        peer.send(kManualTurns);
        peer.waitFor("session.updated");
        EXPECT_EQ(peer.nextRaw(), kEnded);
    }
    SimulatorFaults abrupt;
    abrupt.closeAfterMessages = 1;
    abrupt.closeAbruptly = true;
    sim.setFaults(abrupt);
    Peer peer(sim);
    peer.waitFor("session.created");
    EXPECT_EQ(peer.nextRaw(), kEnded);
    EXPECT_TRUE(sim.waitForConnectionEnds([](const auto& e) { return e.size() == 2 && e[1] != ConnectionEnd::Open; }, 5s));
    EXPECT_EQ(sim.connectionEnds(), (std::vector<ConnectionEnd>{ConnectionEnd::CloseFrame, ConnectionEnd::Dropped}));
}

TEST(SimulatorFaults, UnansweredPingsAndADelayedSessionCreated) {
    SimulatorOptions options = fastOptions();
    options.faults.ignorePings = true;
    Started sim(options);
    {
        Peer unanswered(sim, kTarget, kKey, 20); // pings every 20 ms: gone after two misses
        unanswered.waitFor("session.created");
        EXPECT_EQ(unanswered.nextRaw(), kEnded);
    }
    SimulatorFaults delay;
    delay.sessionCreatedDelay = 200ms;
    sim.setFaults(delay);
    // An event sent before session.created is answered after it.
    Peer peer(sim);
    peer.send(kManualTurns);
    EXPECT_EQ(peer.next()["type"], "session.created");
    EXPECT_EQ(peer.next()["type"], "session.updated");
}

TEST(SimulatorFaults, ScriptingClosingRestartingAndTheRecordsOfEnds) {
    Started sim;
    Peer first(sim);
    first.waitFor("session.created"); // upgraded first: connection 0
    Peer second(sim);
    second.waitFor("session.created");
    first.ws.close({0x03, 0xe8});
    EXPECT_EQ(first.nextRaw(), kEnded);
    second.ws.close({});
    EXPECT_EQ(second.nextRaw(), kEnded);
    EXPECT_EQ(exchange(sim.port(), upgrade(kTarget, kProtocols)).status, 101u); // then dropped
    Peer third(sim), fourth(sim);
    third.waitFor("session.created");
    fourth.waitFor("session.created");
    ASSERT_TRUE(waitUntil([&] { return sim.openConnections() == 2; }));
    EXPECT_EQ(sim.sendToAll(R"({"type":"rate_limits.updated","rate_limits":[]})"), 2u);
    EXPECT_EQ(third.next()["type"], "rate_limits.updated");
    EXPECT_EQ(fourth.next()["type"], "rate_limits.updated");
    EXPECT_EQ(sim.closeAll(false), 2u);
    EXPECT_EQ(third.nextRaw(), kEnded);
    EXPECT_EQ(fourth.nextRaw(), kEnded);
    ASSERT_TRUE(sim.waitForConnectionEnds(
        [](const auto& e) { return e.size() == 5 && std::count(e.begin(), e.end(), ConnectionEnd::Open) == 0; }, 5s));
    std::vector<std::pair<size_t, unsigned>> closes;
    for (const auto& c : sim.receivedCloseCodes())
        closes.emplace_back(c.connection, c.code);
    std::sort(closes.begin(), closes.end()); // the last two close at once
    EXPECT_EQ(closes, (std::vector<std::pair<size_t, unsigned>>{{0, 1000}, {1, 1005}, {3, 1000}, {4, 1000}}));
    EXPECT_EQ(sim.connectionEnds()[2], ConnectionEnd::Dropped);

    Peer fifth(sim);
    fifth.waitFor("session.created");
    sim.stop();
    EXPECT_EQ(fifth.nextRaw(), kEnded);
    EXPECT_EQ(sim.sendToAll("{}"), 0u);
    sim.start();
    Peer(sim).waitFor("session.created");
}

Calls scriptedRun(uint64_t seed) {
    SimulatorOptions options = fastOptions();
    options.seed = seed;
    options.responseText.clear();
    options.transcriptText.clear();
    Started sim(options);
    Peer peer(sim);
    peer.send(kManualTurns);
    peer.send(append(0.5, 0.3));
    peer.send(json{{"type", "input_audio_buffer.commit"}});
    peer.send(json{{"type", "response.create"}});
    Calls raw;
    while (raw.empty() || raw.back().find("\"rate_limits.updated\"") == std::string::npos) {
        raw.push_back(peer.nextRaw());
        if (raw.back() == kEnded || raw.back() == kTimeout)
            break;
    }
    return raw;
}

TEST(SimulatorFaults, SameSeedSameConversation) {
    const Calls a = scriptedRun(7);
    ASSERT_GT(a.size(), 10u);
    EXPECT_EQ(a, scriptedRun(7));
    EXPECT_NE(a, scriptedRun(8));
}

} // namespace
} // namespace orvanta::extensions::openai::test
