#include "networkclient/SecretMask.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace orvanta {
namespace networkclient {
namespace {

constexpr std::array<const char*, 6> secretNames = {"appSecret", "token", "secret", "client_secret", "apiKey",
                                                    "api_key"};

bool isSecretName(const std::string& text, std::size_t begin, std::size_t end) {
    const std::size_t length = end - begin;
    return std::any_of(secretNames.begin(), secretNames.end(), [&](const char* name) {
        return text.compare(begin, length, name) == 0;
    });
}

// `open` is the index of an opening quote; returns the index of its closing
// quote, or text.size() when the string is not terminated.
std::size_t closingQuote(const std::string& text, std::size_t open) {
    std::size_t i = open + 1;
    while (i < text.size()) {
        if (text[i] == '\\')
            i += 2;
        else if (text[i] == '"')
            return i;
        else
            ++i;
    }
    return text.size();
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::string maskSecretValues(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '"') {
            out += text[i++];
            continue;
        }
        const std::size_t close = closingQuote(text, i);
        const std::size_t stringEnd = std::min(close + 1, text.size());
        out.append(text, i, stringEnd - i);
        const bool secretName = close < text.size() && isSecretName(text, i + 1, close);
        i = stringEnd;
        if (!secretName)
            continue;

        std::size_t j = i;
        while (j < text.size() && isBlank(text[j]))
            ++j;
        if (j >= text.size() || text[j] != ':')
            continue;  // a value that happens to read like a secret's name
        ++j;
        while (j < text.size() && isBlank(text[j]))
            ++j;
        if (j >= text.size() || text[j] != '"')
            continue;
        out.append(text, i, j - i);
        out += "\"***\"";
        i = std::min(closingQuote(text, j) + 1, text.size());
    }
    return out;
}

} // namespace networkclient
} // namespace orvanta
