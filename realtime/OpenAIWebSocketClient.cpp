#include "realtime/OpenAIWebSocketClient.h"

#include "OrvantaSDK/Logger.h"
#include "realtime/OpenAIWebSocketClientInternals.h"

#include <thread>
#include <utility>

namespace orvanta::extensions::openai {

OpenAIWebSocketClient::OpenAIWebSocketClient(const std::string& apiKey, const std::string& model)
    : internals(std::make_unique<Internals>(model)) {
    internals->createWebSocketClient(apiKey);
}

OpenAIWebSocketClient::OpenAIWebSocketClient(std::unique_ptr<Internals> prepared) : internals(std::move(prepared)) {}

OpenAIWebSocketClient::~OpenAIWebSocketClient() {
    if (!internals)
        return;
    if (internals->isInCallOnThisThread()) {
        // Destroyed from inside one of our own calls, most likely a delegate
        // call on the I/O thread: joining that thread here would wait for
        // ourselves. Detach the delegate now and let a helper thread finish
        // the shutdown once the call has returned.
        Logger::error("[OpenAIWebSocketClient] Client destroyed inside its own callback; "
                      "finishing the shutdown on a helper thread.");
        internals->setDelegate(nullptr);
        Internals* orphan = internals.release();
        std::thread([orphan] {
            orphan->waitUntilNoCallsInFlight();
            delete orphan;
        }).detach();
        return;
    }
    // Owners detach first; doing it here as well means a callback still in
    // flight on the I/O thread cannot reach a delegate that is going away.
    internals->setDelegate(nullptr);
    internals.reset();
}

void OpenAIWebSocketClient::setDelegate(OpenAIWebSocketClientDelegate* delegate) { internals->setDelegate(delegate); }

bool OpenAIWebSocketClient::getIsConnected() const { return internals->isConnected.load(); }

bool OpenAIWebSocketClient::hasActiveSession() const { return internals->hasActiveSession(); }

bool OpenAIWebSocketClient::appendAudioBuffer(const std::vector<int16_t>& samples) {
    return internals->appendAudioBuffer(samples);
}

bool OpenAIWebSocketClient::commitAudioBuffer() const { return internals->commitAudioBuffer(); }

bool OpenAIWebSocketClient::clearInputAudioBuffer() const { return internals->clearInputAudioBuffer(); }

bool OpenAIWebSocketClient::sendUserMessage(const std::string& text) const { return internals->sendUserMessage(text); }

bool OpenAIWebSocketClient::createResponse(const std::string& text) const { return internals->createResponse(text); }

bool OpenAIWebSocketClient::createResponse() const { return internals->createResponse(); }

bool OpenAIWebSocketClient::submitFunctionCallOutput(const std::string& callId, const std::string& output) const {
    return internals->submitFunctionCallOutput(callId, output);
}

bool OpenAIWebSocketClient::cancelResponse() const { return internals->cancelResponse(); }

bool OpenAIWebSocketClient::sendConversationItemTruncate(const std::string& itemId, int contentIndex,
                                                         int audioEndMs) const {
    return internals->sendConversationItemTruncate(itemId, contentIndex, audioEndMs);
}

void OpenAIWebSocketClient::updateSession(const UpdateSessionClientEvent& event) const {
    internals->updateSession(event);
}

} // namespace orvanta::extensions::openai
