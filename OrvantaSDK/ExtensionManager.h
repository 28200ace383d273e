#pragma once

#include "OrvantaSDK/Extension.h"

#include <memory>
#include <string>
#include <vector>

namespace orvanta {

// The process-wide list of extensions. Extension libraries register
// themselves while they are loaded (often from static initialisation, which
// is why the instance is made on first use); the application then finds
// them by name. Every operation is thread-safe.
class ExtensionManager {
public:
    static ExtensionManager& getInstance();

    // Keeps a reference. Registering again (a reload) adds the new object;
    // lookups by name then find the newest. A null pointer is ignored.
    void registerExtension(std::shared_ptr<Extension> extension);

    // All registered extensions, oldest first.
    std::vector<std::shared_ptr<Extension>> getExtensions() const;

    // The most recently registered extension whose getName() is `name`, or
    // null.
    std::shared_ptr<Extension> findExtension(const std::string& name) const;

    // Drops every reference (for the application's shut-down and tests).
    void clear();

private:
    ExtensionManager();
    ~ExtensionManager();
    ExtensionManager(const ExtensionManager&) = delete;
    ExtensionManager& operator=(const ExtensionManager&) = delete;

    struct Internals;
    std::unique_ptr<Internals> internals_;
};

} // namespace orvanta
