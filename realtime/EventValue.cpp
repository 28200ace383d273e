#include "realtime/EventValue.h"

#include "realtime/ServerEventParser.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace orvanta::extensions::openai {

using simdjson::dom::element_type;

namespace {

std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

} // namespace

bool EventValue::isNumber() const {
    const element_type type = element_.type();
    return type == element_type::INT64 || type == element_type::UINT64 || type == element_type::DOUBLE;
}

const HeldOutString& EventValue::heldOut(std::string_view placeholder) const {
    // The parser writes the index in decimal after the NUL, and no other
    // string of such a document starts with a NUL.
    size_t index = 0;
    for (char c : placeholder.substr(1))
        index = index * 10 + static_cast<size_t>(c - '0');
    return (*heldOut_)[index];
}

std::string EventValue::decoded(std::string_view documentText) const {
    if (!isPlaceholder(documentText))
        return std::string(documentText);
    const HeldOutString& held = heldOut(documentText);
    if (!held.escaped)
        return std::string(held.raw);
    std::string out;
    ServerEventParser::decodeString(held.raw, &out); // validated when it was held out
    return out;
}

bool EventValue::nameIs(std::string_view documentName, std::string_view key) const {
    if (!isPlaceholder(documentName))
        return documentName == key;
    const HeldOutString& held = heldOut(documentName);
    return held.escaped ? decoded(documentName) == key : held.raw == key;
}

std::optional<EventValue> EventValue::find(std::string_view key) const {
    simdjson::dom::object object;
    if (element_.get_object().get(object) != simdjson::SUCCESS)
        return std::nullopt;
    std::optional<EventValue> found;
    for (const simdjson::dom::key_value_pair& field : object)
        if (nameIs(field.key, key))
            found.emplace(field.value, heldOut_);
    return found;
}

EventValue EventValue::member(std::string_view key) const {
    if (!isObject())
        throw EventError("expected an object with " + quoted(key));
    std::optional<EventValue> value = find(key);
    if (!value)
        throw EventError(quoted(key) + " is missing");
    return *value;
}

std::string EventValue::text(std::string_view what) const {
    std::string_view documentText;
    if (element_.get_string().get(documentText) != simdjson::SUCCESS)
        throw EventError(quoted(what) + " is not a string");
    return decoded(documentText);
}

std::string EventValue::string(std::string_view key) const { return member(key).text(key); }

std::string EventValue::stringOr(std::string_view key, std::string_view fallback) const {
    if (!isObject())
        throw EventError("expected an object with " + quoted(key));
    std::optional<EventValue> value = find(key);
    return value ? value->text(key) : std::string(fallback);
}

double EventValue::number() const {
    return element_.get_double().value_unsafe(); // any number converts
}

int EventValue::toInt(std::string_view what) const {
    switch (element_.type()) {
    case element_type::INT64: {
        const int64_t value = element_.get_int64().value_unsafe();
        if (value >= INT_MIN && value <= INT_MAX)
            return static_cast<int>(value);
        break;
    }
    case element_type::UINT64: break; // beyond int64, so beyond int
    case element_type::DOUBLE: {
        const double value = number();
        // A conversion from outside the range would be undefined.
        if (std::isfinite(value) && value >= INT_MIN && value <= INT_MAX)
            return static_cast<int>(value);
        break;
    }
    case element_type::BOOL: {
        return element_.get_bool().value_unsafe() ? 1 : 0;
    }
    default: throw EventError(quoted(what) + " is not a number");
    }
    throw EventError(quoted(what) + " is out of range");
}

std::vector<EventValue> EventValue::objectValuesInNameOrder() const {
    struct Named {
        std::string name;
        simdjson::dom::element value;
    };
    std::vector<Named> fields;
    const simdjson::dom::object object = element_.get_object().value_unsafe();
    for (const simdjson::dom::key_value_pair& field : object)
        fields.push_back({decoded(field.key), field.value});
    // Names compare bytewise, as std::string does; of equal names the last
    // one stays.
    std::stable_sort(fields.begin(), fields.end(), [](const Named& a, const Named& b) { return a.name < b.name; });
    std::vector<EventValue> values;
    for (size_t i = 0; i < fields.size(); ++i)
        if (i + 1 == fields.size() || fields[i + 1].name != fields[i].name)
            values.emplace_back(fields[i].value, heldOut_);
    return values;
}

} // namespace orvanta::extensions::openai
