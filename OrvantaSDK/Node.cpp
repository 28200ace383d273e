#include "OrvantaSDK/Node.h"

#include <utility>

namespace orvanta {

Node::Node(const OVAnyMap& config) : OrvantaObject("node"), config_(config) {}

Node::~Node() = default;

void Node::setTypeNames(std::string fullTypeName, std::string displayName) {
    typeName_ = std::move(fullTypeName);
    displayName_ = std::move(displayName);
}

} // namespace orvanta
