#pragma once

#include "OrvantaSDK/OVAny.h"

#include <string>
#include <vector>

namespace orvanta {

// The static description of a node type: names, categories and one entry
// map per configuration key, property, action and event, each in the order
// added. Built by a node class, handed to NodeFactory::registerNode; a plain
// value, not synchronised.
class NodeTypeInfo {
public:
    NodeTypeInfo() = default;
    NodeTypeInfo(std::string typePrefix, std::string type, std::string displayName, std::string description,
                 std::vector<std::string> categories = {});

    void setTypePrefix(std::string prefix) { typePrefix_ = std::move(prefix); }
    void setType(std::string type) { type_ = std::move(type); }
    void setDisplayName(std::string name) { displayName_ = std::move(name); }
    void setDescription(std::string description) { description_ = std::move(description); }
    void setCategories(std::vector<std::string> categories) { categories_ = std::move(categories); }

    const std::string& getTypePrefix() const { return typePrefix_; }
    const std::string& getType() const { return type_; }
    // prefix + "." + type
    std::string getFQTypeName() const;
    const std::string& getDisplayName() const { return displayName_; }
    const std::string& getDescription() const { return description_; }
    const std::vector<std::string>& getCategories() const { return categories_; }

    // Adding an existing name replaces its entry in place.
    void addConfiguration(const std::string& key, OVAnyMap entry);
    void addProperty(const std::string& name, OVAnyMap entry);
    void addAction(const std::string& name, OVAnyMap entry);
    void addEvent(const std::string& name, OVAnyMap entry);

    // The entry map, or std::runtime_error "[NodeTypeInfo] Configuration key
    // '<key>' not found for node type '<prefix.type>'." (Property, Action and
    // Event alike).
    const OVAnyMap& getConfiguration(const std::string& key) const;
    const OVAnyMap& getProperty(const std::string& name) const;
    const OVAnyMap& getAction(const std::string& name) const;
    const OVAnyMap& getEvent(const std::string& name) const;

    // All entries, name -> entry map, in the order added.
    const OVAnyMap& getConfigurations() const { return configuration_; }
    const OVAnyMap& getProperties() const { return properties_; }
    const OVAnyMap& getActions() const { return actions_; }
    const OVAnyMap& getEvents() const { return events_; }

    // The whole description as one map ("type", "displayName",
    // "description", "categories", "configuration", "properties",
    // "actions", "events"), for listing it or turning it into JSON.
    OVAnyMap toMap() const;

private:
    const OVAnyMap& lookup(const OVAnyMap& entries, const char* kind, const std::string& name) const;

    std::string typePrefix_;
    std::string type_;
    std::string displayName_;
    std::string description_;
    std::vector<std::string> categories_;
    OVAnyMap configuration_;
    OVAnyMap properties_;
    OVAnyMap actions_;
    OVAnyMap events_;
};

} // namespace orvanta
