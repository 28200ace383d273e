#include "nodes/SessionWorker.h"

#include "OrvantaSDK/Logger.h"

#include <exception>

namespace orvanta::extensions::openai {

SessionWorker::SessionWorker() : state(std::make_shared<State>()) { thread = std::thread(run, state); }

SessionWorker::~SessionWorker() { stop(); }

bool SessionWorker::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->stopping)
            return false;
        state->queue.push_back(std::move(task));
    }
    state->wake.notify_one();
    return true;
}

void SessionWorker::stop() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopping = true;
        dropped.swap(state->queue);
    }
    state->wake.notify_one();
    if (thread.joinable()) {
        if (isCurrentThread())
            thread.detach(); // it ends after the current task, holding its own state
        else
            thread.join();
    }
    // Dropped tasks may own objects (a retired client, say) whose destruction
    // must happen here, outside the lock.
    dropped.clear();
}

void SessionWorker::destroyAfterTask(std::function<void()> deleter) { state->afterTask = std::move(deleter); }

bool SessionWorker::isCurrentThread() const { return state->id.load() == std::this_thread::get_id(); }

void SessionWorker::run(std::shared_ptr<State> state) {
    state->id.store(std::this_thread::get_id());
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->queue.empty(); });
            if (state->stopping)
                return;
            task = std::move(state->queue.front());
            state->queue.pop_front();
        }
        // A task that throws must not take the node's session thread with it.
        try {
            task();
        } catch (const std::exception& e) {
            orvanta::Logger::error(std::string("[SessionWorker] Uncaught exception in task: ") + e.what());
        } catch (...) {
            orvanta::Logger::error("[SessionWorker] Unknown exception in task.");
        }
        task = nullptr;
        if (state->afterTask) {
            auto deleter = std::move(state->afterTask);
            state->afterTask = nullptr;
            deleter(); // may destroy the worker object; `state` stays ours
        }
    }
}

} // namespace orvanta::extensions::openai
