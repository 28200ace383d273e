#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace asio {
template <typename Allocator>
class basic_streambuf;
}

namespace orvanta {
namespace websocket {

// One received frame (RFC 6455, section 5.2), filled in three steps that
// each consume a fixed number of bytes from the front of the receive buffer,
// and the encoder of outgoing frames. Used on the I/O thread only; `build`
// may be called from any thread.
class WebSocketFrame {
public:
    using Buffer = asio::basic_streambuf<std::allocator<char>>;

    // The complete encoded frame. A masked frame gets a fresh key from the
    // system's random source.
    static std::vector<uint8_t> build(const std::vector<uint8_t>& payload, bool fin, uint8_t opcode, bool masked);

    // Consume 2 bytes: FIN, opcode, MASK and the 7-bit length code. The
    // buffer must hold them.
    void parseHeader(Buffer& buffer);
    // Consume the extended length (0, 2 or 8 bytes) and the masking key
    // (4 bytes when masked).
    void parsePayloadLengthAndMask(Buffer& buffer);
    // Consume payloadLength bytes and unmask them.
    void parsePayload(Buffer& buffer);

    std::string toString() const;

    bool frameComplete = false;
    bool fin = false;
    uint8_t opcode = 0;
    bool masked = false;
    uint8_t maskingKey[4] = {0, 0, 0, 0};
    uint64_t payloadLength = 0;
    uint64_t extendedPayloadLengthBytes = 0;
    std::vector<uint8_t> payload;
};

std::ostream& operator<<(std::ostream& out, const WebSocketFrame& frame);

// The name of an opcode as the client's logs print it ("Text", "Ping", ...,
// "Unknown").
const char* opcodeName(uint8_t opcode);

} // namespace websocket
} // namespace orvanta
