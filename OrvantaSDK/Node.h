#pragma once

#include "OrvantaSDK/OrvantaObject.h"

#include <string>

namespace orvanta {

// A node of the host's graph. The host creates it through a NodeFactory,
// owns it, and tells it when the graph starts and stops. Its own actions are
// reachable through callAction (OrvantaObject), from any thread.
class Node : public OrvantaObject {
public:
    explicit Node(const OVAnyMap& config = OVAnyMap());
    ~Node() override;

    // The configuration the node was created with.
    const OVAnyMap& getConfig() const { return config_; }

    // Full type name ("Prefix.Type") and display name, set by the factory
    // that created the node; empty for a node built directly.
    const std::string& getTypeName() const { return typeName_; }
    virtual std::string getDisplayName() const { return displayName_; }
    // Host use: NodeFactory::createNode calls it right after construction.
    void setTypeNames(std::string fullTypeName, std::string displayName);

    // Host thread, when the graph starts or stops (after setBusFormats, and
    // never while the audio thread runs process). onGraphStop does nothing.
    virtual void onGraphStart() {}
    virtual void onGraphStop() {}

private:
    OVAnyMap config_;
    std::string typeName_;
    std::string displayName_;
};

} // namespace orvanta
