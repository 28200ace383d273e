#include "OrvantaSDK/NodeFactory.h"

#include <mutex>
#include <stdexcept>
#include <utility>

namespace orvanta {

struct NodeFactory::Internals {
    struct Entry {
        NodeTypeInfo info;
        Creator creator;
    };
    mutable std::mutex mutex;
    std::vector<Entry> entries;
};

NodeFactory::NodeFactory() : internals_(std::make_unique<Internals>()) {}

NodeFactory::~NodeFactory() = default;

void NodeFactory::registerNode(const NodeTypeInfo& info, Creator creator) {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    for (auto& entry : internals_->entries) {
        if (entry.info.getFQTypeName() == info.getFQTypeName()) {
            entry = {info, std::move(creator)};
            return;
        }
    }
    internals_->entries.push_back({info, std::move(creator)});
}

std::vector<NodeTypeInfo> NodeFactory::getNodeTypes() const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    std::vector<NodeTypeInfo> types;
    for (const auto& entry : internals_->entries)
        types.push_back(entry.info);
    return types;
}

std::unique_ptr<Node> NodeFactory::createNode(const std::string& typeName, const OVAnyMap& config) {
    Creator creator;
    NodeTypeInfo info;
    {
        std::lock_guard<std::mutex> lock(internals_->mutex);
        // Full names first, so a bare type never shadows an exact match.
        for (const auto& entry : internals_->entries) {
            if (entry.info.getFQTypeName() == typeName) {
                creator = entry.creator;
                info = entry.info;
                break;
            }
        }
        if (!creator) {
            for (const auto& entry : internals_->entries) {
                if (entry.info.getType() == typeName) {
                    creator = entry.creator;
                    info = entry.info;
                    break;
                }
            }
        }
    }
    if (!creator)
        throw std::invalid_argument("[NodeFactory] Unknown node type '" + typeName + "'.");
    std::unique_ptr<Node> node(creator(config));
    if (!node)
        throw std::runtime_error("[NodeFactory] Creating a node of type '" + info.getFQTypeName() + "' failed.");
    node->setTypeNames(info.getFQTypeName(), info.getDisplayName());
    return node;
}

} // namespace orvanta
