#pragma once

#include "OrvantaSDK/Extension.h"

#include <memory>
#include <string>

namespace orvanta::extensions::openai {

// The library's face to the host: registered with the host's
// ExtensionManager when the library is loaded, it holds the library-wide API
// key and hands out the node factory.
//
// Threads: load() and initialize() on a host thread before nodes are made;
// getApiKey() from node constructors.
class OpenAIExtension : public Extension {
public:
    OpenAIExtension();
    ~OpenAIExtension() override;

    // Makes a fresh singleton (dropping the previous one) and registers it.
    static void load();
    // The current singleton, or null before the first load().
    static OpenAIExtension* getInstance();

    // "apiKey" (a string) becomes the library-wide default key; other keys are
    // ignored. Throws std::runtime_error when "apiKey" is not a string.
    Result<OVAny> initialize(const OVAnyMap& config) override;
    std::string getName() const override;
    std::string getDescription() const override;
    std::shared_ptr<NodeFactory> getNodeFactory() override;

    std::string getApiKey() const;

private:
    std::string* apiKey;
};

} // namespace orvanta::extensions::openai

extern "C" {
void ov_extension_load();
void ov_extension_anchor_OrvantaOpenAI();
}
