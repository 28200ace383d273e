#pragma once

// The protocol client's private record. Not installed: included by the
// client's own source, by the library's tests, benchmark and fuzz target, which
// drive the message path and the event builders without a network.

#include "realtime/OpenAIWebSocketClient.h"
#include "realtime/RealtimeSession.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvanta::websocket {
class WebSocketSession;
}

namespace orvanta::extensions::openai {

class OpenAIWebSocketClient::Internals {
public:
    // Largest fragment handed to the transport: in practice one frame per event.
    static constexpr size_t kMaxFragmentSize = 104857600;
    // Deepest nesting of arrays and objects accepted in a server message.
    // Realtime events nest a handful of levels; the bound keeps hostile input
    // from driving the recursive parts of the JSON library (printing, copying)
    // into the stack's limit.
    static constexpr int kMaxMessageDepth = 128;

    explicit Internals(const std::string& model);
    // Destroys the transport first (joining its I/O thread), then the rest.
    ~Internals();

    Internals(const Internals&) = delete;
    Internals& operator=(const Internals&) = delete;

    // --- Connection (constructor's thread) ---------------------------------
    // Builds the URL and subprotocols, creates and starts the transport.
    void createWebSocketClient(const std::string& apiKey);
    // Takes ownership of a transport and installs the four callbacks; does
    // not start it. Tests use it with a scripted transport.
    void attachTransport(std::unique_ptr<websocket::WebSocketSession> transport);
    static std::string buildUrl(const std::string& baseUrl, const std::string& model);
    static std::vector<std::string> buildSubprotocols(const std::string& apiKey);

    // --- Transport callbacks (I/O thread) ----------------------------------
    void onOpen();
    void onMessage(const std::vector<uint8_t>& data, bool isText);
    void onClose();
    void onTransportError(const std::string& message);

    // --- Message path (I/O thread) -----------------------------------------
    // Parses one text message and dispatches it. Never throws.
    void handleMessageText(const std::string& text);
    void handleOpenAIMessage(const nlohmann::json& message);
    void onErrorReceived(const nlohmann::json& error);
    void onResponseAudioReceived(const std::string& base64Audio, const std::string& itemId, int contentIndex);

    // --- Outgoing events (any thread) --------------------------------------
    bool appendAudioBuffer(const std::vector<int16_t>& samples);
    bool commitAudioBuffer();
    bool clearInputAudioBuffer();
    bool sendUserMessage(const std::string& text);
    bool createResponse(const std::string& text);
    bool createResponse();
    bool submitFunctionCallOutput(const std::string& callId, const std::string& output);
    bool cancelResponse();
    bool sendConversationItemTruncate(const std::string& itemId, int contentIndex, int audioEndMs);
    void updateSession(const UpdateSessionClientEvent& event);

    // The "session" object of a "session.update" (reports invalid tools).
    nlohmann::json buildSessionObject(const UpdateSessionClientEvent& event);
    // {"event_id":"event-<n>","type":<type>} with the next number drawn.
    nlohmann::json makeEvent(const char* type);
    // The exact bytes of an "input_audio_buffer.append" event.
    static std::vector<uint8_t> buildAudioAppendMessage(const std::vector<int16_t>& samples, int32_t eventNumber);
    // The single send path: hands the compact text to the transport, or logs
    // and reports "send_failed" when no session is connected.
    void sendMessageToOpenAI(const nlohmann::json& event);

    // --- State (any thread) ------------------------------------------------
    bool hasActiveSession() const { return sessionActive.load(std::memory_order_acquire); }
    RealtimeSession getSession() const;
    void setDelegate(OpenAIWebSocketClientDelegate* newDelegate);
    // True when this thread is inside a transport callback or delegate call
    // of this object: destroying the client here would join its own thread.
    bool isInCallOnThisThread() const;
    // Waits until no thread is inside a callback or delegate call.
    void waitUntilNoCallsInFlight() const;

    std::unique_ptr<websocket::WebSocketSession> webSocketClient;
    RealtimeSession session; // written on the I/O thread under sessionMutex
    std::atomic<bool> isConnected{false};
    std::atomic<bool> disconnectReported{false};
    OpenAIWebSocketClientDelegate* delegate = nullptr; // under delegateMutex
    std::atomic<int32_t> eventCounter{0};
    std::atomic<bool> hasActiveResponse{false};
    const std::string model;

private:
    class CallScope; // marks this thread as inside a call of this object
    template <class Call> void notify(Call&& call);
    template <class Call, class Absent> void notify(Call&& call, Absent&& whenAbsent);
    void replayMissedEnd();
    void replaceSession(RealtimeSession next);
    void endConnection();
    void sendBytes(std::vector<uint8_t>&& bytes, const std::string& type);
    bool checkSession(const char* failureLog) const;

    mutable std::mutex sessionMutex;
    std::atomic<bool> sessionActive{false}; // session.id non-empty; read by the guards

    mutable std::mutex delegateMutex;
    std::condition_variable delegateIdle;
    int delegateCallsInFlight = 0;          // under delegateMutex
    bool endedUnreported = false;           // under delegateMutex: ended with no delegate set
    std::optional<std::string> missedError; // under delegateMutex: its transport error, if any
    std::thread replayThread;               // delivers that end once a delegate is set
    mutable std::atomic<int> scopesInFlight{0};
};

} // namespace orvanta::extensions::openai
