#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta::extensions::openai {

// What the protocol client reports to its owner.
//
// Threads: server events, onSessionDisconnected and "websocket_error" arrive
// on the client's I/O thread, one at a time in arrival order. onError for
// "send_failed" and "invalid_tools" arrives on the thread that called the
// failing operation. The client never runs two calls on one delegate at the
// same time. Calls must return quickly: hand audio and events to your own
// threads.
class OpenAIWebSocketClientDelegate {
public:
    virtual ~OpenAIWebSocketClientDelegate();

    virtual void onSessionCreated() = 0;
    virtual void onSessionDisconnected() = 0;
    virtual void onInputAudioTranscriptionDelta(const std::string& delta) = 0;
    virtual void onInputAudioTranscription(const std::string& transcript) = 0;
    virtual void onError(const std::string& type, const std::string& code, const std::string& message) = 0;

    virtual void onResponseCreated() {}
    virtual void onResponseDone(const std::string& status) { (void)status; }
    // 24,000 Hz mono 16-bit samples of one audio delta; may be empty.
    virtual void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId,
                                         int contentIndex) {
        (void)samples;
        (void)itemId;
        (void)contentIndex;
    }
    virtual void onInputAudioSpeechStarted() {}
    virtual void onResponseAudioTranscriptionDelta(const std::string& delta) { (void)delta; }
    virtual void onResponseAudioTranscription(const std::string& transcript) { (void)transcript; }
    virtual void onToolCall(const std::string& callId, const std::string& name, const std::string& argumentsJson) {
        (void)callId;
        (void)name;
        (void)argumentsJson;
    }
};

} // namespace orvanta::extensions::openai
