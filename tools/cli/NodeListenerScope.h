#pragma once

#include "OrvantaSDK/Node.h"
#include "tools/cli/HostLog.h"

#include <memory>

namespace orvanta::cli {

// Frees a node before the objects its event listener uses: on scope exit it
// stops the host log watching the input, removes the listener and destroys
// the node. Declare it right after the listener is added.
class NodeListenerScope {
public:
    NodeListenerScope(std::unique_ptr<Node>& owned, EventEmitter::ListenerId id, HostLog& hostLog)
        : node(owned), listener(id), log(hostLog) {}
    ~NodeListenerScope() {
        log.watchInput(nullptr);
        node->removeEventListener(listener);
        node.reset();
    }
    NodeListenerScope(const NodeListenerScope&) = delete;
    NodeListenerScope& operator=(const NodeListenerScope&) = delete;

private:
    std::unique_ptr<Node>& node;
    const EventEmitter::ListenerId listener;
    HostLog& log;
};

} // namespace orvanta::cli
