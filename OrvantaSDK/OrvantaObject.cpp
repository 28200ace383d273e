#include "OrvantaSDK/OrvantaObject.h"

#include <mutex>
#include <utility>

namespace orvanta {
namespace {

struct Property {
    std::string name;
    OVAnyMap info;
    OVAny::Getter getter;
    OVAny::Setter setter;
};

struct Configuration {
    std::string name;
    OVAnyMap info;
    OVAny value;
};

struct Action {
    std::string name;
    OVAnyMap info;
    OrvantaObject::ActionHandler handler;
};

struct Event {
    std::string name;
    OVAnyMap info;
};

template <class T>
T* find(std::vector<T>& list, const std::string& name) {
    for (auto& item : list)
        if (item.name == name)
            return &item;
    return nullptr;
}

template <class T>
void put(std::vector<T>& list, T item) {
    if (T* existing = find(list, item.name))
        *existing = std::move(item);
    else
        list.push_back(std::move(item));
}

template <class T>
std::vector<std::string> names(const std::vector<T>& list) {
    std::vector<std::string> result;
    for (const auto& item : list)
        result.push_back(item.name);
    return result;
}

bool isReadOnly(const OVAnyMap& info) {
    if (!info.hasKey("readOnly"))
        return false;
    const bool* flag = info.at("readOnly").getIf<bool>();
    return flag && *flag;
}

} // namespace

struct OrvantaObject::Internals {
    std::string objectType;
    // Guards the four lists; copies of the functions are taken under it and
    // run after it is released.
    mutable std::mutex mutex;
    std::vector<Configuration> configuration;
    std::vector<Property> properties;
    std::vector<Action> actions;
    std::vector<Event> events;
};

OrvantaObject::OrvantaObject(std::string objectType) : internals_(std::make_unique<Internals>()) {
    internals_->objectType = std::move(objectType);
}

OrvantaObject::~OrvantaObject() = default;

const std::string& OrvantaObject::getObjectType() const { return internals_->objectType; }

Result<OVAny> OrvantaObject::setValue(const std::string& name, const OVAny& value) {
    Setter setter;
    {
        std::lock_guard<std::mutex> lock(internals_->mutex);
        Property* property = find(internals_->properties, name);
        if (!property) {
            if (find(internals_->configuration, name))
                return Error("Property '" + name + "' is read-only.");
            return Error("Unknown property '" + name + "'.");
        }
        if (!property->setter || isReadOnly(property->info))
            return Error("Property '" + name + "' is read-only.");
        setter = property->setter;
    }
    setter(value);
    return OVAny();
}

Result<OVAny> OrvantaObject::getValue(const std::string& name) {
    Getter getter;
    {
        std::lock_guard<std::mutex> lock(internals_->mutex);
        if (Property* property = find(internals_->properties, name)) {
            getter = property->getter;
        } else if (Configuration* config = find(internals_->configuration, name)) {
            return config->value;
        } else {
            return Error("Unknown property '" + name + "'.");
        }
    }
    if (!getter)
        return Error("Property '" + name + "' cannot be read.");
    return getter();
}

Result<OVAny> OrvantaObject::callAction(const std::string& name, const OVAnyMap& parameters) {
    ActionHandler handler;
    {
        std::lock_guard<std::mutex> lock(internals_->mutex);
        Action* action = find(internals_->actions, name);
        if (!action || !action->handler)
            return Error("Unknown action '" + name + "'.");
        handler = action->handler;
    }
    return handler(parameters);
}

void OrvantaObject::registerConfiguration(const std::string& name, const OVAnyMap& info, const OVAny& value) {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    put(internals_->configuration, Configuration{name, info, value});
}

void OrvantaObject::registerProperty(const std::string& name, const OVAnyMap& info, const OVAny& getter,
                                     const OVAny& setter) {
    // Convert first, so a wrong argument leaves nothing half-registered.
    Property property{name, info, getter.isEmpty() ? Getter() : getter.convert<Getter>(),
                      setter.isEmpty() ? Setter() : setter.convert<Setter>()};
    std::lock_guard<std::mutex> lock(internals_->mutex);
    put(internals_->properties, std::move(property));
}

void OrvantaObject::registerAction(const std::string& name, const OVAnyMap& info, ActionHandler handler) {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    put(internals_->actions, Action{name, info, std::move(handler)});
}

void OrvantaObject::registerEvent(const std::string& name, const OVAnyMap& info) {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    put(internals_->events, Event{name, info});
}

std::vector<std::string> OrvantaObject::getConfigurationNames() const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    return names(internals_->configuration);
}
std::vector<std::string> OrvantaObject::getPropertyNames() const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    return names(internals_->properties);
}
std::vector<std::string> OrvantaObject::getActionNames() const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    return names(internals_->actions);
}
std::vector<std::string> OrvantaObject::getEventNames() const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    return names(internals_->events);
}

Result<OVAnyMap> OrvantaObject::getPropertyInfo(const std::string& name) const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    if (auto* p = find(internals_->properties, name))
        return p->info;
    return Error("Unknown property '" + name + "'.");
}
Result<OVAnyMap> OrvantaObject::getActionInfo(const std::string& name) const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    if (auto* a = find(internals_->actions, name))
        return a->info;
    return Error("Unknown action '" + name + "'.");
}
Result<OVAnyMap> OrvantaObject::getEventInfo(const std::string& name) const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    if (auto* e = find(internals_->events, name))
        return e->info;
    return Error("Unknown event '" + name + "'.");
}

} // namespace orvanta
