#pragma once

#include "realtime/OpenAIWebSocketClientDelegate.h"
#include "realtime/UpdateSessionClientEvent.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvanta::extensions::openai {

// Speaks the Realtime API's JSON event protocol over one WebSocket connection.
// One object serves one connection attempt: the constructor starts connecting
// and the object is never reconnected; make a new client for a new session.
//
// Threads:
// - Construction, setDelegate and destruction: the owner's thread.
// - The protocol operations and getIsConnected: any thread. They fail softly
//   (log, return false) when no session is active; an event refused because
//   the socket is down is logged and reported as onError("send_failed", ...)
//   on the calling thread.
// - Server events and the delegate calls they cause: the client's I/O thread.
//
// Delegate rule: detaching or replacing a delegate waits for its call in
// flight on another thread to finish, and once setDelegate has returned no
// further call reaches the old delegate. Calling setDelegate (or any operation) from inside a delegate call
// is allowed. Do not call setDelegate while holding a lock that your delegate
// calls also take: the two would wait for each other.
//
// Never destroy a client from inside one of its delegate calls. If it happens
// anyway, the delegate is detached at once and the shutdown finishes on a
// helper thread after the call has returned, instead of deadlocking.
class OpenAIWebSocketClient {
public:
    class Internals;

    // Connects to the service with `apiKey` (a user key or an ephemeral client
    // secret) for `model`; "gpt-realtime-whisper" opens a transcription
    // session. Throws what the transport's constructor throws.
    OpenAIWebSocketClient(const std::string& apiKey, const std::string& model);
    // For the library's tests and tools: adopts a prepared implementation.
    explicit OpenAIWebSocketClient(std::unique_ptr<Internals> internals);
    ~OpenAIWebSocketClient();

    OpenAIWebSocketClient(const OpenAIWebSocketClient&) = delete;
    OpenAIWebSocketClient& operator=(const OpenAIWebSocketClient&) = delete;

    // Null detaches. The client connects before its owner can attach, so the
    // calls due before the first delegate is set are kept: the first 64 of
    // them, within 1 MiB of text and audio (later ones are dropped, with a
    // warning in the log). The first delegate set receives them in order,
    // from a thread of the client, shortly after; calls due meanwhile wait
    // behind them. After a detach, events reach no one, except the
    // connection's end: a delegate set after it still receives its
    // onError("websocket_error", ...) (if the transport reported one) and
    // onSessionDisconnected the same way.
    void setDelegate(OpenAIWebSocketClientDelegate* delegate);

    // True from the server's "session.created" until the connection ends.
    bool getIsConnected() const;
    // True while the service's session has an id: only then are the
    // protocol operations below accepted.
    bool hasActiveSession() const;

    // Each returns true once its event went to the send path, false when no
    // session is active or its own argument check refuses it.
    bool appendAudioBuffer(const std::vector<int16_t>& samples); // 24 kHz mono
    bool commitAudioBuffer() const;
    bool clearInputAudioBuffer() const;
    bool sendUserMessage(const std::string& text) const;
    bool createResponse(const std::string& text) const;
    bool createResponse() const;
    bool submitFunctionCallOutput(const std::string& callId, const std::string& output) const;
    bool cancelResponse() const;
    bool sendConversationItemTruncate(const std::string& itemId, int contentIndex, int audioEndMs) const;
    void updateSession(const UpdateSessionClientEvent& event) const;

    // For the library's tests and tools: the implementation record.
    Internals& getInternals() const { return *internals; }

private:
    std::unique_ptr<Internals> internals;
};

} // namespace orvanta::extensions::openai
