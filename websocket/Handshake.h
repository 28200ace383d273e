#pragma once

#include <random>
#include <string>

namespace orvanta {
namespace websocket {

// The client's Sec-WebSocket-Key: Base64 of 16 bytes drawn from `rng`
// (24 characters ending in "=="). Called on the I/O thread.
std::string generateNonce(std::mt19937& rng);

// The Sec-WebSocket-Accept value a compliant server derives from `key`
// (RFC 6455, section 4.2.2). Any thread.
std::string generateAcceptKey(const std::string& key);

} // namespace websocket
} // namespace orvanta
