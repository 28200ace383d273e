#pragma once

#include "OrvantaSDK/OVAny.h"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace orvanta {

// String-keyed map that keeps its keys in the order they were first set.
// Setting an existing key replaces its value in place. Lookups are linear,
// which suits the small maps of type descriptions, configurations and event
// payloads. Not synchronised.
class OVAnyMap {
public:
    using value_type = std::pair<std::string, OVAny>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    OVAnyMap() = default;
    // Later duplicates replace earlier values; the first position is kept.
    OVAnyMap(std::initializer_list<value_type> entries);

    bool hasKey(const std::string& key) const;
    // Throws std::out_of_range naming the key when it is absent.
    OVAny& at(const std::string& key);
    const OVAny& at(const std::string& key) const;
    void set(const std::string& key, OVAny value);
    // Returns whether the key was there.
    bool remove(const std::string& key);
    void clear() { entries_.clear(); }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    std::vector<std::string> keys() const;

    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    // JSON text of the map, keys in map order, compact. Floats are written
    // in the shortest form that reads back to the same float. Throws
    // std::invalid_argument for a value JSON cannot carry (a getter, a
    // setter, a NaN or an infinity); an empty value is written as null.
    static std::string mapToJson(const OVAnyMap& map);

    friend bool operator==(const OVAnyMap& a, const OVAnyMap& b) { return a.entries_ == b.entries_; }
    friend bool operator!=(const OVAnyMap& a, const OVAnyMap& b) { return !(a == b); }

private:
    std::vector<value_type> entries_;
};

} // namespace orvanta
