#include "tools/cli/ToolAnswers.h"

#include "OrvantaSDK/OVAnyMap.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvanta::cli {

namespace {

using nlohmann::json;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read '" + path + "'");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

json parseJson(const std::string& text, const std::string& origin) {
    try {
        return json::parse(text);
    } catch (const json::exception& e) {
        throw std::runtime_error(origin + " is not valid JSON: " + e.what());
    }
}

OVAny toHost(const json& value) {
    switch (value.type()) {
    case json::value_t::object: {
        OVAnyMap map;
        for (const auto& [key, item] : value.items())
            map.set(key, toHost(item));
        return OVAny(map);
    }
    case json::value_t::array: {
        OVAnyVector vector;
        for (const auto& item : value)
            vector.push_back(toHost(item));
        return OVAny(vector);
    }
    case json::value_t::string:
        return OVAny(value.get<std::string>());
    case json::value_t::boolean:
        return OVAny(value.get<bool>());
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
        return OVAny(value.get<double>());
    default:
        return OVAny();
    }
}

} // namespace

ToolAnswers ToolAnswers::load(const std::string& path) { return parse(readFile(path), "'" + path + "'"); }

ToolAnswers ToolAnswers::parse(const std::string& text, const std::string& origin) {
    const json document = parseJson(text, origin);
    if (!document.is_object())
        throw std::runtime_error(origin + " must hold a JSON object: tool name -> result");
    ToolAnswers answers;
    for (const auto& [name, result] : document.items())
        answers.results[name] = result.dump(-1, ' ', false, json::error_handler_t::replace);
    return answers;
}

ToolAnswers::Answer ToolAnswers::answerFor(const std::string& toolName) const {
    const auto it = results.find(toolName);
    if (it != results.end())
        return {true, it->second};
    const json error{{"error", "no result for tool '" + toolName + "'"}};
    return {false, error.dump(-1, ' ', false, json::error_handler_t::replace)};
}

OVAnyVector ToolAnswers::loadDefinitions(const std::string& path) {
    return parseDefinitions(readFile(path), "'" + path + "'");
}

OVAnyVector ToolAnswers::parseDefinitions(const std::string& text, const std::string& origin) {
    const json document = parseJson(text, origin);
    if (!document.is_array())
        throw std::runtime_error(origin + " must hold a JSON array of tool definitions");
    for (const auto& tool : document)
        if (!tool.is_object())
            throw std::runtime_error(origin + ": every tool definition must be a JSON object");
    return toHost(document).convert<OVAnyVector>();
}

} // namespace orvanta::cli
