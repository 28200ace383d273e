#pragma once

#include <string>

// For the library's own tools and tests only; this header is not installed.
//
// OpenAITokenProvider posts the application's credentials to the vendor's
// token service, "https://api.orvanta.com/openai/realtime/client-secret". A
// test or the simulator may point requests made afterwards at another base
// URL (scheme, host and port, such as "http://127.0.0.1:8123"); the path
// "/openai/realtime/client-secret" is always appended. A test CA and short
// timeouts for such a server are set through networkclient/TransferSettings.h.
// Nothing a host application passes to the library reaches this, so the
// credentials go nowhere else in production.
//
// Threads: any thread; the provider reads the URL at every getToken call.
namespace orvanta::extensions::openai {

inline constexpr const char* tokenServiceDefaultBaseURL = "https://api.orvanta.com";
inline constexpr const char* tokenServicePath = "/openai/realtime/client-secret";

void setTokenServiceEndpointOverride(const std::string& baseUrl);
void clearTokenServiceEndpointOverride();

// The full URL a token request made now would go to.
std::string tokenServiceURL();

} // namespace orvanta::extensions::openai
