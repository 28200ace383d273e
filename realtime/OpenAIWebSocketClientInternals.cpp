#include "realtime/OpenAIWebSocketClientInternals.h"

#include "OrvantaSDK/Logger.h"
#include "realtime/EventValue.h"
#include "realtime/RealtimeEndpoint.h"
#include "realtime/ServerEventParser.h"
#include "utils/Base64.h"
#include "websocket/WebSocketClient.h"

#include <chrono>
#include <optional>
#include <thread>
#include <tuple>
#include <type_traits>
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

// A received message as the JSON library prints it, so that the log lines
// keep their form; `indent` -1 prints it compactly.
std::string printed(std::string_view text, int indent) {
    const json value = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false,
                                   /*ignore_comments=*/false);
    if (value.is_discarded())
        return std::string(text);
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

bool infoEnabled() { return Logger::getLevel() <= Logger::Level::Info; }

size_t payloadBytes(const std::string& text) { return text.size(); }
size_t payloadBytes(const std::vector<int16_t>& samples) { return samples.size() * sizeof(int16_t); }
template <class T> size_t payloadBytes(const T&) { return 0; }

json audioFormat() { return json{{"type", "audio/pcm"}, {"rate", kSampleRate}}; }

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

OpenAIWebSocketClient::Internals::Internals(const std::string& modelName)
    : model(modelName), eventParser(std::make_unique<ServerEventParser>()) {}

OpenAIWebSocketClient::Internals::~Internals() {
    // The transport's callbacks point at this record: stop them (and join the
    // I/O thread) while every other member is still alive.
    webSocketClient.reset();
    if (replayThread.joinable())
        replayThread.join();
}

// ---------------------------------------------------------------------------
// Delegate

template <class... Params, class... Args>
void OpenAIWebSocketClient::Internals::notify(void (OpenAIWebSocketClientDelegate::*method)(Params...),
                                              const Args&... args) {
    deliver(
        CallKind::Event, (payloadBytes(args) + ... + size_t{0}),
        [&](OpenAIWebSocketClientDelegate& d) { (d.*method)(args...); },
        [&] {
            return DelegateCall([method, kept = std::make_tuple(std::decay_t<const Args&>(args)...)](
                                    OpenAIWebSocketClientDelegate& d) {
                std::apply([&](const auto&... a) { (d.*method)(a...); }, kept);
            });
        });
}

// Calls `now` on the delegate on this thread, or keeps what `later` makes
// when no delegate is there to call.
template <class Now, class Later>
void OpenAIWebSocketClient::Internals::deliver(CallKind kind, size_t bytes, Now&& now, Later&& later) {
    OpenAIWebSocketClientDelegate* target = nullptr;
    {
        std::unique_lock<std::mutex> lock(delegateMutex);
        // Behind a replay of missed calls, so that the delegate sees every
        // call in order and one at a time; unless this thread is making a
        // delegate call of ours already (an operation called from inside
        // one), which would then wait for itself.
        if (replaying && CallScope::delegateCallsOnThisThread(*this) == 0)
            delegateIdle.wait(lock, [this] { return !replaying; });
        target = delegate;
        if (target == nullptr) {
            const Admission admission = admitMissed(kind, bytes);
            if (admission == Admission::Keep)
                missed.push_back({kind, later()});
            lock.unlock();
            if (admission == Admission::DropFirst)
                Logger::warning("[OpenAIWebSocketClient] No delegate set: dropping events past the first " +
                                std::to_string(kMaxMissedCalls) + ".");
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
    now(*target);
}

OpenAIWebSocketClient::Internals::Admission OpenAIWebSocketClient::Internals::admitMissed(CallKind kind,
                                                                                        size_t bytes) {
    switch (kind) {
    case CallKind::Event:
        // After a delegate has been detached, events reach no one: owners
        // detach before they go away.
        if (delegateEverSet || missedOverflow)
            return Admission::Drop;
        if (missedEvents == kMaxMissedCalls || missedBytes + bytes > kMaxMissedBytes) {
            missedOverflow = true;
            return Admission::DropFirst;
        }
        ++missedEvents;
        missedBytes += bytes;
        return Admission::Keep;
    // The end is kept at any time: an owner that attaches late must still
    // learn of it, or it would never reconnect.
    case CallKind::TransportError: return std::exchange(missedTransportError, true) ? Admission::Drop : Admission::Keep;
    case CallKind::Disconnect: return std::exchange(missedDisconnect, true) ? Admission::Drop : Admission::Keep;
    }
    return Admission::Drop;
}

void OpenAIWebSocketClient::Internals::setDelegate(OpenAIWebSocketClientDelegate* newDelegate) {
    std::thread finishedReplay;
    {
        std::unique_lock<std::mutex> lock(delegateMutex);
        OpenAIWebSocketClientDelegate* previous = std::exchange(delegate, newDelegate);
        if (newDelegate != nullptr) {
            delegateEverSet = true;
            // From a thread of ours, as if the I/O thread had been a little
            // later, so the owner's setDelegate call is not re-entered.
            if (!missed.empty() && !replaying) {
                replaying = true;
                finishedReplay = std::move(replayThread);
                replayThread = std::thread([this] { replayMissedCalls(); });
            }
        }
        // Once detached or replaced, the old delegate hears nothing more: wait
        // for its calls in flight, but not for one this thread is making
        // (setDelegate from inside a callback), which cannot end before we
        // return.
        if (previous != nullptr && previous != newDelegate) {
            const int own = CallScope::delegateCallsOnThisThread(*this);
            delegateIdle.wait(lock, [&] { return delegateCallsInFlight <= own; });
        }
    }
    if (finishedReplay.joinable())
        finishedReplay.join(); // its last step was to clear `replaying`
}

void OpenAIWebSocketClient::Internals::replayMissedCalls() {
    std::unique_lock<std::mutex> lock(delegateMutex);
    while (!missed.empty() && delegate != nullptr) {
        MissedCall next = std::move(missed.front());
        missed.pop_front();
        if (next.kind == CallKind::TransportError)
            missedTransportError = false;
        else if (next.kind == CallKind::Disconnect)
            missedDisconnect = false;
        OpenAIWebSocketClientDelegate* target = delegate;
        ++delegateCallsInFlight;
        lock.unlock();
        {
            CallScope scope(*this);
            scope.delegateCall = true;
            next.call(*target);
        }
        lock.lock();
        --delegateCallsInFlight;
        delegateIdle.notify_all();
    }
    replaying = false;
    delegateIdle.notify_all();
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
        onMessage(std::move(data), isText);
    };
    webSocketClient->onCloseHandler = [this] { onClose(); };
    webSocketClient->onErrorHandler = [this](const std::string message) { onTransportError(message); };
}

void OpenAIWebSocketClient::Internals::onOpen() {
    CallScope scope(*this);
    logDebug("[OpenAIWebSocketClient] WebSocket connection opened.");
}

void OpenAIWebSocketClient::Internals::onMessage(std::vector<uint8_t>&& data, bool isText) {
    CallScope scope(*this);
    if (!isText) {
        Logger::error("[OpenAIWebSocketClient] Received non-text message.");
        return;
    }
    if (std::optional<EventValue> message = eventParser->parse(data))
        handleEvent(*message, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    else
        Logger::error("[OpenAIWebSocketClient] Received unparseable JSON, dropping frame.");
    eventParser->release();
}

void OpenAIWebSocketClient::Internals::onClose() {
    CallScope scope(*this);
    logDebug("[OpenAIWebSocketClient] WebSocket connection closed.");
    endConnection();
}

void OpenAIWebSocketClient::Internals::onTransportError(const std::string& message) {
    CallScope scope(*this);
    Logger::error("[OpenAIWebSocketClient] WebSocket connection error: " + message);
    auto report = [message](OpenAIWebSocketClientDelegate& d) { d.onError("websocket_error", "", message); };
    deliver(CallKind::TransportError, 0, report, [&] { return DelegateCall(report); });
    endConnection();
}

void OpenAIWebSocketClient::Internals::endConnection() {
    isConnected.store(false);
    hasActiveResponse.store(false);
    replaceSession(RealtimeSession());
    auto report = [this](OpenAIWebSocketClientDelegate& d) {
        if (!disconnectReported.exchange(true))
            d.onSessionDisconnected();
    };
    deliver(CallKind::Disconnect, 0, report, [&] { return DelegateCall(report); });
}

void OpenAIWebSocketClient::Internals::setLargeMessageLimits(size_t directLimit, size_t holdOutMinimum) {
    eventParser->directLimit = directLimit;
    eventParser->holdOutMinimum = holdOutMinimum;
}

// ---------------------------------------------------------------------------
// Incoming events
//
// Every member is read before the delegate hears of the event, so that a
// message found invalid halfway makes no call; state changed before that
// point stays changed. Log lines that carry text from the message are only
// built when they will be written: a transcript may be megabytes long.

void OpenAIWebSocketClient::Internals::handleEvent(const EventValue& message, std::string_view text) {
    using D = OpenAIWebSocketClientDelegate;
    try {
        const std::string type = message.string("type");

        if (type == "session.created" || type == "session.updated") {
            const EventValue sessionJson = message.member("session");
            if (!sessionJson.isObject())
                throw EventError("\"session\" is not an object");
            if (type == "session.created") {
                if (debugEnabled())
                    Logger::debug("[OpenAIWebSocketClient] Received session.created:\n" + printed(text, 2));
                RealtimeSession fresh;
                fresh.updateFromJson(sessionJson);
                replaceSession(std::move(fresh));
                isConnected.store(true);
                notify(&D::onSessionCreated);
            } else {
                if (infoEnabled())
                    Logger::info("[OpenAIWebSocketClient] Received session.updated:\n" + printed(text, 2));
                RealtimeSession merged = getSession();
                merged.updateFromJson(sessionJson);
                replaceSession(std::move(merged));
            }
        } else if (type == "input_audio_buffer.speech_started") {
            logDebug("[OpenAIWebSocketClient] Speech started.");
            notify(&D::onInputAudioSpeechStarted);
        } else if (type == "input_audio_buffer.speech_stopped") {
            logDebug("[OpenAIWebSocketClient] Speech stopped.");
        } else if (type == "input_audio_buffer.committed") {
            logDebug("[OpenAIWebSocketClient] Audio buffer committed.");
        } else if (type == "conversation.item.created") {
            const EventValue item = message.member("item");
            const std::string itemType = item.string("type");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] Conversation item created with type: " + itemType);
            if (itemType == "message") {
                item.member("content").forEachElement([](const EventValue& element) {
                    const std::string elementType = element.string("type");
                    if (elementType == "input_text") {
                        const std::string userText = element.string("text");
                        if (debugEnabled())
                            Logger::debug("[OpenAIWebSocketClient] OpenAI received user message: " + userText +
                                          " (type: " + elementType + ")");
                    } else if (debugEnabled()) {
                        Logger::debug("[OpenAIWebSocketClient] OpenAI received message type: " + elementType);
                    }
                });
            }
        } else if (type == "conversation.item.input_audio_transcription.delta") {
            const std::string delta = message.stringOr("delta", "");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] Input audio transcription delta: " + delta);
            if (!delta.empty())
                notify(&D::onInputAudioTranscriptionDelta, delta);
        } else if (type == "conversation.item.input_audio_transcription.completed") {
            const std::string transcript = message.string("transcript");
            logDebug("[OpenAIWebSocketClient] Conversation item input audio transcription completed.");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] OpenAI transcribed input audio: " + transcript);
            notify(&D::onInputAudioTranscription, transcript);
        } else if (type == "response.created") {
            logDebug("[OpenAIWebSocketClient] Response created.");
            hasActiveResponse.store(true);
            notify(&D::onResponseCreated);
        } else if (type == "response.output_item.added") {
            logDebug("[OpenAIWebSocketClient] Response output item added.");
        } else if (type == "response.content_part.added") {
            logDebug("[OpenAIWebSocketClient] Response content part added.");
        } else if (type == "response.output_audio_transcript.delta") {
            const std::string delta = message.stringOr("delta", "");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] Response audio transcript delta: " + delta);
            if (!delta.empty())
                notify(&D::onResponseAudioTranscriptionDelta, delta);
        } else if (type == "response.output_audio.delta") {
            const std::string itemId = message.stringOr("item_id", "");
            const std::optional<EventValue> index = message.find("content_index");
            const int contentIndex = index ? index->toInt("content_index") : 0;
            message.withString("delta", [&](std::string_view delta) {
                logDebug("[OpenAIWebSocketClient] Response audio delta.");
                onResponseAudioReceived(delta, itemId, contentIndex);
            });
        } else if (type == "response.output_audio.done") {
            logDebug("[OpenAIWebSocketClient] Response audio done.");
        } else if (type == "response.output_audio_transcript.done") {
            const std::string transcript = message.string("transcript");
            logDebug("[OpenAIWebSocketClient] Response audio transcript done.");
            if (debugEnabled())
                Logger::debug("[OpenAIWebSocketClient] OpenAI responded with transcript: " + transcript);
            notify(&D::onResponseAudioTranscription, transcript);
        } else if (type == "response.output_text.delta") {
            logDebug("[OpenAIWebSocketClient] Response text delta.");
        } else if (type == "response.content_part.done") {
            logDebug("[OpenAIWebSocketClient] Response content part done.");
        } else if (type == "response.output_item.done") {
            const EventValue item = message.member("item");
            const std::optional<EventValue> itemType = item.find("type");
            if (itemType && itemType->isString() && itemType->text("type") == "function_call") {
                const std::string callId = item.stringOr("call_id", "");
                const std::string name = item.stringOr("name", "");
                const std::string arguments = item.stringOr("arguments", "");
                if (debugEnabled())
                    Logger::debug("[OpenAIWebSocketClient] Tool call: " + name + " (" + callId + ").");
                notify(&D::onToolCall, callId, name, arguments);
            } else {
                logDebug("[OpenAIWebSocketClient] Response output item done.");
            }
        } else if (type == "response.done") {
            logDebug("[OpenAIWebSocketClient] Response done.");
            hasActiveResponse.store(false);
            const std::string status = message.member("response").string("status");
            notify(&D::onResponseDone, status);
        } else if (type == "rate_limits.updated") {
            logDebug("[OpenAIWebSocketClient] Rate limit updated.");
        } else if (type == "conversation.item.input_audio_transcription.failed") {
            const std::string itemId = message.stringOr("item_id", "");
            std::string messageText = "unknown";
            if (const std::optional<EventValue> error = message.find("error"))
                messageText = error->stringOr("message", "unknown");
            Logger::error("[OpenAIWebSocketClient] Input audio transcription failed for item " + itemId + ": " +
                          messageText);
            notify(&D::onError, "transcription_failed", "", messageText);
        } else if (type == "error") {
            onErrorReceived(message.member("error"));
        } else if (debugEnabled()) {
            Logger::debug("[OpenAIWebSocketClient] Unknown message type: " + type);
        }
    } catch (const std::exception& e) {
        Logger::error(std::string("[OpenAIWebSocketClient] Received invalid JSON object: ") + e.what());
        if (debugEnabled())
            Logger::debug("[OpenAIWebSocketClient] Received JSON: " + printed(text, -1));
    }
}

void OpenAIWebSocketClient::Internals::onErrorReceived(const EventValue& error) {
    const std::string type = error.string("type");
    std::string code = "unknown";
    const std::optional<EventValue> codeValue = error.find("code");
    if (codeValue && codeValue->isString())
        code = codeValue->text("code");
    const std::string text = error.string("message");
    Logger::error("[OpenAIWebSocketClient] Error received - Type: " + type + ", Code: " + code + ", Message: " + text);
    notify(&OpenAIWebSocketClientDelegate::onError, type, code, text);
}

void OpenAIWebSocketClient::Internals::onResponseAudioReceived(std::string_view base64Audio,
                                                               const std::string& itemId, int contentIndex) {
    // Decoded straight into the samples: the wire is little-endian 16-bit,
    // as is every platform the library targets; an odd last byte is dropped.
    const size_t bytes = base64::Base64::decodedSize(base64Audio.data(), base64Audio.size());
    std::vector<int16_t> samples((bytes + 1) / 2);
    base64::Base64::decode(base64Audio.data(), base64Audio.size(), reinterpret_cast<uint8_t*>(samples.data()));
    samples.resize(bytes / 2);
    notify(&OpenAIWebSocketClientDelegate::onResponseAudioReceived, samples, itemId, contentIndex);
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
    notify(&OpenAIWebSocketClientDelegate::onError, "send_failed", "", "Cannot send " + type + " while disconnected.");
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
            notify(&OpenAIWebSocketClientDelegate::onError, "invalid_tools", "", "tools is not valid JSON.");
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
