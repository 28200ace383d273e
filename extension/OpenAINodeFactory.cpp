#include "extension/OpenAINodeFactory.h"

#include "nodes/OpenAINode.h"
#include "nodes/OpenAITranscribeNode.h"

namespace orvanta::extensions::openai {

OpenAINodeFactory::OpenAINodeFactory() {
    registerNode(OpenAINode::getNodeTypeInfo(), [](const OVAnyMap& config) -> Node* { return new OpenAINode(config); });
    registerNode(OpenAITranscribeNode::getNodeTypeInfo(),
                 [](const OVAnyMap& config) -> Node* { return new OpenAITranscribeNode(config); });
}

OpenAINodeFactory::~OpenAINodeFactory() = default;

std::string OpenAINodeFactory::getNodeTypePrefix() const { return "OpenAI"; }

} // namespace orvanta::extensions::openai
