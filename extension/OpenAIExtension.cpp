#include "extension/OpenAIExtension.h"

#include "OrvantaSDK/ExtensionManager.h"
#include "extension/OpenAINodeFactory.h"

#include <stdexcept>
#include <typeinfo>

namespace orvanta::extensions::openai {

namespace {
std::shared_ptr<OpenAIExtension>& singleton() {
    // Constructed on first use so that loading does not depend on the order
    // of static initialisation; released at process exit.
    static std::shared_ptr<OpenAIExtension> instance;
    return instance;
}

// Registration when the library is loaded into the process.
struct LoadAtStartup {
    LoadAtStartup() { OpenAIExtension::load(); }
} loadAtStartup;
} // namespace

OpenAIExtension::OpenAIExtension() : Extension("extension"), apiKey(new std::string) {}

OpenAIExtension::~OpenAIExtension() { delete apiKey; }

void OpenAIExtension::load() {
    singleton() = std::make_shared<OpenAIExtension>();
    ExtensionManager::getInstance().registerExtension(singleton());
}

OpenAIExtension* OpenAIExtension::getInstance() { return singleton().get(); }

Result<OVAny> OpenAIExtension::initialize(const OVAnyMap& config) {
    for (const auto& [key, value] : config) {
        if (key != "apiKey")
            continue;
        try {
            *apiKey = value.convert<std::string>();
        } catch (const std::bad_any_cast&) {
            throw std::runtime_error("Bad format for OpenAI API key in config.");
        }
    }
    return OVAny();
}

std::string OpenAIExtension::getName() const { return "OpenAI"; }

std::string OpenAIExtension::getDescription() const {
    return "Integration with OpenAI's Realtime API for conversational voice interactions.";
}

std::shared_ptr<NodeFactory> OpenAIExtension::getNodeFactory() { return std::make_shared<OpenAINodeFactory>(); }

std::string OpenAIExtension::getApiKey() const { return *apiKey; }

} // namespace orvanta::extensions::openai

extern "C" {
__attribute__((visibility("default"))) void ov_extension_load() {}
__attribute__((visibility("default"))) void ov_extension_anchor_OrvantaOpenAI() {}
}
