#include "networkclient/SecretMask.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>

namespace orvanta {
namespace networkclient {
namespace {

constexpr std::size_t maxShownValue = 64;  // a longer "harmless" value is masked anyway
constexpr std::size_t maxLogText = 1024;

// `open` is the index of an opening quote; returns the index of its closing
// quote (text.size() if there is none, which a valid text rules out).
std::size_t closingQuote(const std::string& text, std::size_t open) {
    std::size_t i = open + 1;
    while (i < text.size() && text[i] != '"')
        i += text[i] == '\\' ? 2 : 1;
    return std::min(i, text.size());
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t skipBlanks(const std::string& text, std::size_t i) {
    while (i < text.size() && isBlank(text[i]))
        ++i;
    return i;
}

} // namespace

std::string maskForLog(const std::string& body, std::initializer_list<const char*> harmlessMembers) {
    // Validated first: the scan below relies on well-formed strings, and only
    // a valid text lets a member name be told from a stray value. The JSON
    // library takes a NUL byte for the end of the text, so it would pass
    // whatever follows one.
    if (body.find('\0') != std::string::npos || !nlohmann::json::accept(body))
        return "<" + std::to_string(body.size()) + " bytes, not JSON>";

    std::string out;
    out.reserve(std::min(body.size(), maxLogText));
    std::string lastName;        // the raw (still escaped) name of the member being read
    char previous = '\0';        // the last character outside a string
    std::size_t i = 0;
    while (i < body.size() && out.size() <= maxLogText) {
        if (body[i] != '"') {
            if (!isBlank(body[i]))
                previous = body[i];
            out += body[i++];
            continue;
        }
        const std::size_t close = closingQuote(body, i);
        const std::size_t next = close + 1;
        const std::size_t after = skipBlanks(body, next);
        const std::size_t length = close - i - 1;
        if (after < body.size() && body[after] == ':') {
            lastName.assign(body, i + 1, length);
            out.append(body, i, next - i);
        } else {
            // An escaped name ("ty\u0070e") never matches, which errs on the
            // masked side.
            const bool harmless = previous == ':' && length <= maxShownValue &&
                                  std::any_of(harmlessMembers.begin(), harmlessMembers.end(),
                                              [&](const char* name) { return lastName == name; });
            if (harmless)
                out.append(body, i, next - i);
            else
                out += "\"***\"";
        }
        previous = '"';
        i = next;
    }
    if (i < body.size()) {
        std::size_t cut = maxLogText;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80)
            --cut;  // not inside a UTF-8 sequence of a member name
        out.resize(cut);
        out += "... (" + std::to_string(body.size()) + " bytes)";
    }
    return out;
}

} // namespace networkclient
} // namespace orvanta
