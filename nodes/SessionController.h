#pragma once

#include "OrvantaSDK/OVAnyMap.h"
#include "nodes/SessionWorker.h"
#include "realtime/OpenAIWebSocketClient.h"
#include "utils/TaskRunner.h"
#include "utils/Timer.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace orvanta::extensions::openai {

// The session lifecycle both nodes share: starting a session with a key or an
// ephemeral token, replacing the protocol client and the audio sender,
// coalesced session updates, and the 3-second reconnect.
//
// Thread design. Host threads, the audio thread, the sender, the two timers,
// the token callback and every client's I/O thread reach the node. To keep
// them from waiting on each other in a cycle:
// - Everything that replaces or destroys a client, and every lifecycle
//   callback, runs on the node's own SessionWorker. Timers, the token
//   callback and the clients' I/O threads only post to it.
// - Each client talks to the node through a Relay that knows the client's
//   generation. Callbacks of a client that is no longer current are dropped,
//   and detaching a relay waits for a call in flight, so after a replacement
//   the old client can no longer reach the node.
// - Other threads use the current client through a shared snapshot
//   (client()). Whoever drops the last reference, the client itself is
//   destroyed on the worker, never on its own I/O thread.
class SessionController {
public:
    // The node's log texts (each complete, with the class tag).
    struct Texts {
        std::string startingSession;
        std::string fetchingToken;
        std::string tokenObtained;
        std::string tokenFailedPrefix; // followed by the failure message
        std::string tokenRetry;
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

    // Any thread: begin a new session attempt on the worker.
    void start();

    // Any thread: the current client, or null. Keep the snapshot only for the
    // duration of a call.
    std::shared_ptr<OpenAIWebSocketClient> client() const;

    // Any thread: one updateSession 500 ms from the first request of a burst.
    void scheduleSessionUpdate();
    // Any thread: run updateSession on the worker.
    void requestSessionUpdate();

    // Sender thread: arm the reconnect unless one is pending (logs `debugText`
    // when it arms).
    void reconnectUnlessPending(const std::string& debugText);
    // Worker: arm the reconnect (a later call replaces an earlier one).
    void reconnectLater();
    // Worker: drop a pending reconnect.
    void cancelReconnect();

    // Worker, from the node's delegate callbacks, after the node's own log
    // line: a confirmed session drops a pending reconnect, gets the node's
    // parameters and is announced; a lost one is announced and reopened in 3 s.
    void sessionCreated();
    void sessionDisconnected();

    // Any thread: run `task` on the worker (dropped once shutdown began).
    void post(std::function<void()> task);
    bool onWorkerThread() const { return worker.isCurrentThread(); }

    // Host thread, first thing in the node's destructor: after it returns no
    // thread of this controller, of a client or of a token request calls the
    // node any more. Idempotent.
    void shutdown();

private:
    class Relay;
    struct CancelToken {
        std::mutex mutex;
        bool cancelled = false;
    };
    struct Slot; // a client with its relay

    void runStart();
    void armReconnect(bool onlyIfStillDown);
    void startSession(const std::string& apiKeyOrToken);
    void onTokenResult(bool ok, const std::string& tokenOrMessage);
    void stopSender();
    void retire(Slot* slot);
    void postIfCurrent(uint64_t generation, std::function<void()> task);

    const std::string apiKey;
    const std::string model;
    const Texts texts;
    const Hooks hooks;

    SessionWorker worker;
    std::shared_ptr<CancelToken> cancelToken = std::make_shared<CancelToken>();
    std::atomic<bool> shuttingDown{false};

    mutable std::mutex clientMutex; // guards `current` and `generation` only
    std::shared_ptr<Slot> current;
    uint64_t generation = 0;
    std::atomic<uint64_t> currentGeneration{0};

    std::unique_ptr<async::TaskRunner> sender; // worker and shutdown only

    Timer reconnectTimer;
    Timer sessionUpdateTimer;
    std::atomic<uint64_t> reconnectTicket{0}; // bumped to void posted reconnects
    std::atomic<bool> reconnectQueued{false}; // a reconnect was handed to the worker
    std::atomic<bool> startQueued{false};     // a start() waits on the worker
    std::atomic<bool> updateQueued{false};    // an update waits on the worker
};

} // namespace orvanta::extensions::openai
