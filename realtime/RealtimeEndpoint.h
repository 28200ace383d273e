#pragma once

#include <string>

// For the library's own tools and tests only; this header is not installed.
//
// Every OpenAIWebSocketClient connects to the service's public endpoint,
// "wss://api.openai.com/v1/realtime". A test or the simulator's command-line
// tool may point clients created afterwards at another base URL, such as
// "ws://127.0.0.1:8123/v1/realtime"; the client appends its "?model=" or
// "?intent=transcription" query to it. To trust a local TLS simulator's test
// CA, set OpenSSL's SSL_CERT_FILE in the environment: there is no second
// override. Nothing a host application passes to the library reaches this.
//
// Threads: any thread; a client reads the endpoint once, in its constructor.
namespace orvanta::extensions::openai {

void setRealtimeEndpointOverride(const std::string& baseUrl);
void clearRealtimeEndpointOverride();

// The base URL a client created now would use.
std::string realtimeEndpoint();

} // namespace orvanta::extensions::openai
