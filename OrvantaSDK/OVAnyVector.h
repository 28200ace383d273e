#pragma once

#include "OrvantaSDK/OVAny.h"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace orvanta {

// An ordered list of host values. Not synchronised.
class OVAnyVector {
public:
    using value_type = OVAny;
    using iterator = std::vector<OVAny>::iterator;
    using const_iterator = std::vector<OVAny>::const_iterator;

    OVAnyVector() = default;
    OVAnyVector(std::initializer_list<OVAny> items) : items_(items) {}

    void push_back(OVAny value) { items_.push_back(std::move(value)); }
    // Bounds-checked; throws std::out_of_range.
    OVAny& at(std::size_t index) { return items_.at(index); }
    const OVAny& at(std::size_t index) const { return items_.at(index); }
    OVAny& operator[](std::size_t index) { return items_[index]; }
    const OVAny& operator[](std::size_t index) const { return items_[index]; }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }

    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

    // JSON array text; same rules as OVAnyMap::mapToJson.
    static std::string vectorToJson(const OVAnyVector& vector);

    friend bool operator==(const OVAnyVector& a, const OVAnyVector& b) { return a.items_ == b.items_; }
    friend bool operator!=(const OVAnyVector& a, const OVAnyVector& b) { return !(a == b); }

private:
    std::vector<OVAny> items_;
};

} // namespace orvanta
