#pragma once

#include "OrvantaSDK/OVAny.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvanta {

// Delivers named events with an OVAnyMap payload to the listeners the
// application subscribed. Nodes emit from any of their threads (host
// threads, WebSocket I/O, timers, token callbacks); every operation here is
// thread-safe. Listeners run synchronously on the emitting thread, with no
// lock of the emitter held, so a listener may emit, subscribe or unsubscribe.
// A listener may also destroy the emitter; the emit that called it then calls
// no further listener. Not for the audio thread: emitting takes a lock and
// allocates.
class EventEmitter {
public:
    using Listener = std::function<void(const std::string& name, const OVAnyMap& payload)>;
    using ListenerId = std::uint64_t;

    // Name of the subscription that receives every event.
    static constexpr const char* AllEvents = "*";

    EventEmitter();
    virtual ~EventEmitter();
    EventEmitter(const EventEmitter&) = delete;
    EventEmitter& operator=(const EventEmitter&) = delete;

    // Subscribes to one event name, or to all with AllEvents. Returns an id
    // for removeEventListener; never 0. Any thread.
    ListenerId addEventListener(const std::string& name, Listener listener);

    // After this returns the listener is not running on any other thread and
    // will not be called again, so whatever it captured may be freed. Called
    // from inside that same listener it cannot wait for itself: it returns
    // at once and the current call finishes. Returns false for an unknown
    // id. Any thread.
    bool removeEventListener(ListenerId id);
    void removeAllEventListeners();

    // Calls every listener of `name` and every all-events listener, in the
    // order they subscribed. A listener's exception is caught and logged so
    // that it cannot break the emitting library thread. Any thread but the
    // audio thread.
    void emitEvent(const std::string& name, const OVAnyMap& payload);

private:
    struct Internals;
    // Shared with every emit in progress: a listener may destroy the emitter,
    // and the emit that called it still finishes its loop afterwards.
    std::shared_ptr<Internals> internals_;
};

} // namespace orvanta
