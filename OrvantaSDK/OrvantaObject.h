#pragma once

#include "OrvantaSDK/EventEmitter.h"
#include "OrvantaSDK/OVAny.h"
#include "OrvantaSDK/Result.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvanta {

// Base of everything the host exposes to the application: named
// configuration values, properties (getter and setter), actions and events.
// A subclass registers them in its constructor; the application then reaches
// them by name through setValue, getValue and callAction, and subscribes to
// events through the EventEmitter base.
//
// Threads: register* from the constructor (host thread). setValue, getValue
// and callAction from any thread; the registered getter, setter or handler
// runs on the calling thread with no lock of this object held, so a handler
// may call other actions of the same object.
class OrvantaObject : public EventEmitter {
public:
    using Getter = OVAny::Getter;
    using Setter = OVAny::Setter;
    using ActionHandler = std::function<Result<OVAny>(const OVAnyMap& parameters)>;

    explicit OrvantaObject(std::string objectType);
    ~OrvantaObject() override;

    const std::string& getObjectType() const;

    // Runs the property's setter. Error results: "Unknown property '<name>'."
    // and "Property '<name>' is read-only." (also for configuration values,
    // which are fixed at creation). An exception of the setter (for example
    // a value of the wrong type) reaches the caller.
    virtual Result<OVAny> setValue(const std::string& name, const OVAny& value);

    // The property's getter result, else the configuration value of that
    // name, else the error "Unknown property '<name>'.".
    virtual Result<OVAny> getValue(const std::string& name);

    // Runs the action's handler and returns its result, or the error
    // "Unknown action '<name>'.". A handler's exception reaches the caller.
    virtual Result<OVAny> callAction(const std::string& name, const OVAnyMap& parameters);

    // `info` is the entry's map from the NodeTypeInfo. Registering a name
    // again replaces the earlier registration.
    void registerConfiguration(const std::string& name, const OVAnyMap& info, const OVAny& value);
    // `getter` and `setter` must hold an OVAny::Getter and an OVAny::Setter
    // (a lambda converts); otherwise std::bad_any_cast. An empty setter, or
    // "readOnly" true in `info`, makes the property read-only.
    void registerProperty(const std::string& name, const OVAnyMap& info, const OVAny& getter, const OVAny& setter);
    void registerAction(const std::string& name, const OVAnyMap& info, ActionHandler handler);
    void registerEvent(const std::string& name, const OVAnyMap& info);

    // Registered names in registration order, and their info maps (an
    // Error for an unknown name).
    std::vector<std::string> getConfigurationNames() const;
    std::vector<std::string> getPropertyNames() const;
    std::vector<std::string> getActionNames() const;
    std::vector<std::string> getEventNames() const;
    Result<OVAnyMap> getPropertyInfo(const std::string& name) const;
    Result<OVAnyMap> getActionInfo(const std::string& name) const;
    Result<OVAnyMap> getEventInfo(const std::string& name) const;

private:
    struct Internals;
    std::unique_ptr<Internals> internals_;
};

} // namespace orvanta
