#include "OrvantaSDK/OVAnyMap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace orvanta {
namespace {

void writeString(std::string& out, const std::string& text) {
    static const char* const hex = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 0xf];
            } else {
                out += c; // UTF-8 passes through as it is
            }
        }
    }
    out += '"';
}

// Shortest %g form that reads back as the same float, so 0.1f is "0.1"
// rather than "0.100000001".
void writeFloat(std::string& out, float value) {
    if (!std::isfinite(value))
        throw std::invalid_argument("mapToJson: a NaN or infinite float has no JSON form");
    char text[32];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value)
            break;
    }
    out += text;
}

void writeValue(std::string& out, const OVAny& value);

void writeMap(std::string& out, const OVAnyMap& map) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : map) {
        if (!first)
            out += ',';
        first = false;
        writeString(out, key);
        out += ':';
        writeValue(out, value);
    }
    out += '}';
}

void writeVector(std::string& out, const OVAnyVector& vector) {
    out += '[';
    bool first = true;
    for (const auto& value : vector) {
        if (!first)
            out += ',';
        first = false;
        writeValue(out, value);
    }
    out += ']';
}

void writeValue(std::string& out, const OVAny& value) {
    if (value.isEmpty())
        out += "null";
    else if (value.isBool())
        out += value.convert<bool>() ? "true" : "false";
    else if (value.isFloat())
        writeFloat(out, value.convert<float>());
    else if (value.isString())
        writeString(out, value.convert<std::string>());
    else if (value.isMap())
        writeMap(out, value.convert<OVAnyMap>());
    else if (value.isVector())
        writeVector(out, value.convert<OVAnyVector>());
    else
        throw std::invalid_argument(std::string("mapToJson: a ") + value.typeName() + " has no JSON form");
}

} // namespace

OVAnyMap::OVAnyMap(std::initializer_list<value_type> entries) {
    for (const auto& entry : entries)
        set(entry.first, entry.second);
}

bool OVAnyMap::hasKey(const std::string& key) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const value_type& e) { return e.first == key; });
}

OVAny& OVAnyMap::at(const std::string& key) {
    for (auto& entry : entries_)
        if (entry.first == key)
            return entry.second;
    throw std::out_of_range("OVAnyMap: no key '" + key + "'");
}

const OVAny& OVAnyMap::at(const std::string& key) const { return const_cast<OVAnyMap*>(this)->at(key); }

void OVAnyMap::set(const std::string& key, OVAny value) {
    for (auto& entry : entries_) {
        if (entry.first == key) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(key, std::move(value));
}

bool OVAnyMap::remove(const std::string& key) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const value_type& e) { return e.first == key; });
    if (it == entries_.end())
        return false;
    entries_.erase(it);
    return true;
}

std::vector<std::string> OVAnyMap::keys() const {
    std::vector<std::string> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_)
        result.push_back(entry.first);
    return result;
}

std::string OVAnyMap::mapToJson(const OVAnyMap& map) {
    std::string out;
    writeMap(out, map);
    return out;
}

std::string OVAnyVector::vectorToJson(const OVAnyVector& vector) {
    std::string out;
    writeVector(out, vector);
    return out;
}

} // namespace orvanta
