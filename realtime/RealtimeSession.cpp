#include "realtime/RealtimeSession.h"

#include "realtime/EventValue.h"

#include <optional>

namespace orvanta::extensions::openai {
namespace {

void copyString(const std::optional<EventValue>& parent, const char* key, std::string& field) {
    if (!parent)
        return;
    const std::optional<EventValue> value = parent->find(key);
    if (value && value->isString())
        field = value->text(key);
}

} // namespace

void RealtimeSession::updateFromJson(const EventValue& session) {
    if (!session.isObject())
        return;
    const std::optional<EventValue> self = session;
    copyString(self, "id", id);
    copyString(self, "object", object);
    copyString(self, "model", model);
    copyString(self, "instructions", instructions);
    copyString(self, "tool_choice", toolChoice);

    // Lookups stop quietly at the first level that is missing or not an
    // object; the output side is read even without an input format.
    const std::optional<EventValue> audio = session.find("audio");
    if (!audio || !audio->isObject())
        return;
    const std::optional<EventValue> input = audio->find("input");
    copyString(input ? input->find("format") : std::nullopt, "type", inputAudioFormat);

    const std::optional<EventValue> output = audio->find("output");
    if (!output || !output->isObject())
        return;
    copyString(output->find("format"), "type", outputAudioFormat);
    copyString(output, "voice", voice);
    const std::optional<EventValue> outputSpeed = output->find("speed");
    if (outputSpeed && outputSpeed->isNumber())
        speed = outputSpeed->number();
}

} // namespace orvanta::extensions::openai
