#include "realtime/OpenAIWebSocketClientInternals.h"

#include "OrvantaSDK/Logger.h"
#include "realtime/RealtimeEndpoint.h"
#include "utils/Base64.h"
#include "websocket/WebSocketClient.h"

#include <climits>
#include <optional>
#include <cmath>
#include <cstring>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

namespace orvanta::extensions::openai {

using nlohmann::json;

namespace {

const char* const kTranscriptionModel = "gpt-realtime-whisper";
const char* const kRealtimeTranscriptionDefault = "gpt-4o-mini-transcribe";
constexpr int kSampleRate = 24000;

bool debugEnabled() { return Logger::getLevel() <= Logger::Level::Debug; }

void logDebug(const char* text) {
    if (debugEnabled())
        Logger::debug(text);
}

// Text of a value for a log line or the wire. Invalid UTF-8 (possible only in
// strings a caller handed us) is replaced rather than thrown about.
std::string compact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string pretty(const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace); }

json audioFormat() { return json{{"type", "audio/pcm"}, {"rate", kSampleRate}}; }

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

std::vector<uint8_t> toBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

} // namespace

// Marks the current thread as inside a call of one Internals, so that a
// destructor running in that call can tell, and counts calls in flight.
class OpenAIWebSocketClient::Internals::CallScope {
public:
    explicit CallScope(const Internals& owner) : owner_(owner), previous_(top()) {
        owner_.scopesInFlight.fetch_add(1, std::memory_order_acq_rel);
        top() = this;
    }
    ~CallScope() {
        top() = previous_;
        owner_.scopesInFlight.fetch_sub(1, std::memory_order_acq_rel);
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    static bool threadIsInside(const Internals& owner) {
        for (const CallScope* scope = top(); scope != nullptr; scope = scope->previous_)
            if (&scope->owner_ == &owner)
                return true;
        return false;
    }
    // Delegate calls that this thread has open on `owner`.
    static int delegateCallsOnThisThread(const Internals& owner) {
        int count = 0;
        for (const CallScope* scope = top(); scope != nullptr; scope = scope->previous_)
            if (&scope->owner_ == &owner && scope->delegateCall)
                ++count;
        return count;
    }

    bool delegateCall = false;

private:
    static const CallScope*& top() {
        static thread_local const CallScope* current = nullptr;
        return current;
    }

    const Internals& owner_;
    const CallScope* previous_;
};

OpenAIWebSocketClient::Internals::Internals(const std::string& modelName) : model(modelName) {}

OpenAIWebSocketClient::Internals::~Internals() {
    // The transport's callbacks point at this record: stop them (and join the
    // I/O thread) while every other member is still alive.
    webSocketClient.reset();
    if (replayThread.joinable())
        replayThread.join();
}

// ---------------------------------------------------------------------------
// Delegate

template <class Call> void OpenAIWebSocketClient::Internals::notify(Call&& call) {
    notify(std::forward<Call>(call), [] {});
}

// `whenAbsent` runs under the delegate lock when no delegate is set, so that
// remembering a missed event and setDelegate cannot interleave.
template <class Call, class Absent>
void OpenAIWebSocketClient::Internals::notify(Call&& call, Absent&& whenAbsent) {
    OpenAIWebSocketClientDelegate* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(delegateMutex);
        target = delegate;
        if (target == nullptr) {
            whenAbsent();
            return;
        }
        ++delegateCallsInFlight;
    }
    struct Release {
        Internals& self;
        ~Release() {
            std::lock_guard<std::mutex> lock(self.delegateMutex);
            --self.delegateCallsInFlight;
            self.delegateIdle.notify_all();
        }
    } release{*this};
    CallScope scope(*this);
    scope.delegateCall = true;
    call(*target);
}

void OpenAIWebSocketClient::Internals::setDelegate(OpenAIWebSocketClientDelegate* newDelegate) {
    std::unique_lock<std::mutex> lock(delegateMutex);
    delegate = newDelegate;
    // The connection can fail before its owner had a chance to attach: the
    // end would then reach no one and the owner would wait forever. Deliver
    // it now, from a thread of ours as if the I/O thread had been a little
    // later, so the owner's setDelegate call is not re-entered.
    if (newDelegate != nullptr && endedUnreported && !replayThread.joinable()) {
        endedUnreported = false;
        replayThread = std::thread([this] { replayMissedEnd(); });
    }
    // A call this thread is making right now (setDelegate from inside a
    // callback) must not be waited for: it cannot end before we return.
    const int own = CallScope::delegateCallsOnThisThread(*this);
    delegateIdle.wait(lock, [&] { return delegateCallsInFlight <= own; });
}

void OpenAIWebSocketClient::Internals::replayMissedEnd() {
    std::optional<std::string> error;
    {
        std::lock_guard<std::mutex> lock(delegateMutex);
        error.swap(missedError);
    }
    if (error)
        notify([&](OpenAIWebSocketClientDelegate& d) { d.onError("websocket_error", "", *error); });
    notify([this](OpenAIWebSocketClientDelegate& d) {
        if (!disconnectReported.exchange(true))
            d.onSessionDisconnected();
    });
}

bool OpenAIWebSocketClient::Internals::isInCallOnThisThread() const { return CallScope::threadIsInside(*this); }

void OpenAIWebSocketClient::Internals::waitUntilNoCallsInFlight() const {
    while (scopesInFlight.load(std::memory_order_acquire) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// ---------------------------------------------------------------------------
// Session record

RealtimeSession OpenAIWebSocketClient::Internals::getSession() const {
    std::lock_guard<std::mutex> lock(sessionMutex);
    return session;
}

void OpenAIWebSocketClient::Internals::replaceSession(RealtimeSession next) {
    const bool active = !next.id.empty();
    {
        std::lock_guard<std::mutex> lock(sessionMutex);
        session = std::move(next);
    }
    sessionActive.store(active, std::memory_order_release);
}

bool OpenAIWebSocketClient::Internals::checkSession(const char* failureLog) const {
    if (hasActiveSession())
        return true;
    Logger::error(failureLog);
    return false;
}

// ---------------------------------------------------------------------------
// Connection

std::string OpenAIWebSocketClient::Internals::buildUrl(const std::string& baseUrl, const std::string& modelName) {
    if (modelName == kTranscriptionModel)
        return baseUrl + "?intent=transcription";
    return baseUrl + "?model=" + modelName;
}

std::vector<std::string> OpenAIWebSocketClient::Internals::buildSubprotocols(const std::string& apiKey) {
    return {"realtime", "openai-insecure-api-key." + apiKey};
}

void OpenAIWebSocketClient::Internals::createWebSocketClient(const std::string& apiKey) {
    auto transport = std::make_unique<websocket::WebSocketClient>(buildUrl(realtimeEndpoint(), model),
                                                                  buildSubprotocols(apiKey), 4000, 2000, "");
    websocket::WebSocketClient* client = transport.get();
    attachTransport(std::move(transport));
    client->start();
}

void OpenAIWebSocketClient::Internals::attachTransport(std::unique_ptr<websocket::WebSocketSession> transport) {
    webSocketClient = std::move(transport);
    webSocketClient->onOpenHandler = [this] { onOpen(); };
    webSocketClient->onMessageHandler = [this](std::vector<uint8_t>&& data, bool isText) {
        onMessage(data, isText);
    };
    webSocketClient->onCloseHandler = [this] { onClose(); };
    webSocketClient->onErrorHandler = [this](const std::string message) { onTransportError(message); };
}

void OpenAIWebSocketClient::Internals::onOpen() {
    CallScope scope(*this);
    logDebug("[OpenAIWebSocketClient] WebSocket connection opened.");
}

void OpenAIWebSocketClient::Internals::onMessage(const std::vector<uint8_t>& data, bool isText) {
    CallScope scope(*this);
    if (!isText) {
        Logger::error("[OpenAIWebSocketClient] Received non-text message.");
        return;
    }
    handleMessageText(std::string(data.begin(), data.end()));
}

void OpenAIWebSocketClient::Internals::onClose() {
    CallScope scope(*this);
    logDebug("[OpenAIWebSocketClient] WebSocket connection closed.");
    endConnection();
}

void OpenAIWebSocketClient::Internals::onTransportError(const std::string& message) {
    CallScope scope(*this);
    Logger::error("[OpenAIWebSocketClient] WebSocket connection error: " + message);
    notify([&](OpenAIWebSocketClientDelegate& d) { d.onError("websocket_error", "", message); },
           [&] {
               if (!missedError)
                   missedError = message;
           });
    endConnection();
}

void OpenAIWebSocketClient::Internals::endConnection() {
    isConnected.store(false);
    hasActiveResponse.store(false);
    replaceSession(RealtimeSession());
    notify(
        [this](OpenAIWebSocketClientDelegate& d) {
            if (!disconnectReported.exchange(true))
                d.onSessionDisconnected();
        },
        [this] { endedUnreported = true; });
}

// ---------------------------------------------------------------------------
// Incoming events

void OpenAIWebSocketClient::Internals::handleMessageText(const std::string& text) {
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

void OpenAIWebSocketClient::Internals::handleOpenAIMessage(const json& message) {
    try {
        const std::string type = message.at("type").get<std::string>();

        if (type == "session.created") {
            const json& sessionJson = message.at("session");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] Received session.created:\n" + pretty(message));
            RealtimeSession fresh;
            fresh.updateFromJson(sessionJson);
            replaceSession(std::move(fresh));
            isConnected.store(true);
            notify([](OpenAIWebSocketClientDelegate& d) { d.onSessionCreated(); });
        } else if (type == "session.updated") {
            const json& sessionJson = message.at("session");
            Logger::info("[OpenAIWebSocketClient] Received session.updated:\n" + pretty(message));
            RealtimeSession merged = getSession();
            merged.updateFromJson(sessionJson);
            replaceSession(std::move(merged));
        } else if (type == "input_audio_buffer.speech_started") {
            logDebug("[OpenAIWebSocketClient] Speech started.");
            notify([](OpenAIWebSocketClientDelegate& d) { d.onInputAudioSpeechStarted(); });
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
                notify([&](OpenAIWebSocketClientDelegate& d) { d.onInputAudioTranscriptionDelta(delta); });
        } else if (type == "conversation.item.input_audio_transcription.completed") {
            const std::string transcript = message.at("transcript").get<std::string>();
            logDebug("[OpenAIWebSocketClient] Conversation item input audio transcription completed.");
            Logger::debug("[OpenAIWebSocketClient] OpenAI transcribed input audio: " + transcript);
            notify([&](OpenAIWebSocketClientDelegate& d) { d.onInputAudioTranscription(transcript); });
        } else if (type == "response.created") {
            logDebug("[OpenAIWebSocketClient] Response created.");
            hasActiveResponse.store(true);
            notify([](OpenAIWebSocketClientDelegate& d) { d.onResponseCreated(); });
        } else if (type == "response.output_item.added") {
            logDebug("[OpenAIWebSocketClient] Response output item added.");
        } else if (type == "response.content_part.added") {
            logDebug("[OpenAIWebSocketClient] Response content part added.");
        } else if (type == "response.output_audio_transcript.delta") {
            const std::string delta = message.value("delta", std::string());
            Logger::debug("[OpenAIWebSocketClient] Response audio transcript delta: " + delta);
            if (!delta.empty())
                notify([&](OpenAIWebSocketClientDelegate& d) { d.onResponseAudioTranscriptionDelta(delta); });
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
            notify([&](OpenAIWebSocketClientDelegate& d) { d.onResponseAudioTranscription(transcript); });
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
                notify([&](OpenAIWebSocketClientDelegate& d) { d.onToolCall(callId, name, arguments); });
            } else {
                logDebug("[OpenAIWebSocketClient] Response output item done.");
            }
        } else if (type == "response.done") {
            logDebug("[OpenAIWebSocketClient] Response done.");
            hasActiveResponse.store(false);
            const std::string status = message.at("response").at("status").get<std::string>();
            notify([&](OpenAIWebSocketClientDelegate& d) { d.onResponseDone(status); });
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
            notify([&](OpenAIWebSocketClientDelegate& d) { d.onError("transcription_failed", "", messageText); });
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

void OpenAIWebSocketClient::Internals::onErrorReceived(const json& error) {
    const std::string type = error.at("type").get<std::string>();
    std::string code = "unknown";
    auto codeIt = error.find("code");
    if (codeIt != error.end() && codeIt->is_string())
        code = codeIt->get<std::string>();
    const std::string text = error.at("message").get<std::string>();
    Logger::error("[OpenAIWebSocketClient] Error received - Type: " + type + ", Code: " + code + ", Message: " + text);
    notify([&](OpenAIWebSocketClientDelegate& d) { d.onError(type, code, text); });
}

void OpenAIWebSocketClient::Internals::onResponseAudioReceived(const std::string& base64Audio,
                                                               const std::string& itemId, int contentIndex) {
    const std::vector<uint8_t> bytes = base64::Base64::decode(base64Audio);
    std::vector<int16_t> samples(bytes.size() / 2);
    // The wire is little-endian, as is every platform the library targets.
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
    notify([&](OpenAIWebSocketClientDelegate& d) { d.onResponseAudioReceived(samples, itemId, contentIndex); });
}

// ---------------------------------------------------------------------------
// Outgoing events

json OpenAIWebSocketClient::Internals::makeEvent(const char* type) {
    const int32_t number = eventCounter.fetch_add(1) + 1;
    return json{{"event_id", "event-" + std::to_string(number)}, {"type", type}};
}

void OpenAIWebSocketClient::Internals::sendMessageToOpenAI(const json& event) {
    std::string type;
    auto typeIt = event.find("type");
    if (typeIt != event.end() && typeIt->is_string())
        type = typeIt->get<std::string>();
    sendBytes(toBytes(compact(event)), type);
}

void OpenAIWebSocketClient::Internals::sendBytes(std::vector<uint8_t>&& bytes, const std::string& type) {
    if (isConnected.load() && webSocketClient) {
        webSocketClient->send(bytes, true, kMaxFragmentSize);
        return;
    }
    Logger::error("[OpenAIWebSocketClient] Cannot send message: Not connected to OpenAI WebSocket. Type: " + type);
    notify([&](OpenAIWebSocketClientDelegate& d) {
        d.onError("send_failed", "", "Cannot send " + type + " while disconnected.");
    });
}

std::vector<uint8_t> OpenAIWebSocketClient::Internals::buildAudioAppendMessage(const std::vector<int16_t>& samples,
                                                                              int32_t eventNumber) {
    // The samples' own bytes are the wire format (little-endian platforms).
    const std::string audio =
        base64::Base64::encode(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * sizeof(int16_t));

    // Written out by hand: the same bytes the JSON library would print (keys
    // in order, nothing to escape in Base64 text), without copying a second
    // of audio through a JSON value twice.
    static const char head[] = "{\"audio\":\"";
    static const char middle[] = "\",\"event_id\":\"event-";
    static const char tail[] = "\",\"type\":\"input_audio_buffer.append\"}";
    const std::string number = std::to_string(eventNumber);
    std::vector<uint8_t> message;
    message.reserve(sizeof(head) + audio.size() + sizeof(middle) + number.size() + sizeof(tail));
    message.insert(message.end(), head, head + sizeof(head) - 1);
    message.insert(message.end(), audio.begin(), audio.end());
    message.insert(message.end(), middle, middle + sizeof(middle) - 1);
    message.insert(message.end(), number.begin(), number.end());
    message.insert(message.end(), tail, tail + sizeof(tail) - 1);
    return message;
}

bool OpenAIWebSocketClient::Internals::appendAudioBuffer(const std::vector<int16_t>& samples) {
    if (!checkSession("[OpenAIWebSocketClient] Cannot append audio buffer: No active session."))
        return false;
    const int32_t number = eventCounter.fetch_add(1) + 1;
    sendBytes(buildAudioAppendMessage(samples, number), "input_audio_buffer.append");
    return true;
}

bool OpenAIWebSocketClient::Internals::commitAudioBuffer() {
    if (!checkSession("[OpenAIWebSocketClient] Cannot commit turn: No active session."))
        return false;
    sendMessageToOpenAI(makeEvent("input_audio_buffer.commit"));
    if (model == kTranscriptionModel) {
        Logger::info("[OpenAIWebSocketClient] Committing input audio buffer: sending input_audio_buffer.commit.");
        return true;
    }
    Logger::info("[OpenAIWebSocketClient] Committing turn: sending input_audio_buffer.commit + response.create.");
    sendMessageToOpenAI(makeEvent("response.create"));
    return true;
}

bool OpenAIWebSocketClient::Internals::clearInputAudioBuffer() {
    if (!checkSession("[OpenAIWebSocketClient] Cannot clear input audio buffer: No active session."))
        return false;
    Logger::info("[OpenAIWebSocketClient] Clearing input audio buffer.");
    sendMessageToOpenAI(makeEvent("input_audio_buffer.clear"));
    return true;
}

bool OpenAIWebSocketClient::Internals::sendUserMessage(const std::string& text) {
    if (!checkSession("[OpenAIWebSocketClient] Cannot send user message: No active session."))
        return false;
    json event = makeEvent("conversation.item.create");
    event["item"] = {{"type", "message"},
                     {"role", "user"},
                     {"content", json::array({{{"type", "input_text"}, {"text", text}}})}};
    sendMessageToOpenAI(event);
    return true;
}

bool OpenAIWebSocketClient::Internals::createResponse(const std::string& text) {
    if (!checkSession("[OpenAIWebSocketClient] Cannot create response: No active session."))
        return false;
    json event = makeEvent("response.create");
    json userMessage = {{"type", "message"},
                        {"role", "user"},
                        {"content", json::array({{{"type", "input_text"}, {"text", text}}})}};
    event["response"] = {{"input", json::array({userMessage})}};
    sendMessageToOpenAI(event);
    return true;
}

bool OpenAIWebSocketClient::Internals::createResponse() {
    if (!checkSession("[OpenAIWebSocketClient] Cannot create response: No active session."))
        return false;
    sendMessageToOpenAI(makeEvent("response.create"));
    return true;
}

bool OpenAIWebSocketClient::Internals::submitFunctionCallOutput(const std::string& callId,
                                                                const std::string& output) {
    if (!checkSession("[OpenAIWebSocketClient] Cannot submit tool result: No active session."))
        return false;
    if (callId.empty()) {
        Logger::warning("[OpenAIWebSocketClient] Skipping function_call_output: empty call_id.");
        return false;
    }
    json event = makeEvent("conversation.item.create");
    event["item"] = {{"type", "function_call_output"}, {"call_id", callId}, {"output", output}};
    sendMessageToOpenAI(event);
    return true;
}

bool OpenAIWebSocketClient::Internals::cancelResponse() {
    if (!checkSession("[OpenAIWebSocketClient] Cannot cancel response: No active session."))
        return false;
    if (!hasActiveResponse.load()) {
        logDebug("[OpenAIWebSocketClient] Skipping cancelResponse: no active response.");
        return true;
    }
    Logger::info("[OpenAIWebSocketClient] Canceling response.");
    sendMessageToOpenAI(makeEvent("response.cancel"));
    return true;
}

bool OpenAIWebSocketClient::Internals::sendConversationItemTruncate(const std::string& itemId, int contentIndex,
                                                                    int audioEndMs) {
    if (!checkSession("[OpenAIWebSocketClient] Cannot send conversation.item.truncate: No active session."))
        return false;
    if (itemId.empty()) {
        Logger::warning("[OpenAIWebSocketClient] Skipping conversation.item.truncate: empty item_id.");
        return false;
    }
    Logger::info("[OpenAIWebSocketClient] Truncating item " + itemId + " at " + std::to_string(audioEndMs) + " ms.");
    json event = makeEvent("conversation.item.truncate");
    event["item_id"] = itemId;
    event["content_index"] = contentIndex;
    event["audio_end_ms"] = audioEndMs;
    sendMessageToOpenAI(event);
    return true;
}

json OpenAIWebSocketClient::Internals::buildSessionObject(const UpdateSessionClientEvent& event) {
    json sessionObject = json::object();
    json audio = json::object();
    json input = json::object();
    input["format"] = audioFormat();

    if (event.sessionType.value_or("realtime") == "transcription") {
        sessionObject["type"] = "transcription";
        json transcription = {{"model", event.transcriptionModel.value_or(kTranscriptionModel)}};
        if (event.transcriptionLanguage && !event.transcriptionLanguage->empty())
            transcription["language"] = *event.transcriptionLanguage;
        if (event.transcriptionDelay)
            transcription["delay"] = *event.transcriptionDelay;
        input["transcription"] = transcription;
        audio["input"] = input;
        sessionObject["audio"] = audio;
        return sessionObject;
    }

    sessionObject["type"] = "realtime";
    sessionObject["model"] = model;
    sessionObject["output_modalities"] = json::array({"audio"});
    if (event.instructions)
        sessionObject["instructions"] = *event.instructions;

    json output = {{"format", audioFormat()}};
    if (event.voice && !event.voice->empty())
        output["voice"] = *event.voice;
    if (event.speed)
        output["speed"] = static_cast<double>(*event.speed);

    if (event.inputAudioTranscription) {
        if (*event.inputAudioTranscription)
            input["transcription"] = {{"model", event.transcriptionModel.value_or(kRealtimeTranscriptionDefault)}};
        else
            input["transcription"] = nullptr;
    }
    if (event.turnDetection) {
        if (*event.turnDetection == "none")
            input["turn_detection"] = nullptr;
        else if (*event.turnDetection == "semantic_vad")
            input["turn_detection"] = {{"type", "semantic_vad"}};
        else
            input["turn_detection"] = {{"type", "server_vad"}};
    }
    if (event.noiseReduction) {
        if (*event.noiseReduction == "none")
            input["noise_reduction"] = nullptr;
        else
            input["noise_reduction"] = {{"type", *event.noiseReduction}};
    }
    if (event.tools) {
        json tools = json::parse(*event.tools, nullptr, /*allow_exceptions=*/false);
        if (tools.is_discarded()) {
            Logger::error("[OpenAIWebSocketClient] Invalid tools JSON, skipping.");
            notify([](OpenAIWebSocketClientDelegate& d) {
                d.onError("invalid_tools", "", "tools is not valid JSON.");
            });
        } else {
            sessionObject["tools"] = std::move(tools);
        }
    }
    if (event.toolChoice && !event.toolChoice->empty()) {
        const std::string& choice = *event.toolChoice;
        sessionObject["tool_choice"] = (choice == "none" || choice == "required") ? choice : std::string("auto");
    }
    audio["input"] = input;
    audio["output"] = output;
    sessionObject["audio"] = audio;
    return sessionObject;
}

void OpenAIWebSocketClient::Internals::updateSession(const UpdateSessionClientEvent& event) {
    if (!checkSession("[OpenAIWebSocketClient] Cannot set instructions: No active session."))
        return;
    json sessionObject = buildSessionObject(event);
    json message = makeEvent("session.update");
    message["session"] = std::move(sessionObject);
    sendMessageToOpenAI(message);
}

} // namespace orvanta::extensions::openai
