#pragma once

// Shared by the protocol client's and the simulator's tests and the message
// fuzzer: a scripted transport on which a test plays the server, a delegate
// that records every call as one line, the host log, and data files.

#include "OrvantaSDK/Logger.h"
#include "realtime/OpenAIWebSocketClient.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "tools/simulator/SimulatorOptions.h"
#include "websocket/WebSocketSession.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvanta::extensions::openai::test {

using Calls = std::vector<std::string>;
using namespace std::chrono_literals;

inline const std::string kKey = "sk-test-key";

class ScriptedTransport : public websocket::WebSocketSession {
public:
    ~ScriptedTransport() override {
        if (destroyed != nullptr)
            destroyed->store(true);
    }
    void send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) override {
        std::lock_guard<std::mutex> lock(mutex);
        sent.emplace_back(data.begin(), data.end());
        allText = allText && isText && maxFragmentSize == 104857600;
    }
    void close(const std::vector<uint8_t>&) override {}
    void receive(const std::string& text) { onMessageHandler(std::vector<uint8_t>(text.begin(), text.end()), true); }
    Calls takeSent() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(sent, {});
    }

    std::mutex mutex;
    Calls sent;
    bool allText = true; // every send was one text message of the 100 MiB fragment limit
    std::atomic<bool>* destroyed = nullptr;
};

class RecordingDelegate : public OpenAIWebSocketClientDelegate {
public:
    void onSessionCreated() override { record("onSessionCreated()"); }
    void onSessionDisconnected() override { record("onSessionDisconnected()"); }
    void onInputAudioTranscriptionDelta(const std::string& d) override { record("onInputAudioTranscriptionDelta(" + d + ")"); }
    void onInputAudioTranscription(const std::string& t) override { record("onInputAudioTranscription(" + t + ")"); }
    void onError(const std::string& type, const std::string& code, const std::string& message) override {
        record("onError(" + type + "|" + code + "|" + message + ")");
    }
    void onResponseCreated() override { record("onResponseCreated()"); }
    void onResponseDone(const std::string& status) override { record("onResponseDone(" + status + ")"); }
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId, int index) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            lastSamples = samples;
        }
        record("onResponseAudioReceived(" + std::to_string(samples.size()) + "|" + itemId + "|" + std::to_string(index) + ")");
    }
    void onInputAudioSpeechStarted() override { record("onInputAudioSpeechStarted()"); }
    void onResponseAudioTranscriptionDelta(const std::string& d) override { record("onResponseAudioTranscriptionDelta(" + d + ")"); }
    void onResponseAudioTranscription(const std::string& t) override { record("onResponseAudioTranscription(" + t + ")"); }
    void onToolCall(const std::string& callId, const std::string& name, const std::string& args) override {
        record("onToolCall(" + callId + "|" + name + "|" + args + ")");
    }

    Calls take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(calls, {});
    }
    Calls startingWith(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex);
        Calls out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
        return out;
    }
    bool waitFor(const std::string& prefix, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex);
        const auto match = [&](const std::string& c) { return c.rfind(prefix, 0) == 0; };
        return changed.wait_for(lock, timeout, [&] { return std::any_of(calls.begin(), calls.end(), match); });
    }

    std::mutex mutex;
    std::condition_variable changed;
    Calls calls;
    std::vector<int16_t> lastSamples;
    // Runs on the calling thread after each call is recorded.
    std::function<void(const std::string&)> hook;

private:
    void record(const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(line);
            changed.notify_all();
        }
        if (hook)
            hook(line);
    }
};

// The host log at debug level, for the life of the object.
class LogCapture {
public:
    LogCapture() : lines(std::make_shared<Shared>()) {
        Logger::setLevel(Logger::Level::Debug);
        Logger::setSink([s = lines](Logger::Level level, const std::string& text) {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->lines.emplace_back(level, text);
        });
    }
    ~LogCapture() {
        Logger::setSink(nullptr);
        Logger::setLevel(Logger::Level::Info);
    }
    bool has(Logger::Level level, const std::string& text) {
        std::lock_guard<std::mutex> lock(lines->mutex);
        return std::find(lines->lines.begin(), lines->lines.end(), std::make_pair(level, text)) != lines->lines.end();
    }
    std::vector<std::pair<Logger::Level, std::string>> take() {
        std::lock_guard<std::mutex> lock(lines->mutex);
        return std::exchange(lines->lines, {});
    }

private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::pair<Logger::Level, std::string>> lines;
    };
    std::shared_ptr<Shared> lines;
};

// A client and its recording delegate, detached before either goes.
struct DelegatedClient {
    ~DelegatedClient() {
        if (client)
            client->setDelegate(nullptr);
    }
    RecordingDelegate delegate;
    std::unique_ptr<OpenAIWebSocketClient> client;
};

// On a scripted transport, the delegate attached unless `attach` is false.
struct ScriptedClient : DelegatedClient {
    explicit ScriptedClient(const std::string& model = "gpt-realtime-2", bool attach = true) {
        auto prepared = std::make_unique<OpenAIWebSocketClient::Internals>(model);
        internals = prepared.get();
        auto scripted = std::make_unique<ScriptedTransport>();
        transport = scripted.get();
        internals->attachTransport(std::move(scripted));
        client = std::make_unique<OpenAIWebSocketClient>(std::move(prepared));
        if (attach)
            client->setDelegate(&delegate);
    }
    // Plays "session.created" and forgets what it caused.
    void openSession() {
        transport->receive(R"({"type":"session.created","session":{"id":"sess_1"}})");
        delegate.take();
    }

    OpenAIWebSocketClient::Internals* internals = nullptr;
    ScriptedTransport* transport = nullptr;
};

#ifdef TEST_DATA_DIR
// The lines of a data file (under the directory given at build time as
// TEST_DATA_DIR), grouped by the "## name" line above them.
inline std::map<std::string, Calls> readSections(const std::string& file) {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/" + file);
    std::map<std::string, Calls> sections;
    Calls* current = nullptr;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0)
            current = &sections[line.substr(3)];
        else if (current != nullptr && !line.empty())
            current->push_back(line);
    }
    return sections;
}
#endif

inline Calls tabFields(const std::string& line) {
    Calls out(1);
    for (char c : line)
        c == '\t' ? out.emplace_back() : (out.back() += c);
    return out;
}

// The session mirror's members, for comparing whole records.
inline std::string membersOf(const RealtimeSession& s) {
    std::string out;
    for (const std::string& m : {s.id, s.object, s.model, s.instructions, s.toolChoice, s.inputAudioFormat,
                                 s.outputAudioFormat, s.voice, std::to_string(s.speed)})
        out += "|" + m;
    return out;
}

// A sine at 440 Hz, 24 kHz.
inline std::vector<int16_t> tone(size_t samples, double amplitude = 8000) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] = static_cast<int16_t>(amplitude * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / 24000.0));
    return out;
}

inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; !condition(); std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// A simulator that answers at once: no pacing, no delay, one-second answers.
inline simulator::SimulatorOptions fastOptions() {
    simulator::SimulatorOptions o;
    o.apiKeys = {kKey};
    o.appCredentials = {{"app-1", "secret-1"}};
    o.pacing = 0;
    o.responseDelay = 0ms;
    o.responseAudioLength = 1000ms;
    o.responseText = "Hello there";
    o.transcriptText = "what time is it";
    return o;
}

} // namespace orvanta::extensions::openai::test
