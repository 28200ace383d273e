#pragma once

#include "OrvantaSDK/NodeFactory.h"

#include <string>

namespace orvanta::extensions::openai {

// Makes the library's two node types known to the host: "OpenAI.Realtime"
// (OpenAINode) and "OpenAI.RealtimeTranscribe" (OpenAITranscribeNode).
class OpenAINodeFactory : public NodeFactory {
public:
    OpenAINodeFactory();
    ~OpenAINodeFactory() override;

    std::string getNodeTypePrefix() const override;
};

} // namespace orvanta::extensions::openai
