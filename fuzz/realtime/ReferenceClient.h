#pragma once

// The protocol client's handling of server messages as it was built first,
// on the JSON library's document: bracket pre-scan, full parse, dispatch,
// session mirror and audio decoding. Kept outside the library as the
// reference that the differential fuzzer and the benchmark hold the client's
// own message path against. One change from the first build is carried over,
// because the client makes it on purpose: a "session" member that is not an
// object is an invalid message, for "session.created" and "session.updated"
// alike.
//
// Single-threaded: delegate calls are made directly, log lines go to the
// host logger.

#include "realtime/OpenAIWebSocketClientDelegate.h"
#include "realtime/RealtimeSession.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta::extensions::openai::reference {

class ReferenceClient {
public:
    void onMessage(const std::vector<uint8_t>& data, bool isText);
    // The state changes of a closed connection (no delegate call).
    void onClose();

    OpenAIWebSocketClientDelegate* delegate = nullptr;
    RealtimeSession session;
    bool isConnected = false;
    bool hasActiveResponse = false;

private:
    static constexpr int kMaxMessageDepth = 128;
    void handleMessageText(const std::string& text);
    void handleOpenAIMessage(const nlohmann::json& message);
    void onErrorReceived(const nlohmann::json& error);
    void onResponseAudioReceived(const std::string& base64Audio, const std::string& itemId, int contentIndex);
};

} // namespace orvanta::extensions::openai::reference
