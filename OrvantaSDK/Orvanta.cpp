#include "OrvantaSDK/Orvanta.h"

#include <map>
#include <mutex>
#include <utility>

namespace orvanta {
namespace {

struct Store {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, OVAny> values;
};

// Constructed on first use, so extensions may read it during their own
// static initialisation.
Store& store() {
    static Store s;
    return s;
}

} // namespace

Result<OVAny> Orvanta::getValue(const std::string& section, const std::string& key) {
    auto& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.values.find({section, key});
    if (it == s.values.end())
        return Error("No configuration value for '" + key + "' in section '" + section + "'.");
    return it->second;
}

void Orvanta::setValue(const std::string& section, const std::string& key, OVAny value) {
    auto& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values[{section, key}] = std::move(value);
}

void Orvanta::removeValue(const std::string& section, const std::string& key) {
    auto& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values.erase({section, key});
}

void Orvanta::clear() {
    auto& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values.clear();
}

} // namespace orvanta
