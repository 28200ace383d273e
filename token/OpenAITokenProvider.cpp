#include "token/OpenAITokenProvider.h"

#include "OrvantaSDK/Logger.h"
#include "OrvantaSDK/Orvanta.h"
#include "networkclient/NetworkSession.h"
#include "networkclient/SecretMask.h"
#include "token/TokenResponse.h"
#include "token/TokenServiceEndpoint.h"

#include <nlohmann/json.hpp>

#include <any>
#include <exception>
#include <mutex>
#include <vector>

namespace orvanta::extensions::openai {
namespace {

const char* const configurationSection = "orvanta";

bool isValidUTF8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

// Reads one credential; on failure logs and fills `problem` with a message
// that names the key.
bool readCredential(const char* key, std::string& value, std::string& problem) {
    const Result<OVAny> stored = Orvanta::getValue(configurationSection, key);
    std::string detail;
    if (stored.hasError()) {
        detail = stored.getError().getMessage();
    } else {
        try {
            std::string text = stored.getValue().convert<std::string>();
            // Checked here, where the problem can be named without quoting
            // the value; the request could not be serialised otherwise.
            if (isValidUTF8(text)) {
                value = std::move(text);
                return true;
            }
            detail = std::string("the value of '") + key + "' in section '" + configurationSection +
                     "' is not valid UTF-8 text.";
        } catch (const std::bad_any_cast&) {
            detail = std::string("the value of '") + key + "' in section '" + configurationSection +
                     "' is not a string.";
        }
    }
    problem = std::string("Failed to get Orvanta ") + key + ": " + detail;
    Logger::error("[OpenAITokenProvider] " + problem);
    return false;
}

} // namespace

struct OpenAITokenProvider::Internals {
    networkclient::NetworkSession session;  // first, so its worker runs for the provider's lifetime

    std::mutex credentialsMutex;  // guards the four members below
    std::string appId;
    std::string appSecret;
    bool haveAppId = false;
    bool haveAppSecret = false;

    // Fills in whatever is still missing. Returns false with a message naming
    // the first key that cannot be read.
    bool ensureCredentials(std::string& id, std::string& secret, std::string& problem) {
        std::lock_guard<std::mutex> lock(credentialsMutex);
        if (!haveAppId)
            haveAppId = readCredential("appID", appId, problem);
        if (haveAppId && !haveAppSecret)
            haveAppSecret = readCredential("appSecret", appSecret, problem);
        id = appId;
        secret = appSecret;
        return haveAppId && haveAppSecret;
    }
};

OpenAITokenProvider& OpenAITokenProvider::shared() {
    static OpenAITokenProvider instance;
    return instance;
}

OpenAITokenProvider::OpenAITokenProvider() : internals(std::make_unique<Internals>()) {
    // Read now so a misconfiguration shows in the log at once; whatever is
    // missing is looked up again by getToken, since the application may
    // still set it.
    std::string id, secret, problem;
    internals->ensureCredentials(id, secret, problem);
}

OpenAITokenProvider::~OpenAITokenProvider() = default;

void OpenAITokenProvider::getToken(std::function<void(const Result<std::string>&)> callback,
                                   const std::string& sessionConfig) {
    nlohmann::json configuration;
    try {
        configuration = nlohmann::json::parse(sessionConfig, nullptr, true, false);
    } catch (const std::exception& e) {
        const std::string message = std::string("Invalid sessionConfig JSON: ") + e.what();
        Logger::error("[OpenAITokenProvider] " + message);
        callback(Error(message));
        return;
    }

    std::string appId, appSecret, problem;
    if (!internals->ensureCredentials(appId, appSecret, problem)) {
        callback(Error(problem));
        return;
    }

    // The JSON library orders members by name, which gives the service's
    // order: "appId", "appSecret", "sessionConfig".
    nlohmann::json request = nlohmann::json::object();
    request["appId"] = appId;
    request["appSecret"] = appSecret;
    request["sessionConfig"] = std::move(configuration);
    std::string body;
    try {
        body = request.dump();
    } catch (const std::exception&) {
        // Not expected: the credentials were checked when read and the
        // configuration was parsed. The JSON library's text would quote the
        // offending byte of a credential, so it is not passed on.
        const std::string message = "Failed to build the token request: a value is not valid UTF-8 text.";
        Logger::error("[OpenAITokenProvider] " + message);
        callback(Error(message));
        return;
    }

    const std::string url = tokenServiceURL();
    Logger::info("[OpenAITokenProvider] Requesting client secret from: " + url);
    if (Logger::getLevel() <= Logger::Level::Debug)
        Logger::debug("[OpenAITokenProvider] Request body: " +
                      networkclient::maskForLog(body, networkclient::harmlessRequestMembers));

    // The handler shares the callback with the failure path below, which runs
    // only when the handler will never run.
    auto shared = std::make_shared<std::function<void(const Result<std::string>&)>>(std::move(callback));
    const int id = internals->session.makePostRequest(
        url, {"Content-Type: application/json"}, body,
        [shared, appSecret](networkclient::NetworkResponse response) {
            handleTokenResponse(response, *shared, appSecret);
        });
    if (id == 0) {
        Logger::error("[OpenAITokenProvider] Could not start the token request.");
        (*shared)(Error("Failed to get OpenAI token: the request could not be started."));
    }
}

} // namespace orvanta::extensions::openai
