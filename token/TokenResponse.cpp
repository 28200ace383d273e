#include "token/TokenResponse.h"

#include "OrvantaSDK/Logger.h"
#include "networkclient/SecretMask.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <exception>

namespace orvanta::extensions::openai {
namespace {

using nlohmann::json;

constexpr std::size_t maxRefusalText = 200;

Error unreadable(const std::string& what, const networkclient::NetworkResponse& response) {
    return Error("Failed to parse OpenAI token response: " + what + " (HTTP " +
                 std::to_string(response.statusCode) + ", " + std::to_string(response.body.size()) + " bytes)");
}

// The JSON library's own message quotes the bytes around the fault, which in
// a cut-off reply is the token itself; only the position is kept.
std::string syntaxFault(std::size_t byte, std::size_t size) {
    if (size == 0)
        return "the body is empty";
    if (byte > size)
        return "the JSON text ends early";
    if (byte == 0)
        return "the body is not JSON";
    return "the body is not JSON (syntax error at byte " + std::to_string(byte) + ")";
}

std::string wrongType(const std::string& member, const json& value, const char* wanted) {
    return member + " is a JSON " + value.type_name() + ", not " + wanted;
}

bool isWordByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
}

void replaceAll(std::string& text, const std::string& secret) {
    if (secret.empty())
        return;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
        text.replace(at, secret.size(), "***");
}

// "sk-..." is how OpenAI keys begin and "ek_..." how client secrets do.
void maskSecretShapedWords(std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const bool wordStart = i == 0 || !isWordByte(text[i - 1]);
        if (wordStart && (text.compare(i, 3, "sk-") == 0 || text.compare(i, 3, "ek_") == 0)) {
            while (i < text.size() && isWordByte(text[i]))
                ++i;
            out += "***";
        } else {
            out += text[i++];
        }
    }
    text.swap(out);
}

std::string refusalText(std::string message, const std::string& appSecret) {
    // Control characters first, so that none can hide a secret from the
    // replacements; the cut last, so that no secret is cut in half.
    for (char& c : message) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    replaceAll(message, appSecret);
    maskSecretShapedWords(message);
    if (message.size() > maxRefusalText) {
        std::size_t cut = maxRefusalText;
        while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xc0) == 0x80)
            --cut;  // not inside a UTF-8 sequence
        message.resize(cut);
        message += "...";
    }
    return message;
}

} // namespace

Result<std::string> interpretTokenResponse(const networkclient::NetworkResponse& response,
                                           const std::string& appSecret) {
    if (!response.error.empty()) {
        Logger::error("[OpenAITokenProvider] Network error: " + response.error);
        return Error("Failed to get OpenAI token: " + response.error);
    }
    // The status code is not consulted: the service explains refusals in the
    // body, and a body that does not follow the format is reported as such.
    // The JSON library takes a NUL byte for the end of the text.
    const std::size_t nul = response.body.find('\0');
    if (nul != std::string::npos)
        return unreadable(syntaxFault(nul + 1, response.body.size()), response);
    json reply;
    try {
        reply = json::parse(response.body);
    } catch (const json::parse_error& e) {
        return unreadable(syntaxFault(e.byte, response.body.size()), response);
    } catch (const std::exception&) {
        return unreadable("the body could not be read", response);
    }
    if (!reply.is_object())
        return unreadable("the body is a JSON " + std::string(reply.type_name()) + ", not an object", response);
    const auto success = reply.find("success");
    if (success == reply.end())
        return unreadable("\"success\" is missing", response);
    if (!success->is_boolean())
        return unreadable(wrongType("\"success\"", *success, "a boolean"), response);

    if (!success->get<bool>()) {
        const auto message = reply.find("message");
        if (message == reply.end() || !message->is_string())
            return Error("Failed to get OpenAI token: Unknown error");
        return Error("Failed to get OpenAI token: " + refusalText(message->get<std::string>(), appSecret));
    }
    const auto data = reply.find("data");
    if (data == reply.end())
        return unreadable("\"data\" is missing", response);
    if (!data->is_object())
        return unreadable(wrongType("\"data\"", *data, "an object"), response);
    const auto token = data->find("token");
    if (token == data->end())
        return unreadable("\"data\".\"token\" is missing", response);
    if (!token->is_string())
        return unreadable(wrongType("\"data\".\"token\"", *token, "a string"), response);
    return token->get<std::string>();
}

void handleTokenResponse(const networkclient::NetworkResponse& response, const TokenCallback& callback,
                         const std::string& appSecret) {
    if (Logger::getLevel() <= Logger::Level::Debug) {
        Logger::debug("[OpenAITokenProvider] Response status: " + std::to_string(response.statusCode));
        Logger::debug("[OpenAITokenProvider] Response body: " + networkclient::maskForLog(response.body));
    }
    // The result is complete before the callback runs, so an exception from
    // the callback can never be taken for a parse failure and reported to it
    // a second time.
    const Result<std::string> result = interpretTokenResponse(response, appSecret);
    callback(result);
}

} // namespace orvanta::extensions::openai
