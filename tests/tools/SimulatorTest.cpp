// What the product's clients cannot show of the simulator. Upgrades and token
// requests whose answers matter byte for byte are written by hand; TLS, the
// abrupt close and the nodes' faults are left to the tests that drive them.

#include "realtime/RealtimeTestSupport.h"
#include "support/Recorders.h"
#include "tools/simulator/Base64.h"
#include "tools/simulator/Simulator.h"
#include "websocket/WebSocketClient.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using json = nlohmann::json;
using namespace simulator;

const std::string kTarget = "/v1/realtime?model=gpt-realtime-2";
const std::string kProtocols = "realtime, openai-insecure-api-key." + kKey;
const std::string kEnded = "<ended>", kTimeout = "<timeout>", kBinary = "<binary>";

struct Http {
    unsigned status = 0; // 0: no answer in time
    std::string head, body;
};

// One request on a fresh TCP connection, read up to the end of its answer's body.
Http exchange(uint16_t port, const std::string& request) {
    asio::ip::tcp::iostream s;
    s.expires_after(std::chrono::seconds(5));
    s.connect("127.0.0.1", std::to_string(port));
    s << request << std::flush;
    Http r;
    size_t length = 0;
    for (std::string line; std::getline(s, line) && line != "\r";) {
        r.head += line + "\n";
        if (line.rfind("Content-Length: ", 0) == 0)
            length = std::stoul(line.substr(16));
    }
    r.body.resize(length);
    s.read(&r.body[0], static_cast<std::streamsize>(length));
    r.status = r.head.size() > 12 ? static_cast<unsigned>(std::stoul(r.head.substr(9, 3))) : 0;
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


// A realtime connection through the product's WebSocket client that keeps
// every message it receives, in order.
class Peer {
public:
    explicit Peer(const Simulator& sim, const std::string& target = kTarget, const std::string& key = kKey,
                  size_t heartbeatMs = 4000)
        : ws("ws://127.0.0.1:" + std::to_string(sim.port()) + target, {"realtime", "openai-insecure-api-key." + key},
             heartbeatMs, heartbeatMs, "") {
        ws.onMessageHandler = [this](std::vector<uint8_t>&& d, bool text) {
            inbox.add({text ? std::string(d.begin(), d.end()) : kBinary});
        };
        ws.onCloseHandler = [this] { inbox.add({kEnded}); };
        ws.onErrorHandler = [this](const std::string&) { inbox.add({kEnded}); };
        ws.start();
    }
    void send(const std::string& text) { ws.send({text.begin(), text.end()}, true, 0); }
    void send(const json& event) { send(event.dump()); }
    // The next message's text; kEnded (for good) once the connection ended.
    std::string nextRaw() {
        const std::string text = inbox.waitFor(read + 1, 5s).text;
        read += text.empty() || text == kEnded ? 0 : 1;
        return text.empty() ? kTimeout : text;
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

    struct Message {
        std::string text;
    };
    testsupport::Inbox<Message> inbox;
    size_t read = 0;
    websocket::WebSocketClient ws; // last: gone before what its handlers use
};

json sessionUpdate(const json& session) { return {{"type", "session.update"}, {"session", session}}; }
const json kManualTurns = sessionUpdate({{"audio", {{"input", {{"turn_detection", nullptr}}}}}});

json append(double seconds, double amplitude) {
    const auto samples = tone(static_cast<size_t>(seconds * 24000), amplitude * 32767); // little-endian host
    return {{"type", "input_audio_buffer.append"},
            {"audio", simulator::base64::encode(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2)}};
}

size_t samplesOf(const json& delta) { return simulator::base64::decode(delta["delta"].get<std::string>()).value().size() / 2; }

struct Started : Simulator {
    explicit Started(SimulatorOptions o = fastOptions()) : Simulator(std::move(o)) { start(); }
};

std::string shown(const std::string& raw) {
    json e = json::parse(raw, nullptr, false);
    if (e.is_object() && e.value("type", "") == "response.output_audio.delta")
        e["delta"] = std::to_string(samplesOf(e)) + " samples";
    return e.is_discarded() ? raw : e.dump();
}

// Plays a conversation kept in a data file: "> " lines are sent, "< " lines
// must be the messages that follow.
void play(Peer& peer, const Calls& script, const Simulator& sim) {
    Calls sent;
    for (const std::string& line : script) {
        const std::string text = line.substr(2);
        double seconds = 0, amplitude = 0;
        if (line[0] == '<') {
            ASSERT_EQ(shown(peer.nextRaw()), text);
            continue;
        }
        sent.push_back(std::sscanf(text.c_str(), "append %lf %lf", &seconds, &amplitude) == 2
                           ? append(seconds, amplitude).dump()
                           : text);
        peer.send(sent.back());
    }
    EXPECT_EQ(sim.receivedClientEvents(), sent); // raw, in order
}

// Sessions, manual turns (an answer in two items, each truncated on its
// own), tools, malformed events and transcription, message for message.
TEST(SimulatorConversation, WorkedExamples) {
    SimulatorOptions options = fastOptions();
    options.audioItemsPerResponse = 2;
    options.responseText = "One two three four.";
    const auto examples = readSections("tools/data/conversations.txt");
    ASSERT_EQ(examples.size(), 5u);
    for (const auto& [name, script] : examples) {
        SCOPED_TRACE(name);
        Started sim(options);
        Peer peer(sim, name.rfind("transcription", 0) == 0 ? "/v1/realtime?intent=transcription" : kTarget);
        play(peer, script, sim);
    }
    // The same seed gave the same conversations; another seed gives others.
    options.seed = 8;
    Started sim(options);
    EXPECT_NE(shown(Peer(sim).nextRaw()), examples.begin()->second.at(0).substr(2));
}

TEST(SimulatorEndpoint, RefusalsUpgradesAndClientSecretsBoundToTheirSessionThatExpire) {
    SimulatorOptions options = fastOptions();
    options.tokenLifetime = 3s; // long enough for the checks before it runs out, even on a loaded machine
    Started sim(options);
    const Calls refusals = readSections("tools/data/endpoints.txt").at("refusals");
    ASSERT_EQ(refusals.size(), 12u);
    for (const std::string& line : refusals) {
        const Calls f = tabFields(line);
        const Http r = exchange(sim.port(), f[0] == "UPGRADE" ? upgrade(f[1], f[2]) : request(f[0], f[1], f[2]));
        EXPECT_EQ(Calls({std::to_string(r.status), r.body}), Calls(f.begin() + 3, f.end())) << line;
    }
    EXPECT_EQ(sim.handshakes().at(6).status, 404u); // refusals are recorded too
    const Http ok = exchange(sim.port(), upgrade(kTarget, kProtocols));
    EXPECT_EQ(ok.status, 101u);
    EXPECT_NE(ok.head.find("Sec-WebSocket-Protocol: realtime\r\n"), std::string::npos) << ok.head;
    // A key in the Authorization header needs no subprotocol, and the answer then names none.
    const Http bearer = exchange(sim.port(), upgrade(kTarget, "", "Authorization: Bearer " + kKey + "\r\n"));
    EXPECT_EQ(bearer.status, 101u);
    EXPECT_EQ(bearer.head.find("Sec-WebSocket-Protocol"), std::string::npos);

    auto issue = [&](const json& config) {
        const json ask = {{"appId", "app-1"}, {"appSecret", "secret-1"}, {"sessionConfig", config}};
        const Http r = exchange(sim.port(), request("POST", "/openai/realtime/client-secret", ask.dump()));
        EXPECT_EQ(r.status, 200u) << r.body;
        const json body = json::parse(r.body);
        EXPECT_EQ(body["success"], true);
        return body["data"]["token"].get<std::string>();
    };
    const std::string token = issue({{"type", "realtime"}, {"instructions", "Be brief."}});
    EXPECT_EQ(Peer(sim, kTarget, token).waitFor("session.created")["session"]["instructions"], "Be brief.");
    // A secret for a transcription session does not open a conversation.
    const std::string transcription = issue(json::parse(
        R"({"audio":{"input":{"transcription":{"model":"gpt-realtime-whisper"}}},"type":"transcription"})"));
    const std::string withSecret = "realtime, openai-insecure-api-key." + transcription;
    EXPECT_EQ(exchange(sim.port(), upgrade(kTarget, withSecret)).status, 400u);
    EXPECT_EQ(exchange(sim.port(), upgrade("/v1/realtime?intent=transcription", withSecret)).status, 101u);
    // Once its lifetime is over, a secret is refused like a wrong key.
    EXPECT_TRUE(waitUntil([&] { return exchange(sim.port(), upgrade(kTarget, withSecret)).status == 401; }));
}

// Truncation is checked in the worked examples, on answers that were sent whole.
TEST(SimulatorConversation, MalformedInputCancelAndServerVadWhileAnswersStream) {
    SimulatorOptions options = fastOptions();
    options.pacing = 1.0; // keeps the answer streaming while the cancel goes out
    options.responseAudioLength = 5000ms;
    Started sim(options);
    Peer peer(sim);
    peer.waitFor("session.created");
    // Deep nesting is refused before anything copies or prints it recursively.
    const std::string deep = std::string(300000, '[') + std::string(300000, ']');
    peer.send(R"({"type":"session.update","session":{"audio":{"input":{"x":)" + deep + "}}}}");
    EXPECT_EQ(peer.next()["error"]["code"], "invalid_json");
    peer.ws.send({1, 2}, false, 0);
    EXPECT_EQ(peer.next()["type"], "error");
    peer.send(kManualTurns);
    EXPECT_FALSE(peer.waitFor("session.updated")["session"]["audio"]["input"].contains("x"));

    peer.send(json{{"type", "response.create"}});
    std::vector<json> seen;
    peer.waitFor("response.output_audio.delta", &seen);
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

    // Server VAD detects a turn, answers, and new speech interrupts the answer.
    Peer speaker(sim);
    speaker.send(sessionUpdate({{"audio", {{"input", {{"turn_detection", {{"type", "server_vad"}}},
                                                      {"transcription", {{"model", "gpt-4o-mini-transcribe"}}}}}}}}));
    speaker.waitFor("session.updated");
    // 0.5 s silence, 0.6 s speech, 0.7 s silence: one turn.
    for (const auto& [seconds, level] : std::vector<std::pair<double, double>>{{0.5, 0}, {0.6, 0.3}, {0.7, 0}})
        speaker.send(append(seconds, level));
    const json started = speaker.waitFor("input_audio_buffer.speech_started");
    EXPECT_EQ(started["audio_start_ms"], 200) << "speech at 500 ms less 300 ms of padding";
    EXPECT_EQ(speaker.waitFor("input_audio_buffer.speech_stopped")["audio_end_ms"], 1100);
    EXPECT_EQ(speaker.waitFor("input_audio_buffer.committed")["item_id"], started["item_id"]);
    const json transcribed = speaker.waitFor("conversation.item.input_audio_transcription.completed");
    EXPECT_EQ(transcribed["transcript"], "what time is it");
    speaker.waitFor("response.output_audio.delta");
    // Speaking over the answer cancels it.
    speaker.send(append(0.3, 0.3));
    speaker.waitFor("input_audio_buffer.speech_started");
    const json interrupted = speaker.waitFor("response.done")["response"];
    EXPECT_EQ(interrupted["status"], "cancelled");
    EXPECT_EQ(interrupted["status_details"]["reason"], "turn_detected");
}

TEST(SimulatorFaults, ClosingRestartingRecordsOfEndsAndScriptedFaults) {
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
    ASSERT_TRUE(sim.waitForConnectionEnds(
        [](const auto& e) { return e.size() == 3 && std::count(e.begin(), e.end(), ConnectionEnd::Open) == 0; }, 5s));
    std::vector<std::pair<size_t, unsigned>> closes;
    for (const auto& c : sim.receivedCloseCodes())
        closes.emplace_back(c.connection, c.code);
    std::sort(closes.begin(), closes.end()); // recorded as each connection's handling ends
    EXPECT_EQ(closes, (std::vector<std::pair<size_t, unsigned>>{{0, 1000}, {1, 1005}}));
    EXPECT_EQ(sim.connectionEnds()[2], ConnectionEnd::Dropped);

    Peer third(sim);
    third.waitFor("session.created");
    sim.stop();
    EXPECT_EQ(third.nextRaw(), kEnded);
    EXPECT_EQ(sim.sendToAll("{}"), 0u);
    sim.start();
    Peer(sim).waitFor("session.created");

    SimulatorFaults faults;
    faults.ignorePings = true;
    sim.setFaults(faults);
    {
        Peer unanswered(sim, kTarget, kKey, 20); // pings every 20 ms: gone after two misses
        unanswered.waitFor("session.created");
        EXPECT_EQ(unanswered.nextRaw(), kEnded);
    }
    faults = {};
    faults.sessionCreatedDelay = 200ms;
    sim.setFaults(faults);
    {   // An event sent before session.created is answered after it.
        Peer peer(sim);
        peer.send(kManualTurns);
        EXPECT_EQ(peer.next()["type"], "session.created");
        EXPECT_EQ(peer.next()["type"], "session.updated");
    }
    faults = {}; // abruptly is the protocol client's case
    faults.closeAfterMessages = 2;
    sim.setFaults(faults);
    Peer peer(sim);
    peer.send(kManualTurns);
    peer.waitFor("session.updated");
    EXPECT_EQ(peer.nextRaw(), kEnded);
    EXPECT_TRUE(
        sim.waitForConnectionEnds([](const auto& e) { return !e.empty() && e.back() != ConnectionEnd::Open; }, 5s));
    EXPECT_EQ(sim.connectionEnds().back(), ConnectionEnd::CloseFrame); // its close frame answered
}

} // namespace
} // namespace orvanta::extensions::openai::test
