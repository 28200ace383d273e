#include "nodes/SessionWorker.h"

#include "OrvantaSDK/Logger.h"

#include <exception>

namespace orvanta::extensions::openai {

SessionWorker::SessionWorker() : thread([this] { run(); }) {}

SessionWorker::~SessionWorker() { stop(); }

bool SessionWorker::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            return false;
        queue.push_back(std::move(task));
    }
    wake.notify_one();
    return true;
}

void SessionWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (thread.joinable() && !isCurrentThread())
        thread.join();
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        dropped.swap(queue);
    }
    // Dropped tasks may own objects (a retired client, say) whose destruction
    // must happen here, outside the lock.
    dropped.clear();
}

bool SessionWorker::isCurrentThread() const {
    return workerId.load() == std::this_thread::get_id();
}

void SessionWorker::run() {
    workerId.store(std::this_thread::get_id());
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            task = std::move(queue.front());
            queue.pop_front();
        }
        // A task that throws must not take the node's session thread with it.
        try {
            task();
        } catch (const std::exception& e) {
            orvanta::Logger::error(std::string("[SessionWorker] Uncaught exception in task: ") + e.what());
        } catch (...) {
            orvanta::Logger::error("[SessionWorker] Unknown exception in task.");
        }
    }
}

} // namespace orvanta::extensions::openai
