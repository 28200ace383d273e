#include "token/TokenResponse.h"

#include "OrvantaSDK/Logger.h"
#include "networkclient/SecretMask.h"

#include <nlohmann/json.hpp>

#include <exception>

namespace orvanta::extensions::openai {

Result<std::string> interpretTokenResponse(const networkclient::NetworkResponse& response) {
    if (!response.error.empty()) {
        Logger::error("[OpenAITokenProvider] Network error: " + response.error);
        return Error("Failed to get OpenAI token: " + response.error);
    }
    // The status code is not consulted: the service explains refusals in the
    // body, and a body that does not follow the format is reported as such.
    try {
        const nlohmann::json reply = nlohmann::json::parse(response.body);
        if (reply.at("success").get<bool>())
            return reply.at("data").at("token").get<std::string>();
        std::string message = "Unknown error";
        if (reply.is_object()) {
            const auto it = reply.find("message");
            if (it != reply.end() && it->is_string())
                message = it->get<std::string>();
        }
        return Error("Failed to get OpenAI token: " + message);
    } catch (const std::exception& e) {
        return Error(std::string("Failed to parse OpenAI token response: ") + e.what());
    }
}

void handleTokenResponse(const networkclient::NetworkResponse& response, const TokenCallback& callback) {
    if (Logger::getLevel() <= Logger::Level::Debug) {
        Logger::debug("[OpenAITokenProvider] Response status: " + std::to_string(response.statusCode));
        Logger::debug("[OpenAITokenProvider] Response body: " + networkclient::maskSecretValues(response.body));
    }
    // The result is complete before the callback runs, so an exception from
    // the callback can never be taken for a parse failure and reported to it
    // a second time.
    const Result<std::string> result = interpretTokenResponse(response);
    callback(result);
}

} // namespace orvanta::extensions::openai
