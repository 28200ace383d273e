#include "token/TokenServiceEndpoint.h"

#include <mutex>

namespace orvanta::extensions::openai {
namespace {

struct EndpointState {
    std::mutex mutex;
    std::string baseOverride;  // empty: the production service
};

EndpointState& state() {
    static EndpointState s;
    return s;
}

} // namespace

void setTokenServiceEndpointOverride(const std::string& baseUrl) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().baseOverride = baseUrl;
}

void clearTokenServiceEndpointOverride() {
    setTokenServiceEndpointOverride(std::string());
}

std::string tokenServiceURL() {
    std::lock_guard<std::mutex> lock(state().mutex);
    const std::string base =
        state().baseOverride.empty() ? std::string(tokenServiceDefaultBaseURL) : state().baseOverride;
    return base + tokenServicePath;
}

} // namespace orvanta::extensions::openai
