#pragma once

// Shared pieces of the protocol client's tests: a scripted transport that
// records what the client sends and lets a test play the server, a delegate
// that records every call, and a capture of the host log.

#include "OrvantaSDK/Logger.h"
#include "realtime/OpenAIWebSocketClient.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "websocket/WebSocketSession.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvanta::extensions::openai::test {

// Stands in for the WebSocket transport: sends are recorded, and a test
// "receives" by calling the handlers the client installed.
class ScriptedTransport : public websocket::WebSocketSession {
public:
    struct Sent {
        std::string text;
        bool isText;
        unsigned long maxFragmentSize;
    };

    ~ScriptedTransport() override {
        if (destroyed != nullptr)
            destroyed->store(true);
    }

    void send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) override {
        std::lock_guard<std::mutex> lock(mutex);
        sent.push_back({std::string(data.begin(), data.end()), isText, maxFragmentSize});
    }
    void close(const std::vector<uint8_t>&) override { ++closeCalls; }

    void receive(const std::string& text) { onMessageHandler(std::vector<uint8_t>(text.begin(), text.end()), true); }
    void receiveBinary(const std::vector<uint8_t>& data) { onMessageHandler(data, false); }

    std::vector<Sent> takeSent() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(sent, {});
    }
    std::vector<std::string> sentTexts() {
        std::vector<std::string> texts;
        for (auto& s : takeSent())
            texts.push_back(s.text);
        return texts;
    }

    std::mutex mutex;
    std::vector<Sent> sent;
    int closeCalls = 0;
    std::atomic<bool>* destroyed = nullptr;
};

// Every call as one line, e.g. "onError(send_failed||Cannot send ...)".
class RecordingDelegate : public OpenAIWebSocketClientDelegate {
public:
    void onSessionCreated() override { record("onSessionCreated()"); }
    void onSessionDisconnected() override { record("onSessionDisconnected()"); }
    void onInputAudioTranscriptionDelta(const std::string& delta) override {
        record("onInputAudioTranscriptionDelta(" + delta + ")");
    }
    void onInputAudioTranscription(const std::string& transcript) override {
        record("onInputAudioTranscription(" + transcript + ")");
    }
    void onError(const std::string& type, const std::string& code, const std::string& message) override {
        record("onError(" + type + "|" + code + "|" + message + ")");
    }
    void onResponseCreated() override { record("onResponseCreated()"); }
    void onResponseDone(const std::string& status) override { record("onResponseDone(" + status + ")"); }
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId,
                                 int contentIndex) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            lastSamples = samples;
        }
        record("onResponseAudioReceived(" + std::to_string(samples.size()) + "|" + itemId + "|" +
               std::to_string(contentIndex) + ")");
    }
    void onInputAudioSpeechStarted() override { record("onInputAudioSpeechStarted()"); }
    void onResponseAudioTranscriptionDelta(const std::string& delta) override {
        record("onResponseAudioTranscriptionDelta(" + delta + ")");
    }
    void onResponseAudioTranscription(const std::string& transcript) override {
        record("onResponseAudioTranscription(" + transcript + ")");
    }
    void onToolCall(const std::string& callId, const std::string& name, const std::string& arguments) override {
        record("onToolCall(" + callId + "|" + name + "|" + arguments + ")");
    }

    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(calls, {});
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
    // Waits until `predicate(calls)` holds; false after the timeout.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return predicate(calls); });
    }
    bool waitForCall(const std::string& call, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitFor([&](const std::vector<std::string>& c) {
            for (auto& line : c)
                if (line == call)
                    return true;
            return false;
        }, timeout);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    std::vector<int16_t> lastSamples;

protected:
    virtual void record(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(line);
        changed.notify_all();
    }
};

// Captures the host log at debug level for the life of the object.
class LogCapture {
public:
    struct Line {
        Logger::Level level;
        std::string text;
    };

    LogCapture() : state(std::make_shared<State>()) {
        Logger::setLevel(Logger::Level::Debug);
        auto shared = state;
        Logger::setSink([shared](Logger::Level level, const std::string& text) {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->lines.push_back({level, text});
        });
    }
    ~LogCapture() {
        Logger::setSink(nullptr);
        Logger::setLevel(Logger::Level::Info);
    }

    std::vector<Line> take() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return std::exchange(state->lines, {});
    }
    // True when a line with exactly this level and text was logged.
    bool has(Logger::Level level, const std::string& text) {
        std::lock_guard<std::mutex> lock(state->mutex);
        for (auto& line : state->lines)
            if (line.level == level && line.text == text)
                return true;
        return false;
    }
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (auto& line : take())
            out.push_back(line.text);
        return out;
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(state->mutex);
        std::vector<std::string> out;
        for (auto& line : state->lines)
            out.push_back(line.text);
        return out;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Line> lines;
    };
    std::shared_ptr<State> state;
};

// A client on a scripted transport, with a recording delegate attached.
struct ScriptedClient {
    explicit ScriptedClient(const std::string& model = "gpt-realtime-2") {
        auto prepared = std::make_unique<OpenAIWebSocketClient::Internals>(model);
        internals = prepared.get();
        auto scripted = std::make_unique<ScriptedTransport>();
        transport = scripted.get();
        internals->attachTransport(std::move(scripted));
        client = std::make_unique<OpenAIWebSocketClient>(std::move(prepared));
        client->setDelegate(&delegate);
    }
    ~ScriptedClient() {
        if (client)
            client->setDelegate(nullptr);
    }

    // Plays the server's "session.created" and forgets what it caused.
    void openSession(const std::string& id = "sess_1") {
        transport->receive(R"({"type":"session.created","session":{"id":")" + id + R"("}})");
        delegate.take();
    }

    RecordingDelegate delegate;
    OpenAIWebSocketClient::Internals* internals = nullptr;
    ScriptedTransport* transport = nullptr;
    std::unique_ptr<OpenAIWebSocketClient> client;
};

} // namespace orvanta::extensions::openai::test
