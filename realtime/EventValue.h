#pragma once

// Not installed, and included only by the library's own sources: it brings in
// simdjson, whose types must be compiled with the definitions its package
// exports.

#include <simdjson.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::extensions::openai {

// A server event that breaks a rule of its type: a required member missing
// or of the wrong kind, a number out of range.
class EventError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A string of a large message that the parser kept out of its document and
// left in the message itself (see ServerEventParser); the document holds a
// placeholder in its place.
struct HeldOutString {
    std::string_view raw; // between the quotes, as received
    bool escaped;         // raw holds escape sequences still to decode
};

// One value of a parsed server event, with the reads the dispatch makes and
// the rules they follow:
// - Objects are read as maps: of repeated names the last one counts, and
//   iterating an object visits its values in byte order of their names.
// - Required reads (member, string) throw EventError when the value is not
//   an object, or the member is missing or of the wrong kind.
// - Optional reads (find, stringOr) give nothing or the fallback when the
//   member is absent; stringOr still throws when this is not an object or the
//   member is present but not a string.
//
// A view: valid while the parser's document and the message it came from are.
// I/O thread only, like the parser.
class EventValue {
public:
    EventValue(simdjson::dom::element element, const std::vector<HeldOutString>* heldOut)
        : element_(element), heldOut_(heldOut) {}

    bool isObject() const { return element_.type() == simdjson::dom::element_type::OBJECT; }
    bool isString() const { return element_.type() == simdjson::dom::element_type::STRING; }
    bool isNumber() const;

    // The member named `key` (the last one of that name), if this is an
    // object that has one.
    std::optional<EventValue> find(std::string_view key) const;
    EventValue member(std::string_view key) const;
    std::string string(std::string_view key) const;
    std::string stringOr(std::string_view key, std::string_view fallback) const;
    // The text of the string member `key` handed to `use` without a copy
    // where the document allows; throws as string() does.
    template <class Use> void withString(std::string_view key, Use&& use) const;

    // This value's own text; throws EventError (naming `what`) when it is
    // not a string.
    std::string text(std::string_view what) const;
    // Any number as a double; only for values that are numbers.
    double number() const;
    // The value as an int, as the first build read it: numbers that fit
    // (fractions cut off), true and false as 1 and 0; EventError otherwise.
    int toInt(std::string_view what) const;

    // Calls `visit` with each element of an array, each member value of an
    // object (in name order), nothing for null, and the value itself for any
    // other kind.
    template <class Visit> void forEachElement(Visit&& visit) const;

private:
    // The document's text of a string, or what it stands for.
    bool isPlaceholder(std::string_view documentText) const {
        return heldOut_ != nullptr && !documentText.empty() && documentText[0] == '\0';
    }
    const HeldOutString& heldOut(std::string_view placeholder) const;
    std::string decoded(std::string_view documentText) const;
    bool nameIs(std::string_view documentName, std::string_view key) const;
    std::vector<EventValue> objectValuesInNameOrder() const;

    simdjson::dom::element element_;
    const std::vector<HeldOutString>* heldOut_;
};

template <class Use> void EventValue::withString(std::string_view key, Use&& use) const {
    const EventValue value = member(key);
    std::string_view documentText;
    if (value.element_.get_string().get(documentText) != simdjson::SUCCESS)
        throw EventError("\"" + std::string(key) + "\" is not a string");
    if (!isPlaceholder(documentText)) {
        use(documentText);
        return;
    }
    const HeldOutString& held = heldOut(documentText);
    if (!held.escaped) {
        use(held.raw);
        return;
    }
    use(std::string_view(decoded(documentText)));
}

template <class Visit> void EventValue::forEachElement(Visit&& visit) const {
    switch (element_.type()) {
    case simdjson::dom::element_type::ARRAY: {
        const simdjson::dom::array array = element_.get_array().value_unsafe();
        for (simdjson::dom::element child : array)
            visit(EventValue(child, heldOut_));
        break;
    }
    case simdjson::dom::element_type::OBJECT:
        for (const EventValue& child : objectValuesInNameOrder())
            visit(child);
        break;
    case simdjson::dom::element_type::NULL_VALUE: break;
    default: visit(*this); break;
    }
}

} // namespace orvanta::extensions::openai
