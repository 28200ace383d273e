#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
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
class SessionWorker {
public:
    SessionWorker();
    ~SessionWorker();  // stop()

    SessionWorker(const SessionWorker&) = delete;
    SessionWorker& operator=(const SessionWorker&) = delete;

    // Any thread. Queues the task; tasks run one at a time in posting order.
    // Returns false (and drops the task) once stop() has begun.
    bool post(std::function<void()> task);

    // Any thread but the worker's own. Ends the thread after the task that is
    // running, dropping the queued ones. Idempotent.
    void stop();

    // True on the worker thread.
    bool isCurrentThread() const;

private:
    void run();

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    std::atomic<std::thread::id> workerId{};
    std::thread thread;
};

} // namespace orvanta::extensions::openai
