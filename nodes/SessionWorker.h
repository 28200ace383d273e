#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace orvanta::extensions::openai {

// A node's own serial thread for everything that may block or replace the
// protocol client: starting sessions, applying session updates, reacting to
// the client's lifecycle callbacks and emitting events.
//
// Other threads only post to it and never wait on it, which is what keeps the
// node free of lock-order cycles: the WebSocket I/O thread, the timers and the
// sender hand work over and return at once, so whoever joins them (the worker
// itself, replacing a client or stopping a timer) never waits on a thread
// that waits on it.
//
// Events run here, and an application may destroy a node from inside one of
// its listeners, so the worker may be stopped, and its owner destroyed, from
// its own thread: the thread then lets go of the object and ends by itself
// once the task that did it has returned.
class SessionWorker {
public:
    SessionWorker();
    ~SessionWorker(); // stop()

    SessionWorker(const SessionWorker&) = delete;
    SessionWorker& operator=(const SessionWorker&) = delete;

    // Any thread. Queues the task; tasks run one at a time in posting order.
    // Returns false (and drops the task) once stop() has begun.
    bool post(std::function<void()> task);

    // Any thread. Ends the thread after the task that is running, dropping
    // the queued ones (they are destroyed here, on the caller's thread).
    // From another thread it joins; from the worker's own thread it returns
    // at once. Idempotent.
    void stop();

    // Worker thread, inside a task: `deleter` runs on this thread once the
    // task has returned, even if the worker was stopped meanwhile. It may
    // destroy this worker.
    void destroyAfterTask(std::function<void()> deleter);

    // True on the worker thread.
    bool isCurrentThread() const;

private:
    // What the thread uses; it outlives the worker object when the worker is
    // destroyed from its own thread.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> queue;
        bool stopping = false;
        std::function<void()> afterTask; // thread only
        std::atomic<std::thread::id> id{};
    };
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> state;
    std::thread thread;
};

} // namespace orvanta::extensions::openai
