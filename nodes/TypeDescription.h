#pragma once

#include "OrvantaSDK/OVAnyMap.h"
#include "OrvantaSDK/OVAnyVector.h"

#include <initializer_list>
#include <string>
#include <utility>

// Builders for the entries of a node's type description. Both nodes describe
// themselves with the same shapes; these keep the key spellings in one place.
namespace orvanta::extensions::openai::description {

inline OVAnyMap configurationEntry(const std::string& type, const std::string& name, const std::string& text,
                                   const OVAny& defaultValue) {
    return OVAnyMap{{"type", type}, {"name", name}, {"description", text}, {"default", defaultValue}};
}

// "inputChunkMs", the same on both nodes.
inline OVAnyMap inputChunkConfiguration() {
    OVAnyMap entry = configurationEntry(
        "int", "Input Chunk Duration",
        "Duration of the pieces in which input audio is sent to OpenAI, in milliseconds: a multiple of 10 from 20 "
        "to 1000. Shorter pieces reach OpenAI sooner, so it notices the end of a turn earlier; 1000 sends one "
        "message per second.",
        1000);
    entry.set("min", 20);
    entry.set("max", 1000);
    entry.set("unit", "ms");
    return entry;
}

inline OVAnyMap propertyEntry(const std::string& type, const std::string& text, const OVAny& defaultValue) {
    return OVAnyMap{{"type", type}, {"description", text}, {"default", defaultValue}, {"readOnly", false}};
}

inline OVAnyVector options(std::initializer_list<const char*> values) {
    OVAnyVector list;
    for (const char* v : values)
        list.push_back(OVAny(v));
    return list;
}

struct Parameter {
    std::string name;
    std::string text;
    bool isOptional;
};

inline OVAnyMap actionEntry(const std::string& text, std::initializer_list<Parameter> parameters = {}) {
    OVAnyMap entry{{"description", text}};
    if (parameters.size() > 0) {
        OVAnyMap params;
        for (const auto& p : parameters)
            params.set(p.name, OVAnyMap{{"name", p.name},
                                        {"type", "string"},
                                        {"description", p.text},
                                        {"isOptional", p.isOptional}});
        entry.set("parameters", params);
    }
    return entry;
}

inline OVAnyMap eventEntry(const std::string& name, const std::string& text,
                           std::initializer_list<std::pair<const char*, const char*>> data = {}) {
    OVAnyMap entry{{"name", name}, {"description", text}};
    if (data.size() > 0) {
        OVAnyMap fields;
        for (const auto& [key, keyText] : data)
            fields.set(key, OVAnyMap{{"name", key}, {"type", "string"}, {"description", keyText}});
        entry.set("data", fields);
    }
    return entry;
}

} // namespace orvanta::extensions::openai::description
