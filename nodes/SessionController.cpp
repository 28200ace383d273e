#include "nodes/SessionController.h"

#include "OrvantaSDK/Logger.h"
#include "token/OpenAITokenProvider.h"

#include <exception>

namespace orvanta::extensions::openai {

namespace {
constexpr int reconnectDelayMs = 3000;
constexpr int sessionUpdateDelayMs = 500;
} // namespace

// The delegate a client actually talks to. It forwards to the node, either
// inline (audio, which must keep its order with the ring buffer) or through
// the worker, and only while its client is the current one.
class SessionController::Relay final : public OpenAIWebSocketClientDelegate {
public:
    Relay(SessionController& controller, uint64_t generation) : owner(controller), gen(generation) {}

    // After detach() returns no call of this relay reaches the node.
    void detach() {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        attached = false;
    }

    void onSessionCreated() override {
        later([](OpenAIWebSocketClientDelegate& d) { d.onSessionCreated(); });
    }
    void onSessionDisconnected() override {
        later([](OpenAIWebSocketClientDelegate& d) { d.onSessionDisconnected(); });
    }
    void onInputAudioTranscriptionDelta(const std::string& delta) override {
        later([delta](OpenAIWebSocketClientDelegate& d) { d.onInputAudioTranscriptionDelta(delta); });
    }
    void onInputAudioTranscription(const std::string& transcript) override {
        later([transcript](OpenAIWebSocketClientDelegate& d) { d.onInputAudioTranscription(transcript); });
    }
    void onError(const std::string& type, const std::string& code, const std::string& message) override {
        later([type, code, message](OpenAIWebSocketClientDelegate& d) { d.onError(type, code, message); });
    }
    void onResponseCreated() override {
        if (owner.hooks.inlineResponseCreated)
            now([](OpenAIWebSocketClientDelegate& d) { d.onResponseCreated(); });
        else
            later([](OpenAIWebSocketClientDelegate& d) { d.onResponseCreated(); });
    }
    void onResponseDone(const std::string& status) override {
        if (owner.hooks.inlineResponseDone)
            now([&](OpenAIWebSocketClientDelegate& d) { d.onResponseDone(status); });
        else
            later([status](OpenAIWebSocketClientDelegate& d) { d.onResponseDone(status); });
    }
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId,
                                 int contentIndex) override {
        if (owner.hooks.inlineResponseAudio)
            now([&](OpenAIWebSocketClientDelegate& d) { d.onResponseAudioReceived(samples, itemId, contentIndex); });
        else
            later([samples, itemId, contentIndex](OpenAIWebSocketClientDelegate& d) {
                d.onResponseAudioReceived(samples, itemId, contentIndex);
            });
    }
    void onInputAudioSpeechStarted() override {
        if (owner.hooks.inlineSpeechStarted)
            now([](OpenAIWebSocketClientDelegate& d) { d.onInputAudioSpeechStarted(); });
        else
            later([](OpenAIWebSocketClientDelegate& d) { d.onInputAudioSpeechStarted(); });
    }
    void onResponseAudioTranscriptionDelta(const std::string& delta) override {
        later([delta](OpenAIWebSocketClientDelegate& d) { d.onResponseAudioTranscriptionDelta(delta); });
    }
    void onResponseAudioTranscription(const std::string& transcript) override {
        later([transcript](OpenAIWebSocketClientDelegate& d) { d.onResponseAudioTranscription(transcript); });
    }
    void onToolCall(const std::string& callId, const std::string& name, const std::string& argumentsJson) override {
        later([callId, name, argumentsJson](OpenAIWebSocketClientDelegate& d) {
            d.onToolCall(callId, name, argumentsJson);
        });
    }

private:
    template <class F> void now(F&& call) {
        // Recursive: a send failure inside an inline call reports onError
        // through this same relay on this same thread.
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!attached || owner.shuttingDown.load() || owner.currentGeneration.load() != gen)
            return;
        call(*owner.hooks.delegate);
    }

    template <class F> void later(F&& call) {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!attached)
            return;
        OpenAIWebSocketClientDelegate* node = owner.hooks.delegate;
        owner.postIfCurrent(gen, [node, call = std::forward<F>(call)]() mutable { call(*node); });
    }

    SessionController& owner;
    const uint64_t gen;
    std::recursive_mutex mutex;
    bool attached = true;
};

struct SessionController::Slot {
    std::unique_ptr<Relay> relay;
    std::unique_ptr<OpenAIWebSocketClient> client;

    ~Slot() {
        if (relay)
            relay->detach();
        if (client)
            client->setDelegate(nullptr);
        client.reset(); // joins the client's I/O thread
        relay.reset();
    }
};

SessionController::SessionController(std::string key, std::string modelName, Texts logTexts, Hooks nodeHooks)
    : apiKey(std::move(key)), model(std::move(modelName)), texts(std::move(logTexts)), hooks(std::move(nodeHooks)) {}

SessionController::~SessionController() { shutdown(); }

void SessionController::post(std::function<void()> task) {
    if (shuttingDown.load())
        return;
    worker.post(std::move(task));
}

void SessionController::postIfCurrent(uint64_t gen, std::function<void()> task) {
    post([this, gen, task = std::move(task)] {
        if (currentGeneration.load() == gen)
            task();
    });
}

void SessionController::start() {
    // Requests made before the worker gets to the first one make one attempt:
    // a burst of voice changes or resets must not queue a session each.
    if (startQueued.exchange(true))
        return;
    post([this] {
        startQueued.store(false);
        runStart();
    });
}

std::shared_ptr<OpenAIWebSocketClient> SessionController::client() const {
    std::lock_guard<std::mutex> lock(clientMutex);
    if (!current)
        return nullptr;
    return std::shared_ptr<OpenAIWebSocketClient>(current, current->client.get());
}

void SessionController::runStart() {
    orvanta::Logger::info(texts.startingSession);
    hooks.emitEvent("sessionStarting", OVAnyMap());
    stopSender();

    if (!apiKey.empty()) {
        startSession(apiKey);
        return;
    }

    orvanta::Logger::debug(texts.fetchingToken);
    std::shared_ptr<CancelToken> token = cancelToken;
    try {
        OpenAITokenProvider::shared().getToken(
            [this, token](const Result<std::string>& result) {
                // Held for the whole callback: the node's destructor waits
                // here, and after it has set the flag nothing reaches the node.
                std::lock_guard<std::mutex> lock(token->mutex);
                if (token->cancelled)
                    return;
                if (result.hasValue())
                    post([this, value = result.getValue()] { onTokenResult(true, value); });
                else
                    post([this, message = result.getError().getMessage()] { onTokenResult(false, message); });
            },
            hooks.tokenSessionConfig());
    } catch (const std::exception& e) {
        // The provider could not even be set up (missing credentials): the
        // same road as a failed request, so the node retries.
        onTokenResult(false, e.what());
    }
}

void SessionController::onTokenResult(bool ok, const std::string& tokenOrMessage) {
    if (ok) {
        orvanta::Logger::debug(texts.tokenObtained);
        startSession(tokenOrMessage);
        return;
    }
    orvanta::Logger::error(texts.tokenFailedPrefix + tokenOrMessage);
    hooks.delegate->onError("token_error", "", tokenOrMessage);
    const uint64_t ticket = reconnectTicket.load();
    reconnectTimer.start(
        [this, ticket] {
            reconnectQueued.store(true);
            post([this, ticket] {
                reconnectQueued.store(false);
                if (reconnectTicket.load() != ticket)
                    return;
                orvanta::Logger::debug(texts.tokenRetry);
                runStart();
            });
        },
        reconnectDelayMs);
}

void SessionController::startSession(const std::string& apiKeyOrToken) {
    std::shared_ptr<Slot> previous;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        previous = current;
        gen = generation + 1;
    }
    if (previous) {
        previous->relay->detach();
        previous->client->setDelegate(nullptr);
    }

    auto slot = std::shared_ptr<Slot>(new Slot, [this](Slot* s) { retire(s); });
    slot->relay = std::make_unique<Relay>(*this, gen);
    {
        // The generation goes live before the client exists, so its first
        // callbacks already count as current.
        std::lock_guard<std::mutex> lock(clientMutex);
        generation = gen;
        currentGeneration.store(gen);
        current.reset();
    }
    try {
        slot->client = std::make_unique<OpenAIWebSocketClient>(apiKeyOrToken, model);
    } catch (const std::exception& e) {
        // A transport that cannot even be built would leave the node without
        // a session for good; report it like a failed connection and retry.
        orvanta::Logger::error(std::string("[SessionController] Failed to create the OpenAI client: ") + e.what());
        hooks.delegate->onError("websocket_error", "", e.what());
        previous.reset();
        reconnectLater();
        return;
    }
    slot->client->setDelegate(slot->relay.get());
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        current = slot;
    }
    slot.reset();
    previous.reset(); // the old client ends here (or where its last user lets go)

    sender = std::make_unique<async::TaskRunner>(hooks.senderPeriodMs, hooks.sendAudio, hooks.senderWakeup);
    sender->start();
}

void SessionController::retire(Slot* slot) {
    // Called wherever the last reference went: hand the slot to the worker so
    // that a client is never destroyed on its own I/O thread. While shutting
    // down the worker is gone and the caller is the node's destructor.
    if (!shuttingDown.load() && !worker.isCurrentThread()) {
        std::shared_ptr<Slot> owned(slot); // the worker drops it after the task
        if (worker.post([owned] {}))
            return;
        // Posting refused: we are shutting down. The destructor's thread
        // ends it below.
        return;
    }
    delete slot;
}

void SessionController::stopSender() {
    if (sender) {
        sender->stop();
        sender.reset();
    }
}

void SessionController::scheduleSessionUpdate() {
    if (shuttingDown.load() || sessionUpdateTimer.isRunning())
        return;
    sessionUpdateTimer.start([this] { requestSessionUpdate(); }, sessionUpdateDelayMs);
}

void SessionController::requestSessionUpdate() {
    // An update reads the parameters when it runs, so one queued is enough.
    if (updateQueued.exchange(true))
        return;
    post([this] {
        updateQueued.store(false);
        hooks.updateSession();
    });
}

void SessionController::reconnectLater() { armReconnect(false); }

void SessionController::armReconnect(bool onlyIfStillDown) {
    if (shuttingDown.load())
        return;
    const uint64_t ticket = reconnectTicket.load();
    reconnectTimer.start(
        [this, ticket, onlyIfStillDown] {
            reconnectQueued.store(true);
            post([this, ticket, onlyIfStillDown] {
                reconnectQueued.store(false);
                if (reconnectTicket.load() != ticket)
                    return;
                if (onlyIfStillDown) {
                    // The sender may have seen the client still connecting
                    // just before its session came up: a session that is up
                    // by now needs no restart.
                    auto c = client();
                    if (c && c->getIsConnected())
                        return;
                }
                runStart();
            });
        },
        reconnectDelayMs);
}

void SessionController::reconnectUnlessPending(const std::string& debugText) {
    if (shuttingDown.load() || reconnectTimer.isRunning() || reconnectQueued.load())
        return;
    orvanta::Logger::debug(debugText);
    armReconnect(true);
}

void SessionController::cancelReconnect() {
    reconnectTicket.fetch_add(1);
    reconnectTimer.stop();
}

void SessionController::sessionCreated() {
    cancelReconnect();
    hooks.updateSession();
    if (hooks.senderWakeup)
        hooks.senderWakeup->notify();
    hooks.emitEvent("sessionCreated", OVAnyMap());
}

void SessionController::sessionDisconnected() {
    hooks.emitEvent("sessionDisconnected", OVAnyMap());
    reconnectLater();
}

void SessionController::shutdown() {
    {
        std::lock_guard<std::mutex> lock(cancelToken->mutex);
        if (cancelToken->cancelled)
            return; // already done
        cancelToken->cancelled = true;
    }
    shuttingDown.store(true);

    auto detachCurrent = [this] {
        std::shared_ptr<Slot> slot;
        {
            std::lock_guard<std::mutex> lock(clientMutex);
            slot = current;
        }
        if (slot) {
            slot->relay->detach();
            slot->client->setDelegate(nullptr);
        }
    };
    detachCurrent();
    sessionUpdateTimer.stop();
    reconnectTimer.stop();
    worker.stop(); // no lifecycle work runs after this
    stopSender();
    // The worker or the sender may have armed a timer or made a client
    // before they stopped.
    sessionUpdateTimer.stop();
    reconnectTimer.stop();
    detachCurrent();
    std::shared_ptr<Slot> last;
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        last.swap(current);
    }
    last.reset();
}

} // namespace orvanta::extensions::openai
