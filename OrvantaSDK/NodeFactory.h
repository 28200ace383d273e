#pragma once

#include "OrvantaSDK/Node.h"
#include "OrvantaSDK/NodeTypeInfo.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvanta {

// Makes the node types of one extension known to the host and creates
// nodes of them. A subclass registers its types in its constructor.
// Threads: registration from the constructor; getNodeTypes and createNode
// from host threads (createNode runs the node's constructor there).
class NodeFactory {
public:
    using Creator = std::function<Node*(const OVAnyMap& config)>;

    NodeFactory();
    virtual ~NodeFactory();
    NodeFactory(const NodeFactory&) = delete;
    NodeFactory& operator=(const NodeFactory&) = delete;

    virtual std::string getNodeTypePrefix() const = 0;

    // Registering a full type name again replaces the earlier entry.
    void registerNode(const NodeTypeInfo& info, Creator creator);

    // Registered types in registration order.
    virtual std::vector<NodeTypeInfo> getNodeTypes() const;

    // Creates a node of the type named by its full name ("OpenAI.Realtime")
    // or by its bare type ("Realtime"); the caller owns it. Throws
    // std::invalid_argument "[NodeFactory] Unknown node type '<name>'." for
    // a name it does not know and std::runtime_error when the creator
    // returns null; an exception from the node's constructor reaches the
    // caller unchanged.
    virtual std::unique_ptr<Node> createNode(const std::string& typeName, const OVAnyMap& config);

private:
    struct Internals;
    std::unique_ptr<Internals> internals_;
};

} // namespace orvanta
