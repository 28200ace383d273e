#pragma once

#include "OrvantaSDK/OVAnyVector.h"

#include <map>
#include <string>

namespace orvanta::cli {

// Canned answers to the model's tool calls, read from a JSON object that maps
// each tool name to its result, and the reading of tool definitions for the
// node's "tools" property. Read-only after loading, so any thread may ask.
class ToolAnswers {
public:
    struct Answer {
        bool found = false;
        std::string json; // the result, or an error object when not found
    };

    ToolAnswers() = default;

    // Throws std::runtime_error with a one-line reason when the file cannot
    // be read or is not a JSON object.
    static ToolAnswers load(const std::string& path);
    // Same, from JSON text; `origin` names it in messages.
    static ToolAnswers parse(const std::string& text, const std::string& origin);

    // The canned result as compact JSON text, or {"error":"..."} for a tool
    // without one (the model is told rather than left waiting).
    Answer answerFor(const std::string& toolName) const;

    // A JSON array of tool definitions as host values (objects become
    // OVAnyMap, arrays OVAnyVector, numbers float). Throws like load().
    static OVAnyVector loadDefinitions(const std::string& path);
    static OVAnyVector parseDefinitions(const std::string& text, const std::string& origin);

private:
    std::map<std::string, std::string> results;
};

} // namespace orvanta::cli
