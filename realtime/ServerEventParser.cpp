#include "realtime/ServerEventParser.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <new>

namespace orvanta::extensions::openai {

namespace {

// Enough for the events of a conversation; larger ones grow the parser.
constexpr size_t kInitialCapacity = 16 * 1024;

// Depth of nested arrays and objects, counted without parsing; strings are
// skipped so that brackets inside them do not count. Only for text simdjson
// refused, which never got as far as its own depth check. Counted exactly as
// before simdjson, down below zero too: the JSON library stops reading at a
// NUL byte, so even text with excess closing brackets after one may parse.
bool nestsDeeperThan(std::string_view text, long limit) {
    long depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"': inString = true; break;
        case '[':
        case '{':
            if (++depth > limit)
                return true;
            break;
        case ']':
        case '}': --depth; break;
        default: break;
        }
    }
    return false;
}

simdjson::dom::parser freshParser() {
    simdjson::dom::parser parser;
    if (parser.allocate(kInitialCapacity, ServerEventParser::kMaxDepth) != simdjson::SUCCESS)
        throw std::bad_alloc();
    return parser;
}

bool hexDigits(std::string_view raw, size_t at, uint32_t& value) {
    if (at + 4 > raw.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const char c = raw[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    return true;
}

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// The first byte below 0x20, which JSON allows in strings only escaped.
bool hasControlCharacter(std::string_view raw) {
    unsigned char below = 0;
    for (char c : raw)
        below |= static_cast<unsigned char>(static_cast<unsigned char>(c) < 0x20);
    return below != 0;
}

// Placeholders are "\u0000" and the index: a NUL nothing else in the
// document may start with.
constexpr std::string_view kPlaceholderStart = "\\u0000";

} // namespace

ServerEventParser::ServerEventParser() : parser(freshParser()) {}

bool ServerEventParser::decodeString(std::string_view raw, std::string* out) {
    if (out != nullptr)
        out->reserve(raw.size());
    size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] != '\\') {
            size_t next = raw.find('\\', i);
            if (next == std::string_view::npos)
                next = raw.size();
            if (out != nullptr)
                out->append(raw.data() + i, next - i);
            i = next;
            continue;
        }
        if (i + 1 >= raw.size())
            return false;
        char plain = 0;
        switch (raw[i + 1]) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
            uint32_t codePoint = 0;
            if (!hexDigits(raw, i + 2, codePoint))
                return false;
            i += 6;
            if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
                uint32_t low = 0;
                if (raw.substr(i, 2) != "\\u" || !hexDigits(raw, i + 2, low) || low < 0xDC00 || low > 0xDFFF)
                    return false;
                codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
                return false;
            }
            if (out != nullptr)
                appendUtf8(*out, codePoint);
            continue;
        }
        default: return false;
        }
        if (out != nullptr)
            *out += plain;
        i += 2;
    }
    return true;
}

std::optional<EventValue> ServerEventParser::parse(std::vector<uint8_t>& message) {
    if (std::optional<EventValue> root = parseText(message.data(), message.size(), &message))
        return root;
    const char* begin = reinterpret_cast<const char*>(message.data());
    const char* end = begin + message.size();
    if (nestsDeeperThan(std::string_view(begin, message.size()), static_cast<long>(kMaxDepth)))
        return std::nullopt;
    const nlohmann::json document =
        nlohmann::json::parse(begin, end, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (document.is_discarded())
        return std::nullopt;
    // Printed back, it is text simdjson takes, with the same values: the
    // print has no byte order mark, big integers become doubles (as the JSON
    // library read them), of repeated names only the last is left.
    normalised = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const size_t size = normalised.size();
    normalised.resize(size + simdjson::SIMDJSON_PADDING);
    return parseText(reinterpret_cast<uint8_t*>(normalised.data()), size, nullptr);
}

std::optional<EventValue> ServerEventParser::parseText(uint8_t* data, size_t size, std::vector<uint8_t>* growable) {
    heldOut.clear();
    simdjson::dom::element root;
    if (size > directLimit && holdOutStrings(data, size)) {
        buildSkeleton(data, size);
        const size_t skeletonSize = skeleton.size() - simdjson::SIMDJSON_PADDING;
        if (parser.parse(skeleton.data(), skeletonSize, false).get(root) != simdjson::SUCCESS)
            return std::nullopt;
        return EventValue(root, &heldOut);
    }
    // The document copies what it keeps, so the padding goes again at once.
    simdjson::error_code error = simdjson::SUCCESS;
    if (growable != nullptr) {
        growable->resize(size + simdjson::SIMDJSON_PADDING);
        error = parser.parse(growable->data(), size, false).get(root);
        growable->resize(size);
    } else {
        error = parser.parse(data, size, false).get(root);
    }
    if (error != simdjson::SUCCESS)
        return std::nullopt;
    return EventValue(root, nullptr);
}

bool ServerEventParser::canHoldOut(std::string_view raw, bool escaped) const {
    return raw.size() >= holdOutMinimum && !hasControlCharacter(raw) &&
           simdjson::validate_utf8(raw.data(), raw.size()) && (!escaped || decodeString(raw, nullptr));
}

// Finds the strings to hold out, scanning as a JSON lexer does: outside a
// string only a quote starts one, inside a backslash escapes the next byte.
// A string that cannot be held out stays in the skeleton as it is, where the
// parser judges it; so the skeleton is valid JSON exactly when the message is.
bool ServerEventParser::holdOutStrings(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
        const auto* quote = static_cast<const uint8_t*>(std::memchr(data + at, '"', size - at));
        if (quote == nullptr)
            break;
        const size_t start = static_cast<size_t>(quote - data) + 1;
        const auto* close = static_cast<const uint8_t*>(std::memchr(data + start, '"', size - start));
        if (close == nullptr)
            break; // unterminated: the parser refuses it
        size_t end = static_cast<size_t>(close - data);
        const void* backslash = std::memchr(data + start, '\\', end - start);
        const bool escaped = backslash != nullptr;
        if (escaped) {
            end = static_cast<size_t>(static_cast<const uint8_t*>(backslash) - data);
            while (end < size && data[end] != '"')
                end += data[end] == '\\' ? 2 : 1;
            if (end >= size)
                break;
        }
        const std::string_view raw(reinterpret_cast<const char*>(data) + start, end - start);
        if (canHoldOut(raw, escaped)) {
            heldOut.push_back({raw, escaped});
        } else if (raw.substr(0, kPlaceholderStart.size()) == kPlaceholderStart) {
            heldOut.clear(); // it could not be told from a placeholder
            return false;
        }
        at = end + 1;
    }
    return !heldOut.empty();
}

void ServerEventParser::buildSkeleton(const uint8_t* data, size_t size) {
    size_t skeletonSize = size;
    for (size_t i = 0; i < heldOut.size(); ++i)
        skeletonSize = skeletonSize - heldOut[i].raw.size() + kPlaceholderStart.size() + std::to_string(i).size();
    skeleton.clear();
    skeleton.reserve(skeletonSize + simdjson::SIMDJSON_PADDING);
    const uint8_t* copied = data;
    for (size_t i = 0; i < heldOut.size(); ++i) {
        const auto* start = reinterpret_cast<const uint8_t*>(heldOut[i].raw.data());
        skeleton.insert(skeleton.end(), copied, start);
        skeleton.insert(skeleton.end(), kPlaceholderStart.begin(), kPlaceholderStart.end());
        const std::string index = std::to_string(i);
        skeleton.insert(skeleton.end(), index.begin(), index.end());
        copied = start + heldOut[i].raw.size();
    }
    skeleton.insert(skeleton.end(), copied, data + size);
    skeleton.resize(skeleton.size() + simdjson::SIMDJSON_PADDING);
}

void ServerEventParser::release() {
    heldOut.clear();
    skeleton.clear();
    normalised.clear();
    if (skeleton.capacity() > kDirectLimit)
        std::vector<uint8_t>().swap(skeleton);
    if (normalised.capacity() > kDirectLimit)
        std::string().swap(normalised);
    if (parser.capacity() > kDirectLimit)
        parser = freshParser();
}

} // namespace orvanta::extensions::openai
