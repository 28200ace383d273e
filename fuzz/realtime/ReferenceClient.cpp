// The first build's message handling, kept verbatim apart from the state
// record it writes and the "session" rule named in the header.

#include "ReferenceClient.h"

#include "OrvantaSDK/Logger.h"
#include "utils/Base64.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace orvanta::extensions::openai::reference {

using nlohmann::json;

namespace {

bool debugEnabled() { return Logger::getLevel() <= Logger::Level::Debug; }

void logDebug(const char* text) {
    if (debugEnabled())
        Logger::debug(text);
}

// Text of a value for a log line or the wire. Invalid UTF-8 (possible only in
// strings a caller handed us) is replaced rather than thrown about.
std::string compact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string pretty(const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace); }

// Depth of nested arrays and objects, counted without parsing; strings are
// skipped so that brackets inside them do not count.
bool nestsDeeperThan(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"': inString = true; break;
        case '[':
        case '{':
            if (++depth > limit)
                return true;
            break;
        case ']':
        case '}': --depth; break;
        default: break;
        }
    }
    return false;
}

// "content_index": absent means 0; a number must fit an int, because a
// conversion from a larger value would be undefined.
int readContentIndex(const json& message) {
    auto it = message.find("content_index");
    if (it == message.end())
        return 0;
    if (it->is_number_integer()) {
        const auto value = it->get<int64_t>();
        if (value >= INT_MIN && value <= INT_MAX)
            return static_cast<int>(value);
    } else if (it->is_number_unsigned()) {
        const auto value = it->get<uint64_t>();
        if (value <= static_cast<uint64_t>(INT_MAX))
            return static_cast<int>(value);
    } else if (it->is_number_float()) {
        const auto value = it->get<double>();
        if (std::isfinite(value) && value >= INT_MIN && value <= INT_MAX)
            return static_cast<int>(value);
    } else {
        return it->get<int>(); // throws the library's type error
    }
    throw std::out_of_range("content_index out of range");
}

// The member when `parent` is an object that has it, else null.
const json* member(const json* parent, const char* key) {
    if (parent == nullptr || !parent->is_object())
        return nullptr;
    auto it = parent->find(key);
    return it == parent->end() ? nullptr : &*it;
}

void copyString(const json* parent, const char* key, std::string& field) {
    const json* value = member(parent, key);
    if (value != nullptr && value->is_string())
        field = value->get<std::string>();
}

void updateSessionFromJson(RealtimeSession& record, const json& session) {
    if (!session.is_object())
        return;
    copyString(&session, "id", record.id);
    copyString(&session, "object", record.object);
    copyString(&session, "model", record.model);
    copyString(&session, "instructions", record.instructions);
    copyString(&session, "tool_choice", record.toolChoice);

    const json* audio = member(&session, "audio");
    if (audio == nullptr || !audio->is_object())
        return;
    const json* input = member(audio, "input");
    copyString(member(input, "format"), "type", record.inputAudioFormat);

    const json* output = member(audio, "output");
    if (output == nullptr || !output->is_object())
        return;
    copyString(member(output, "format"), "type", record.outputAudioFormat);
    copyString(output, "voice", record.voice);
    const json* outputSpeed = member(output, "speed");
    if (outputSpeed != nullptr && outputSpeed->is_number())
        record.speed = outputSpeed->get<double>();
}

} // namespace

void ReferenceClient::onMessage(const std::vector<uint8_t>& data, bool isText) {
    if (!isText) {
        Logger::error("[OpenAIWebSocketClient] Received non-text message.");
        return;
    }
    handleMessageText(std::string(data.begin(), data.end()));
}

void ReferenceClient::onClose() {
    isConnected = false;
    hasActiveResponse = false;
    session = RealtimeSession();
}

void ReferenceClient::handleMessageText(const std::string& text) {
    if (nestsDeeperThan(text, kMaxMessageDepth)) {
        Logger::error("[OpenAIWebSocketClient] Received unparseable JSON, dropping frame.");
        return;
    }
    json message = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (message.is_discarded()) {
        Logger::error("[OpenAIWebSocketClient] Received unparseable JSON, dropping frame.");
        return;
    }
    handleOpenAIMessage(message);
}

void ReferenceClient::handleOpenAIMessage(const json& message) {
    try {
        const std::string type = message.at("type").get<std::string>();

        if (type == "session.created") {
            const json& sessionJson = message.at("session");
            if (!sessionJson.is_object())
                throw std::invalid_argument("session is not an object");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] Received session.created:\n" + pretty(message));
            RealtimeSession fresh;
            updateSessionFromJson(fresh, sessionJson);
            session = std::move(fresh);
            isConnected = true;
            if (delegate != nullptr) {
                delegate->onSessionCreated();
            }
        } else if (type == "session.updated") {
            const json& sessionJson = message.at("session");
            if (!sessionJson.is_object())
                throw std::invalid_argument("session is not an object");
            Logger::info("[OpenAIWebSocketClient] Received session.updated:\n" + pretty(message));
            updateSessionFromJson(session, sessionJson);
        } else if (type == "input_audio_buffer.speech_started") {
            logDebug("[OpenAIWebSocketClient] Speech started.");
            if (delegate != nullptr) {
                delegate->onInputAudioSpeechStarted();
            }
        } else if (type == "input_audio_buffer.speech_stopped") {
            logDebug("[OpenAIWebSocketClient] Speech stopped.");
        } else if (type == "input_audio_buffer.committed") {
            logDebug("[OpenAIWebSocketClient] Audio buffer committed.");
        } else if (type == "conversation.item.created") {
            const json& item = message.at("item");
            const std::string itemType = item.at("type").get<std::string>();
            Logger::debug("[OpenAIWebSocketClient] Conversation item created with type: " + itemType);
            if (itemType == "message") {
                for (const json& element : item.at("content")) {
                    const std::string elementType = element.at("type").get<std::string>();
                    if (elementType == "input_text") {
                        const std::string text = element.at("text").get<std::string>();
                        Logger::debug("[OpenAIWebSocketClient] OpenAI received user message: " + text +
                                      " (type: " + elementType + ")");
                    } else {
                        Logger::debug("[OpenAIWebSocketClient] OpenAI received message type: " + elementType);
                    }
                }
            }
        } else if (type == "conversation.item.input_audio_transcription.delta") {
            const std::string delta = message.value("delta", std::string());
            Logger::debug("[OpenAIWebSocketClient] Input audio transcription delta: " + delta);
            if (!delta.empty())
                if (delegate != nullptr) {
                delegate->onInputAudioTranscriptionDelta(delta);
            }
        } else if (type == "conversation.item.input_audio_transcription.completed") {
            const std::string transcript = message.at("transcript").get<std::string>();
            logDebug("[OpenAIWebSocketClient] Conversation item input audio transcription completed.");
            Logger::debug("[OpenAIWebSocketClient] OpenAI transcribed input audio: " + transcript);
            if (delegate != nullptr) {
                delegate->onInputAudioTranscription(transcript);
            }
        } else if (type == "response.created") {
            logDebug("[OpenAIWebSocketClient] Response created.");
            hasActiveResponse = true;
            if (delegate != nullptr) {
                delegate->onResponseCreated();
            }
        } else if (type == "response.output_item.added") {
            logDebug("[OpenAIWebSocketClient] Response output item added.");
        } else if (type == "response.content_part.added") {
            logDebug("[OpenAIWebSocketClient] Response content part added.");
        } else if (type == "response.output_audio_transcript.delta") {
            const std::string delta = message.value("delta", std::string());
            Logger::debug("[OpenAIWebSocketClient] Response audio transcript delta: " + delta);
            if (!delta.empty())
                if (delegate != nullptr) {
                delegate->onResponseAudioTranscriptionDelta(delta);
            }
        } else if (type == "response.output_audio.delta") {
            const std::string itemId = message.value("item_id", std::string());
            const int contentIndex = readContentIndex(message);
            const std::string& delta = message.at("delta").get_ref<const std::string&>();
            logDebug("[OpenAIWebSocketClient] Response audio delta.");
            onResponseAudioReceived(delta, itemId, contentIndex);
        } else if (type == "response.output_audio.done") {
            logDebug("[OpenAIWebSocketClient] Response audio done.");
        } else if (type == "response.output_audio_transcript.done") {
            const std::string transcript = message.at("transcript").get<std::string>();
            logDebug("[OpenAIWebSocketClient] Response audio transcript done.");
            Logger::debug("[OpenAIWebSocketClient] OpenAI responded with transcript: " + transcript);
            if (delegate != nullptr) {
                delegate->onResponseAudioTranscription(transcript);
            }
        } else if (type == "response.output_text.delta") {
            logDebug("[OpenAIWebSocketClient] Response text delta.");
        } else if (type == "response.content_part.done") {
            logDebug("[OpenAIWebSocketClient] Response content part done.");
        } else if (type == "response.output_item.done") {
            const json& item = message.at("item");
            auto itemType = item.is_object() ? item.find("type") : item.end();
            if (item.is_object() && itemType != item.end() && itemType->is_string() &&
                itemType->get_ref<const std::string&>() == "function_call") {
                const std::string callId = item.value("call_id", std::string());
                const std::string name = item.value("name", std::string());
                const std::string arguments = item.value("arguments", std::string());
                Logger::debug("[OpenAIWebSocketClient] Tool call: " + name + " (" + callId + ").");
                if (delegate != nullptr) {
                delegate->onToolCall(callId, name, arguments);
            }
            } else {
                logDebug("[OpenAIWebSocketClient] Response output item done.");
            }
        } else if (type == "response.done") {
            logDebug("[OpenAIWebSocketClient] Response done.");
            hasActiveResponse = false;
            const std::string status = message.at("response").at("status").get<std::string>();
            if (delegate != nullptr) {
                delegate->onResponseDone(status);
            }
        } else if (type == "rate_limits.updated") {
            logDebug("[OpenAIWebSocketClient] Rate limit updated.");
        } else if (type == "conversation.item.input_audio_transcription.failed") {
            const std::string itemId = message.value("item_id", std::string());
            std::string messageText = "unknown";
            auto error = message.find("error");
            if (error != message.end())
                messageText = error->value("message", std::string("unknown"));
            Logger::error("[OpenAIWebSocketClient] Input audio transcription failed for item " + itemId + ": " +
                          messageText);
            if (delegate != nullptr) {
                delegate->onError("transcription_failed", "", messageText);
            }
        } else if (type == "error") {
            onErrorReceived(message.at("error"));
        } else {
            Logger::debug("[OpenAIWebSocketClient] Unknown message type: " + type);
        }
    } catch (const std::exception& e) {
        Logger::error(std::string("[OpenAIWebSocketClient] Received invalid JSON object: ") + e.what());
        if (debugEnabled())
            Logger::debug("[OpenAIWebSocketClient] Received JSON: " + compact(message));
    }
}

void ReferenceClient::onErrorReceived(const json& error) {
    const std::string type = error.at("type").get<std::string>();
    std::string code = "unknown";
    auto codeIt = error.find("code");
    if (codeIt != error.end() && codeIt->is_string())
        code = codeIt->get<std::string>();
    const std::string text = error.at("message").get<std::string>();
    Logger::error("[OpenAIWebSocketClient] Error received - Type: " + type + ", Code: " + code + ", Message: " + text);
    if (delegate != nullptr) {
                delegate->onError(type, code, text);
            }
}

void ReferenceClient::onResponseAudioReceived(const std::string& base64Audio,
                                                               const std::string& itemId, int contentIndex) {
    const std::vector<uint8_t> bytes = base64::Base64::decode(base64Audio);
    std::vector<int16_t> samples(bytes.size() / 2);
    // The wire is little-endian, as is every platform the library targets.
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
    if (delegate != nullptr) {
                delegate->onResponseAudioReceived(samples, itemId, contentIndex);
            }
}

} // namespace orvanta::extensions::openai::reference
