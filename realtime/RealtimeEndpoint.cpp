#include "realtime/RealtimeEndpoint.h"

#include <mutex>

namespace orvanta::extensions::openai {
namespace {

const char* const kServiceEndpoint = "wss://api.openai.com/v1/realtime";

struct EndpointOverride {
    std::mutex mutex;
    std::string baseUrl; // empty: no override
};

EndpointOverride& endpointOverride() {
    static EndpointOverride state;
    return state;
}

} // namespace

void setRealtimeEndpointOverride(const std::string& baseUrl) {
    auto& state = endpointOverride();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.baseUrl = baseUrl;
}

void clearRealtimeEndpointOverride() { setRealtimeEndpointOverride(std::string()); }

std::string realtimeEndpoint() {
    auto& state = endpointOverride();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.baseUrl.empty() ? std::string(kServiceEndpoint) : state.baseUrl;
}

} // namespace orvanta::extensions::openai
