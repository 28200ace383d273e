#include "nodes/SessionController.h"

#include "OrvantaSDK/Logger.h"
#include "token/OpenAITokenProvider.h"

#include <exception>
#include <utility>

namespace orvanta::extensions::openai {

namespace {
std::mutex settingsMutex;
SessionSettings& currentSettings() {
    static SessionSettings settings;
    return settings;
}

int toMs(std::chrono::milliseconds ms) { return static_cast<int>(ms.count()); }
} // namespace

SessionSettings getSessionSettings() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return currentSettings();
}

void setSessionSettings(const SessionSettings& settings) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    currentSettings() = settings;
}

void resetSessionSettings() { setSessionSettings(SessionSettings()); }

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

    // Neither confirmed nor ended yet: the connection is still being opened.
    bool stillOpening() const { return !created.load() && !ended.load(); }

    void onSessionCreated() override {
        created.store(true);
        later([](OpenAIWebSocketClientDelegate& d) { d.onSessionCreated(); });
    }
    void onSessionDisconnected() override {
        ended.store(true);
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
    std::atomic<bool> created{false};
    std::atomic<bool> ended{false};
};

struct SessionController::Slot {
    std::unique_ptr<Relay> relay;
    std::unique_ptr<OpenAIWebSocketClient> client;
    uint64_t attempt = 0; // the attempt that made it

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
    : apiKey(std::move(key)), model(std::move(modelName)), texts(std::move(logTexts)), hooks(std::move(nodeHooks)),
      settings(getSessionSettings()) {}

SessionController::~SessionController() { shutdown(); }

void SessionController::destroy(std::unique_ptr<SessionController>& controller) {
    if (!controller)
        return;
    controller->shutdown(); // in place: the sender still reaches it until then
    if (controller->worker.isCurrentThread()) {
        // A listener is destroying the node from inside an event: the code
        // that emitted it is still on this thread's stack and returns
        // through the controller, so the controller goes once it has.
        SessionController* raw = controller.release();
        raw->worker.destroyAfterTask([raw] { delete raw; });
        return;
    }
    controller.reset();
}

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

bool SessionController::emit(const char* name, const OVAnyMap& payload) {
    hooks.emitEvent(name, payload);
    return !shuttingDown.load();
}

bool SessionController::reportError(const std::string& type, const std::string& message) {
    hooks.delegate->onError(type, "", message);
    return !shuttingDown.load();
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
    if (!emit("sessionStarting", OVAnyMap()))
        return;
    stopSender();

    // The new attempt's deadline takes the reconnect timer's place; a restart
    // already handed to the worker is void.
    const uint64_t thisAttempt = ++attempt;
    awaitingSession = true;
    const uint64_t ticket = reconnectTicket.fetch_add(1) + 1;
    reconnectTimer.start(
        [this, ticket, thisAttempt] {
            reconnectQueued.store(true);
            post([this, ticket, thisAttempt] {
                reconnectQueued.store(false);
                if (reconnectTicket.load() == ticket && attempt == thisAttempt)
                    abandonAttempt();
            });
        },
        toMs(settings.attemptDeadline));

    if (!apiKey.empty()) {
        startSession(apiKey);
        return;
    }

    orvanta::Logger::debug(texts.fetchingToken);
    std::shared_ptr<CancelToken> token = cancelToken;
    try {
        OpenAITokenProvider::shared().getToken(
            [this, token, thisAttempt](const Result<std::string>& result) {
                // Held for the whole callback: the node's destructor waits
                // here, and after it has set the flag nothing reaches the node.
                std::lock_guard<std::mutex> lock(token->mutex);
                if (token->cancelled)
                    return;
                if (result.hasValue())
                    post([this, thisAttempt, value = result.getValue()] { onTokenResult(thisAttempt, true, value); });
                else
                    post([this, thisAttempt, message = result.getError().getMessage()] {
                        onTokenResult(thisAttempt, false, message);
                    });
            },
            hooks.tokenSessionConfig());
    } catch (const std::exception& e) {
        // The provider could not even be set up (missing credentials): the
        // same road as a failed request, so the node retries.
        onTokenResult(thisAttempt, false, e.what());
    }
}

void SessionController::abandonAttempt() {
    orvanta::Logger::error(texts.attemptTimedOut);
    ++attempt; // a token that still arrives for it starts nothing
    awaitingSession = false;
    stopSender();
    dropClient();
    reconnectLater();
}

void SessionController::onTokenResult(uint64_t forAttempt, bool ok, const std::string& tokenOrMessage) {
    // Requests overlap (a start during a slow fetch); only the latest one's
    // answer may act, or a stale failure would restart a healthy session.
    if (forAttempt != attempt) {
        orvanta::Logger::debug("[SessionController] Ignored the answer to a superseded token request.");
        return;
    }
    if (ok) {
        orvanta::Logger::debug(texts.tokenObtained);
        startSession(tokenOrMessage);
        return;
    }
    orvanta::Logger::error(texts.tokenFailedPrefix + tokenOrMessage);
    awaitingSession = false;
    if (!reportError("token_error", tokenOrMessage))
        return;
    armRestart(Restart::TokenRetry);
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
    slot->attempt = attempt;
    {
        // The generation goes live before the client exists, so its first
        // callbacks already count as current.
        std::lock_guard<std::mutex> lock(clientMutex);
        generation = gen;
        currentGeneration.store(gen);
        current.reset();
    }
    try {
        slot->client = settings.makeClient ? settings.makeClient(apiKeyOrToken, model)
                                           : std::make_unique<OpenAIWebSocketClient>(apiKeyOrToken, model);
    } catch (const std::exception& e) {
        // A transport that cannot even be built would leave the node without
        // a session for good; report it like a failed connection and retry.
        orvanta::Logger::error(std::string("[SessionController] Failed to create the OpenAI client: ") + e.what());
        awaitingSession = false;
        previous.reset();
        if (reportError("websocket_error", e.what()))
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

    sender = std::make_unique<async::TaskRunner>(hooks.senderPeriodMs, [this] { runSender(); }, hooks.senderWakeup);
    sender->start();
}

void SessionController::runSender() {
    // A transport's send may throw (no entropy for a frame mask, no memory):
    // that is a failed append, not the end of the sender thread.
    std::string what;
    try {
        hooks.sendAudio();
        return;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
        what = "unknown exception";
    }
    orvanta::Logger::error(texts.sendThrewPrefix + what);
    if (!shuttingDown.load() && !reconnectTimer.isRunning() && !reconnectQueued.load())
        armRestart(Restart::AfterLoss);
}

void SessionController::dropClient() {
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        slot.swap(current);
        generation += 1; // whatever the dropped client still reports is stale
        currentGeneration.store(generation);
    }
    if (slot) {
        slot->relay->detach();
        slot->client->setDelegate(nullptr);
    }
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
    if (shuttingDown.load() || updateScheduled.exchange(true))
        return;
    try {
        sessionUpdateTimer.start(
            [this] {
                // Cleared before the update is queued (and the update reads
                // the parameters only when it runs), so a change made from
                // here on either rides on this update or schedules the next.
                updateScheduled.store(false);
                requestSessionUpdate();
            },
            toMs(settings.updateDelay));
    } catch (...) {
        updateScheduled.store(false);
        throw;
    }
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

void SessionController::reconnectLater() { armRestart(Restart::AfterLoss); }

void SessionController::armRestart(Restart kind) {
    if (shuttingDown.load())
        return;
    const uint64_t ticket = reconnectTicket.load();
    reconnectTimer.start(
        [this, ticket, kind] {
            reconnectQueued.store(true);
            post([this, ticket, kind] {
                reconnectQueued.store(false);
                if (reconnectTicket.load() != ticket)
                    return;
                if (kind == Restart::IfStillDown) {
                    // The sender may have seen the session down just before a
                    // new one came up: a session that is up by now stays.
                    auto c = client();
                    if (c && c->hasActiveSession())
                        return;
                }
                if (kind == Restart::TokenRetry)
                    orvanta::Logger::debug(texts.tokenRetry);
                runStart();
            });
        },
        toMs(settings.reconnectDelay));
}

void SessionController::reconnectUnlessPending(const std::string& debugText) {
    if (shuttingDown.load() || reconnectTimer.isRunning() || reconnectQueued.load())
        return;
    {
        // A client still opening its connection is its attempt's to give
        // up on, by the deadline; a restart from here would only cut short
        // a slow set-up.
        std::lock_guard<std::mutex> lock(clientMutex);
        if (current && current->relay->stillOpening())
            return;
    }
    orvanta::Logger::debug(debugText);
    armRestart(Restart::IfStillDown);
}

void SessionController::cancelReconnect() {
    reconnectTicket.fetch_add(1);
    reconnectTimer.stop();
}

void SessionController::sessionCreated() {
    auto c = client();
    if (c && c->getIsConnected() && !c->hasActiveSession()) {
        // Every request on a session without an id is refused ("No active
        // session"): restart rather than sit on it.
        orvanta::Logger::error(texts.sessionWithoutId);
        awaitingSession = false;
        reconnectLater();
        return;
    }
    c.reset();
    awaitingSession = false;
    cancelReconnect();
    hooks.updateSession();
    if (shuttingDown.load())
        return; // the update reported an error whose listener destroyed the node
    if (hooks.senderWakeup)
        hooks.senderWakeup->notify();
    emit("sessionCreated", OVAnyMap());
}

void SessionController::sessionDisconnected() {
    if (!emit("sessionDisconnected", OVAnyMap()))
        return;
    if (awaitingSession) {
        std::lock_guard<std::mutex> lock(clientMutex);
        // The previous session ended while the new attempt still fetches its
        // token: that attempt's deadline stands.
        if (current && current->attempt != attempt)
            return;
    }
    awaitingSession = false;
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
    worker.stop(); // no further lifecycle task starts after this
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
