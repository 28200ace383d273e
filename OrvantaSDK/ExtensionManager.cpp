#include "OrvantaSDK/ExtensionManager.h"

#include <mutex>
#include <utility>

namespace orvanta {

struct ExtensionManager::Internals {
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Extension>> extensions;
};

ExtensionManager::ExtensionManager() : internals_(std::make_unique<Internals>()) {}

ExtensionManager::~ExtensionManager() = default;

ExtensionManager& ExtensionManager::getInstance() {
    static ExtensionManager instance;
    return instance;
}

void ExtensionManager::registerExtension(std::shared_ptr<Extension> extension) {
    if (!extension)
        return;
    std::lock_guard<std::mutex> lock(internals_->mutex);
    internals_->extensions.push_back(std::move(extension));
}

std::vector<std::shared_ptr<Extension>> ExtensionManager::getExtensions() const {
    std::lock_guard<std::mutex> lock(internals_->mutex);
    return internals_->extensions;
}

std::shared_ptr<Extension> ExtensionManager::findExtension(const std::string& name) const {
    // getName() is the extension's code: call it without the lock held.
    auto extensions = getExtensions();
    for (auto it = extensions.rbegin(); it != extensions.rend(); ++it)
        if ((*it)->getName() == name)
            return *it;
    return nullptr;
}

void ExtensionManager::clear() {
    std::vector<std::shared_ptr<Extension>> dropped;
    {
        std::lock_guard<std::mutex> lock(internals_->mutex);
        dropped.swap(internals_->extensions);
    }
    // Extensions are destroyed here, outside the lock.
}

} // namespace orvanta
