#include "realtime/RealtimeSession.h"

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai {
namespace {

using nlohmann::json;

// The member when `parent` is an object that has it, else null.
const json* member(const json* parent, const char* key) {
    if (parent == nullptr || !parent->is_object())
        return nullptr;
    auto it = parent->find(key);
    return it == parent->end() ? nullptr : &*it;
}

void copyString(const json* parent, const char* key, std::string& field) {
    const json* value = member(parent, key);
    if (value != nullptr && value->is_string())
        field = value->get<std::string>();
}

} // namespace

void RealtimeSession::updateFromJson(const json& session) {
    if (!session.is_object())
        return;
    copyString(&session, "id", id);
    copyString(&session, "object", object);
    copyString(&session, "model", model);
    copyString(&session, "instructions", instructions);
    copyString(&session, "tool_choice", toolChoice);

    const json* audio = member(&session, "audio");
    if (audio == nullptr || !audio->is_object())
        return;
    const json* input = member(audio, "input");
    copyString(member(input, "format"), "type", inputAudioFormat);

    const json* output = member(audio, "output");
    if (output == nullptr || !output->is_object())
        return;
    copyString(member(output, "format"), "type", outputAudioFormat);
    copyString(output, "voice", voice);
    const json* outputSpeed = member(output, "speed");
    if (outputSpeed != nullptr && outputSpeed->is_number())
        speed = outputSpeed->get<double>();
}

} // namespace orvanta::extensions::openai
