#include "OrvantaSDK/EventEmitter.h"

#include "OrvantaSDK/Logger.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace orvanta {
namespace {

struct Entry {
    EventEmitter::ListenerId id = 0;
    std::string name;
    EventEmitter::Listener listener;
    bool removed = false;     // guarded by Internals::mutex
    int running = 0;          // calls in progress, guarded by Internals::mutex
};

// Entries this thread is running right now (nested emits push more), so
// that a listener removing itself does not wait for its own call.
thread_local std::vector<const Entry*> runningHere;

} // namespace

struct EventEmitter::Internals {
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::shared_ptr<Entry>> entries;
    ListenerId nextId = 1;

    void waitUntilIdle(std::unique_lock<std::mutex>& lock, const Entry& entry) {
        const auto own = std::count(runningHere.begin(), runningHere.end(), &entry);
        idle.wait(lock, [&] { return entry.running <= own; });
    }
};

EventEmitter::EventEmitter() : internals_(std::make_shared<Internals>()) {}

EventEmitter::~EventEmitter() { removeAllEventListeners(); }

EventEmitter::ListenerId EventEmitter::addEventListener(const std::string& name, Listener listener) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->listener = std::move(listener);
    std::lock_guard<std::mutex> lock(internals_->mutex);
    entry->id = internals_->nextId++;
    internals_->entries.push_back(entry);
    return entry->id;
}

bool EventEmitter::removeEventListener(ListenerId id) {
    auto& in = *internals_;
    std::unique_lock<std::mutex> lock(in.mutex);
    auto it = std::find_if(in.entries.begin(), in.entries.end(), [&](const auto& e) { return e->id == id; });
    if (it == in.entries.end())
        return false;
    std::shared_ptr<Entry> entry = *it;
    entry->removed = true;
    in.entries.erase(it);
    in.waitUntilIdle(lock, *entry);
    return true;
}

void EventEmitter::removeAllEventListeners() {
    auto& in = *internals_;
    std::unique_lock<std::mutex> lock(in.mutex);
    std::vector<std::shared_ptr<Entry>> entries;
    entries.swap(in.entries);
    for (auto& entry : entries)
        entry->removed = true;
    for (auto& entry : entries)
        in.waitUntilIdle(lock, *entry);
}

void EventEmitter::emitEvent(const std::string& name, const OVAnyMap& payload) {
    const std::shared_ptr<Internals> keep = internals_; // `this` may be gone after a listener
    auto& in = *keep;
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard<std::mutex> lock(in.mutex);
        for (const auto& entry : in.entries)
            if (entry->name == name || entry->name == AllEvents)
                targets.push_back(entry);
    }
    for (const auto& entry : targets) {
        {
            std::lock_guard<std::mutex> lock(in.mutex);
            if (entry->removed)
                continue;
            ++entry->running;
        }
        runningHere.push_back(entry.get());
        try {
            entry->listener(name, payload);
        } catch (const std::exception& e) {
            Logger::error("[EventEmitter] Listener of '" + name + "' threw: " + e.what());
        } catch (...) {
            Logger::error("[EventEmitter] Listener of '" + name + "' threw.");
        }
        runningHere.pop_back();
        // Notify under the lock: once a waiting remover sees the count drop
        // it may free the emitter, so nothing of it is touched afterwards.
        std::lock_guard<std::mutex> lock(in.mutex);
        --entry->running;
        in.idle.notify_all();
    }
}

} // namespace orvanta
