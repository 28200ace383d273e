#include "tools/cli/ServiceTarget.h"

#include "OrvantaSDK/Orvanta.h"
#include "realtime/RealtimeEndpoint.h"
#include "token/TokenServiceEndpoint.h"
#include "tools/simulator/Simulator.h"

#include <cstdlib>
#include <stdexcept>

namespace orvanta::cli {

namespace {

// Dummies the simulator accepts: it takes any non-empty key and credentials.
const char* const kSimulatorKey = "simulator-key";
const char* const kSimulatorAppId = "demo-app";
const char* const kSimulatorAppSecret = "demo-secret";

std::string fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void storeAppCredentials(const std::string& appId, const std::string& appSecret) {
    Orvanta::setValue("orvanta", "appID", appId);
    Orvanta::setValue("orvanta", "appSecret", appSecret);
}

// "ws://host:port/v1/realtime" -> "http://host:port" (wss -> https).
std::string tokenBaseFor(const std::string& realtimeUrl) {
    std::string scheme;
    std::size_t rest = 0;
    if (realtimeUrl.rfind("ws://", 0) == 0) {
        scheme = "http://";
        rest = 5;
    } else if (realtimeUrl.rfind("wss://", 0) == 0) {
        scheme = "https://";
        rest = 6;
    } else {
        throw std::runtime_error("--simulator needs a ws:// or wss:// URL, not '" + realtimeUrl + "'");
    }
    const std::size_t slash = realtimeUrl.find('/', rest);
    return scheme + realtimeUrl.substr(rest, slash == std::string::npos ? std::string::npos : slash - rest);
}

} // namespace

struct ServiceTarget::Impl {
    std::unique_ptr<simulator::Simulator> simulator;
    bool overridden = false;
};

ServiceTarget::ServiceTarget(const CliOptions& options) : impl(std::make_unique<Impl>()) {
    if (options.live) {
        std::string appId = options.appId;
        std::string appSecret = options.appSecret;
        const bool credentialsGiven = !appId.empty() || !appSecret.empty();
        const std::string key = fromEnvironment("OPENAI_API_KEY");
        if (!credentialsGiven && !key.empty()) {
            apiKey = key;
            description = "OpenAI realtime service (key from OPENAI_API_KEY)";
            return;
        }
        if (!credentialsGiven) {
            appId = fromEnvironment("ORVANTA_APP_ID");
            appSecret = fromEnvironment("ORVANTA_APP_SECRET");
        }
        if (appId.empty() || appSecret.empty())
            throw std::runtime_error("--live needs OPENAI_API_KEY, or app credentials (--app-id and --app-secret, "
                                     "or ORVANTA_APP_ID and ORVANTA_APP_SECRET)");
        storeAppCredentials(appId, appSecret);
        description = "OpenAI realtime service (client secret from the token service)";
        return;
    }

    std::string realtimeUrl;
    std::string tokenBase;
    if (!options.simulatorUrl.empty()) {
        realtimeUrl = options.simulatorUrl;
        tokenBase = tokenBaseFor(realtimeUrl);
    } else {
        simulator::SimulatorOptions simulatorOptions;
        simulatorOptions.host = "127.0.0.1";
        simulatorOptions.port = 0;
        // With --fast the answer comes at once; the node buffers a minute.
        if (options.fast)
            simulatorOptions.pacing = 0;
        impl->simulator = std::make_unique<simulator::Simulator>(simulatorOptions);
        try {
            impl->simulator->start();
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot start the simulator: ") + e.what());
        }
        realtimeUrl = impl->simulator->realtimeUrl();
        tokenBase = impl->simulator->tokenBaseUrl();
    }
    extensions::openai::setRealtimeEndpointOverride(realtimeUrl);
    extensions::openai::setTokenServiceEndpointOverride(tokenBase);
    impl->overridden = true;
    description = "simulator at " + realtimeUrl;
    if (options.useToken) {
        storeAppCredentials(options.appId.empty() ? kSimulatorAppId : options.appId,
                            options.appSecret.empty() ? kSimulatorAppSecret : options.appSecret);
        description += " (client secret from its token service)";
    } else {
        apiKey = kSimulatorKey;
    }
}

ServiceTarget::~ServiceTarget() {
    if (impl->simulator)
        impl->simulator->stop();
    if (impl->overridden) {
        extensions::openai::clearRealtimeEndpointOverride();
        extensions::openai::clearTokenServiceEndpointOverride();
    }
}

} // namespace orvanta::cli
