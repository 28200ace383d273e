#include "tools/cli/Commands.h"

#include "OrvantaSDK/ExtensionManager.h"
#include "extension/OpenAIExtension.h"

#include <cstdio>
#include <stdexcept>

namespace orvanta::cli {

std::unique_ptr<Node> createLibraryNode(const std::string& typeName, const OVAnyMap& config) {
    // Keeps the library linked even where the linker drops unused ones; its
    // static initialisation registers the extension.
    ov_extension_anchor_OrvantaOpenAI();
    auto extension = ExtensionManager::getInstance().findExtension("OpenAI");
    if (!extension)
        throw RunError("the OpenAI extension did not register itself");
    auto factory = extension->getNodeFactory();
    if (!factory)
        throw RunError("the OpenAI extension has no node factory");
    try {
        return factory->createNode(typeName, config);
    } catch (const std::invalid_argument& e) {
        // A value from the command line that the node does not take.
        throw UsageError("the " + typeName + " node refused its configuration: " + e.what());
    } catch (const std::exception& e) {
        throw RunError("cannot create the " + typeName + " node: " + e.what());
    }
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

} // namespace orvanta::cli
