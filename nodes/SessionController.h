#pragma once

#include "OrvantaSDK/OVAnyMap.h"
#include "nodes/SessionWorker.h"
#include "realtime/OpenAIWebSocketClient.h"
#include "utils/TaskRunner.h"
#include "utils/Timer.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace orvanta::extensions::openai {

// How long one session attempt (token fetch, DNS, TCP, TLS, upgrade, up to
// the service's "session.created") may take before it is given up and
// retried. A set-up over a lossy mobile link takes seconds: SYN and TLS
// retransmissions alone wait 1 s, 3 s, 7 s. The token request's own connect
// phase is allowed 15 s for the same reason, so the attempt as a whole gets
// as much; a transport phase that stalls ends earlier by its own timeout.
inline constexpr std::chrono::milliseconds kSessionAttemptDeadline{15000};

// Internal to the library. Production code never changes these settings:
// the setter exists for the library's tests, which shorten the delays and
// wrap the transport. Read when a node is created. Any thread.
struct SessionSettings {
    std::chrono::milliseconds attemptDeadline = kSessionAttemptDeadline;
    std::chrono::milliseconds reconnectDelay{3000}; // after a lost session or a failed attempt
    std::chrono::milliseconds updateDelay{500};     // coalescing of property changes
    // Makes each protocol client (key or token, model); empty: the real one.
    std::function<std::unique_ptr<OpenAIWebSocketClient>(const std::string&, const std::string&)> makeClient;
};
SessionSettings getSessionSettings();
void setSessionSettings(const SessionSettings& settings);
void resetSessionSettings();

// The session lifecycle both nodes share: starting a session with a key or an
// ephemeral token, replacing the protocol client and the audio sender,
// coalesced session updates, and the 3-second reconnect.
//
// Attempts. Each start (the constructor's, the graph's, a "voice" change, a
// "resetSession", a reconnect) begins an attempt, which holds the reconnect
// timer as its deadline until the service's "session.created" arrives. An
// attempt that misses the deadline is abandoned (its client dropped) and
// retried after the reconnect delay. Until then no automatic restart replaces
// it: the sender leaves a client that is still opening alone, and only the
// latest token request's result acts. Explicit starts replace an attempt at
// once.
//
// Thread design. Host threads, the audio thread, the sender, the two timers,
// the token callback and every client's I/O thread reach the node. To keep
// them from waiting on each other in a cycle:
// - Everything that replaces or destroys a client, and every lifecycle
//   callback and event, runs on the node's own SessionWorker. Timers, the
//   token callback and the clients' I/O threads only post to it.
// - Each client talks to the node through a Relay that knows the client's
//   generation. Callbacks of a client that is no longer current are dropped,
//   and detaching a relay waits for a call in flight, so after a replacement
//   the old client can no longer reach the node.
// - Other threads use the current client through a shared snapshot
//   (client()). Whoever drops the last reference, the client itself is
//   destroyed on the worker, never on its own I/O thread.
// - A listener may destroy the node while an event is being emitted on the
//   worker. destroy() then shuts everything down from the worker and frees
//   the controller only once the worker's task has returned; the controller's
//   code checks `shuttingDown` after every event it emits, and the nodes'
//   delegate methods emit last.
class SessionController {
public:
    // The node's log texts (each complete, with the class tag).
    struct Texts {
        std::string startingSession;
        std::string fetchingToken;
        std::string tokenObtained;
        std::string tokenFailedPrefix; // followed by the failure message
        std::string tokenRetry;
        std::string attemptTimedOut;
        std::string sessionWithoutId;
        std::string sendThrewPrefix; // followed by the exception's text
    };

    // What the owning node supplies.
    struct Hooks {
        OpenAIWebSocketClientDelegate* delegate = nullptr; // the node
        // Delegate calls run inline on the client's I/O thread when listed
        // here; all others are posted to the worker.
        bool inlineResponseAudio = false;
        bool inlineResponseCreated = false;
        bool inlineSpeechStarted = false;
        bool inlineResponseDone = false;
        std::function<void(const std::string&, const OVAnyMap&)> emitEvent;
        std::function<std::string()> tokenSessionConfig; // JSON text for the token request
        std::function<void()> updateSession;             // sends the node's parameters now
        std::function<void()> sendAudio;                 // the sender task body
        // The sender runs at least this often, and at once whenever this
        // signal (which outlives every sender) is notified; a confirmed
        // session notifies it so that audio held while connecting goes out.
        unsigned long long senderPeriodMs = 200;
        async::WakeSignal* senderWakeup = nullptr;
    };

    SessionController(std::string apiKey, std::string model, Texts texts, Hooks hooks);
    ~SessionController(); // shutdown()

    SessionController(const SessionController&) = delete;
    SessionController& operator=(const SessionController&) = delete;

    // The node's destructor, on any thread, its own listeners' included:
    // shuts the controller down and frees it (after the current task when
    // called on the worker).
    static void destroy(std::unique_ptr<SessionController>& controller);

    // Any thread: begin a new session attempt on the worker.
    void start();

    // Any thread: the current client, or null. Keep the snapshot only for the
    // duration of a call.
    std::shared_ptr<OpenAIWebSocketClient> client() const;

    // Any thread: one updateSession after the update delay from the first
    // request of a burst; a request made while one is being sent gets its own.
    void scheduleSessionUpdate();
    // Any thread: run updateSession on the worker.
    void requestSessionUpdate();

    // Sender thread: arm the reconnect unless one is pending or the current
    // client is still opening (logs `debugText` when it arms).
    void reconnectUnlessPending(const std::string& debugText);
    // Worker: arm the reconnect (a later call replaces an earlier one).
    void reconnectLater();
    // Worker: drop a pending reconnect.
    void cancelReconnect();

    // Worker, from the node's delegate callbacks, after the node's own log
    // line: a confirmed session drops the attempt's deadline, gets the node's
    // parameters and is announced (one without an id is restarted instead);
    // a lost one is announced and reopened after the reconnect delay.
    void sessionCreated();
    void sessionDisconnected();

    // Any thread: run `task` on the worker (dropped once shutdown began).
    void post(std::function<void()> task);
    bool onWorkerThread() const { return worker.isCurrentThread(); }

    // First thing in the node's destructor (through destroy()): after it
    // returns no thread of this controller, of a client or of a token request
    // calls the node any more. Idempotent.
    void shutdown();

private:
    class Relay;
    struct CancelToken {
        std::mutex mutex;
        bool cancelled = false;
    };
    struct Slot; // a client with its relay
    enum class Restart { AfterLoss, IfStillDown, TokenRetry };

    void runStart();
    void armRestart(Restart kind);
    void abandonAttempt();
    void startSession(const std::string& apiKeyOrToken);
    void onTokenResult(uint64_t forAttempt, bool ok, const std::string& tokenOrMessage);
    void runSender();
    void dropClient();
    void stopSender();
    bool emit(const char* name, const OVAnyMap& payload); // false: the node is gone
    bool reportError(const std::string& type, const std::string& message);
    void retire(Slot* slot);
    void postIfCurrent(uint64_t generation, std::function<void()> task);

    const std::string apiKey;
    const std::string model;
    const Texts texts;
    const Hooks hooks;
    const SessionSettings settings;

    SessionWorker worker;
    std::shared_ptr<CancelToken> cancelToken = std::make_shared<CancelToken>();
    std::atomic<bool> shuttingDown{false};

    mutable std::mutex clientMutex; // guards `current` and `generation` only
    std::shared_ptr<Slot> current;
    uint64_t generation = 0;
    std::atomic<uint64_t> currentGeneration{0};

    std::unique_ptr<async::TaskRunner> sender; // worker and shutdown only
    uint64_t attempt = 0;                      // worker only; bumped when one begins or is given up
    bool awaitingSession = false;              // worker only; the attempt has not ended yet

    // While an attempt is under way: its deadline. Otherwise: the delayed
    // restart after a loss or a failure.
    Timer reconnectTimer;
    Timer sessionUpdateTimer;
    std::atomic<uint64_t> reconnectTicket{0};  // bumped to void posted reconnects
    std::atomic<bool> reconnectQueued{false};  // a reconnect was handed to the worker
    std::atomic<bool> startQueued{false};      // a start() waits on the worker
    std::atomic<bool> updateScheduled{false};  // the update timer will request an update
    std::atomic<bool> updateQueued{false};     // an update waits on the worker
};

} // namespace orvanta::extensions::openai
