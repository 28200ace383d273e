// The server's answer to the opening handshake, as the client bounds and
// parses it.
#include "websocket/Handshake.h"
#include "websocket/internal/HandshakeParser.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace orvanta::websocket;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::size_t end = internal::findHeaderBlockEnd(text, size, 4096);
    if (end > size || (end != 0 && (end < 4 || std::string(text + end - 4, 4) != "\r\n\r\n"))) std::abort();
    const std::string block(text, end == 0 ? size : end);
    static const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    const auto response = internal::parseHandshakeResponse(block, key);
    if (response.valid && (response.accept != generateAcceptKey(key) || !response.error.empty())) std::abort();
    if (!response.valid && response.error.empty()) std::abort();
    return 0;
}
