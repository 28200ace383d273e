#pragma once

// Not installed: the opening handshake's text handling, apart from the
// sockets so that tests and fuzzers can reach it.

#include <cstddef>
#include <string>
#include <vector>

namespace orvanta {
namespace websocket {
namespace internal {

// Largest response header block (status line through the blank line) the
// client accepts; a server that sends more is cut off before we buffer it.
constexpr std::size_t maxHandshakeResponseSize = 64 * 1024;

// Why the request cannot be sent, or empty when host, request target and
// every subprotocol are safe to place in the request. The texts never echo
// the offending value: a subprotocol may carry a secret.
std::string validateRequestInputs(const std::string& host, const std::string& path,
                                  const std::vector<std::string>& protocols);

std::string buildHandshakeRequest(const std::string& host, const std::string& path,
                                  const std::vector<std::string>& protocols, const std::string& key);

// Offset just past the "\r\n\r\n" that ends the header block, or 0 when the
// first `limit` bytes hold none.
std::size_t findHeaderBlockEnd(const char* data, std::size_t size, std::size_t limit = maxHandshakeResponseSize);

struct HandshakeResponse {
    bool valid = false;
    std::string error;               // text for the owner when !valid
    std::string accept;
    std::string negotiatedProtocol;  // empty when the server named none
    bool protocolNamed = false;
};

// Checks the header block of the server's answer to a request sent with
// `key`: status 101 and the matching Sec-WebSocket-Accept.
HandshakeResponse parseHandshakeResponse(const std::string& headerBlock, const std::string& key);

} // namespace internal
} // namespace websocket
} // namespace orvanta
