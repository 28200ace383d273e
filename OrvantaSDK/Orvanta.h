#pragma once

#include "OrvantaSDK/OVAny.h"
#include "OrvantaSDK/Result.h"

#include <string>

namespace orvanta {

// The host's configuration store: values by section and key, set by the
// application (for example section "orvanta", keys "appID" and "appSecret")
// and read by extensions. Every operation may be called from any thread.
class Orvanta {
public:
    // The stored value, or an Error "No configuration value for '<key>' in
    // section '<section>'." when nothing is stored there.
    static Result<OVAny> getValue(const std::string& section, const std::string& key);
    // Stores a copy, replacing any earlier value.
    static void setValue(const std::string& section, const std::string& key, OVAny value);
    static void removeValue(const std::string& section, const std::string& key);
    // Empties the whole store.
    static void clear();
};

} // namespace orvanta
