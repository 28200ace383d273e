#include "OrvantaSDK/NodeTypeInfo.h"

#include <stdexcept>
#include <utility>

namespace orvanta {

NodeTypeInfo::NodeTypeInfo(std::string typePrefix, std::string type, std::string displayName,
                           std::string description, std::vector<std::string> categories)
    : typePrefix_(std::move(typePrefix)), type_(std::move(type)), displayName_(std::move(displayName)),
      description_(std::move(description)), categories_(std::move(categories)) {}

std::string NodeTypeInfo::getFQTypeName() const { return typePrefix_ + "." + type_; }

void NodeTypeInfo::addConfiguration(const std::string& key, OVAnyMap entry) { configuration_.set(key, std::move(entry)); }
void NodeTypeInfo::addProperty(const std::string& name, OVAnyMap entry) { properties_.set(name, std::move(entry)); }
void NodeTypeInfo::addAction(const std::string& name, OVAnyMap entry) { actions_.set(name, std::move(entry)); }
void NodeTypeInfo::addEvent(const std::string& name, OVAnyMap entry) { events_.set(name, std::move(entry)); }

const OVAnyMap& NodeTypeInfo::lookup(const OVAnyMap& entries, const char* kind, const std::string& name) const {
    for (const auto& entry : entries) {
        // Entries are only ever added as maps.
        if (entry.first == name)
            return *entry.second.getIf<OVAnyMap>();
    }
    throw std::runtime_error(std::string("[NodeTypeInfo] ") + kind + " key '" + name + "' not found for node type '" +
                             getFQTypeName() + "'.");
}

const OVAnyMap& NodeTypeInfo::getConfiguration(const std::string& key) const {
    return lookup(configuration_, "Configuration", key);
}
const OVAnyMap& NodeTypeInfo::getProperty(const std::string& name) const { return lookup(properties_, "Property", name); }
const OVAnyMap& NodeTypeInfo::getAction(const std::string& name) const { return lookup(actions_, "Action", name); }
const OVAnyMap& NodeTypeInfo::getEvent(const std::string& name) const { return lookup(events_, "Event", name); }

OVAnyMap NodeTypeInfo::toMap() const {
    OVAnyVector categories;
    for (const auto& c : categories_)
        categories.push_back(c);
    OVAnyMap map;
    map.set("type", getFQTypeName());
    map.set("displayName", displayName_);
    map.set("description", description_);
    map.set("categories", categories);
    map.set("configuration", configuration_);
    map.set("properties", properties_);
    map.set("actions", actions_);
    map.set("events", events_);
    return map;
}

} // namespace orvanta
