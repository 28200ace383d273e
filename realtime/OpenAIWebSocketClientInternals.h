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
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvanta::websocket {
class WebSocketSession;
}

namespace orvanta::extensions::openai {

class EventValue;
class ServerEventParser;

class OpenAIWebSocketClient::Internals {
public:
    // Largest fragment handed to the transport: in practice one frame per event.
    static constexpr size_t kMaxFragmentSize = 104857600;
    // Delegate calls kept while no delegate has been set yet: the first
    // kMaxMissedCalls, as long as their text and audio stay within
    // kMaxMissedBytes. The connection's end is always kept.
    static constexpr size_t kMaxMissedCalls = 64;
    static constexpr size_t kMaxMissedBytes = 1024 * 1024;

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
    // Parses and dispatches one message. `data` is borrowed, not taken: it
    // may grow by the parser's padding while the call lasts and is back to
    // its size on return.
    void onMessage(std::vector<uint8_t>&& data, bool isText);
    void onClose();
    void onTransportError(const std::string& message);

    // --- Message path (I/O thread) -----------------------------------------
    // `text` is the message as received, for the log lines that print it.
    void handleEvent(const EventValue& message, std::string_view text);
    void onErrorReceived(const EventValue& error);
    void onResponseAudioReceived(std::string_view base64Audio, const std::string& itemId, int contentIndex);
    // For tests and the fuzzer: sends messages above `directLimit` bytes, with
    // strings of `holdOutMinimum` bytes or more, the way of large messages.
    void setLargeMessageLimits(size_t directLimit, size_t holdOutMinimum);

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
    using DelegateCall = std::function<void(OpenAIWebSocketClientDelegate&)>;
    enum class CallKind { Event, TransportError, Disconnect };
    struct MissedCall {
        CallKind kind;
        DelegateCall call;
    };
    // One delegate call with copies of `args` kept if it has to wait.
    template <class... Params, class... Args>
    void notify(void (OpenAIWebSocketClientDelegate::*method)(Params...), const Args&... args);
    template <class Now, class Later> void deliver(CallKind kind, size_t bytes, Now&& now, Later&& later);
    enum class Admission { Keep, Drop, DropFirst }; // DropFirst: the first event past the bound
    Admission admitMissed(CallKind kind, size_t bytes); // under delegateMutex
    void replayMissedCalls();
    void replaceSession(RealtimeSession next);
    void endConnection();
    void sendBytes(std::vector<uint8_t>&& bytes, const std::string& type);
    bool checkSession(const char* failureLog) const;

    mutable std::mutex sessionMutex;
    std::atomic<bool> sessionActive{false}; // session.id non-empty; read by the guards

    std::unique_ptr<ServerEventParser> eventParser; // I/O thread

    // Everything below is under delegateMutex. Calls made while no delegate
    // is set wait in `missed` (events only before the first delegate, the
    // connection's end at any time); setting a delegate replays them, in
    // order, on replayThread, and calls made meanwhile wait for the replay.
    mutable std::mutex delegateMutex;
    std::condition_variable delegateIdle;
    int delegateCallsInFlight = 0;
    bool delegateEverSet = false;
    std::deque<MissedCall> missed;
    size_t missedEvents = 0;
    size_t missedBytes = 0;
    bool missedOverflow = false;         // events were dropped
    bool missedTransportError = false;   // one is waiting in `missed`
    bool missedDisconnect = false;       // likewise
    bool replaying = false;
    std::thread replayThread;
    mutable std::atomic<int> scopesInFlight{0};
};

} // namespace orvanta::extensions::openai
