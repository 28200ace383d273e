#pragma once

#include "OrvantaSDK/NodeFactory.h"
#include "OrvantaSDK/OrvantaObject.h"
#include "OrvantaSDK/Result.h"

#include <memory>
#include <string>
#include <utility>

namespace orvanta {

// What an extension library gives the host: a name, a description, a
// one-time initialisation with the application's configuration, and a node
// factory. Host threads.
class Extension : public OrvantaObject {
public:
    explicit Extension(std::string objectType = "extension") : OrvantaObject(std::move(objectType)) {}
    ~Extension() override = default;

    // Both succeed and do nothing unless overridden.
    virtual Result<OVAny> initialize(const OVAnyMap& /*config*/) { return OVAny(); }
    virtual Result<OVAny> deinitialize() { return OVAny(); }

    virtual std::string getName() const = 0;
    virtual std::string getDescription() const = 0;
    virtual std::shared_ptr<NodeFactory> getNodeFactory() = 0;
};

} // namespace orvanta
