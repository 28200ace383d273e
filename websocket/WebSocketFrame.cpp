#include "websocket/WebSocketFrame.h"

#include <asio/streambuf.hpp>

#include <ios>
#include <istream>
#include <random>
#include <sstream>

namespace orvanta {
namespace websocket {

namespace {

void consume(WebSocketFrame::Buffer& buffer, uint8_t* out, std::size_t count) {
    std::istream in(&buffer);
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
}

} // namespace

std::vector<uint8_t> WebSocketFrame::build(const std::vector<uint8_t>& payload, bool fin, uint8_t opcode, bool masked) {
    const uint64_t n = payload.size();
    std::vector<uint8_t> frame;
    frame.reserve(2 + 8 + 4 + payload.size());
    frame.push_back(static_cast<uint8_t>((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
    const uint8_t maskBit = masked ? 0x80 : 0x00;
    if (n < 126) {
        frame.push_back(static_cast<uint8_t>(maskBit | n));
    } else if (n <= 0xFFFF) {
        frame.push_back(static_cast<uint8_t>(maskBit | 126));
        frame.push_back(static_cast<uint8_t>(n >> 8));
        frame.push_back(static_cast<uint8_t>(n));
    } else {
        frame.push_back(static_cast<uint8_t>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<uint8_t>(n >> shift));
        }
    }
    if (!masked) {
        frame.insert(frame.end(), payload.begin(), payload.end());
        return frame;
    }
    // RFC 6455, section 10.3: the key must not be predictable, so it comes
    // from the system source rather than a seeded engine.
    std::random_device random("/dev/urandom");
    uint8_t key[4];
    for (auto& k : key) k = static_cast<uint8_t>(random() & 0xFF);
    frame.insert(frame.end(), key, key + 4);
    const std::size_t start = frame.size();
    frame.resize(start + payload.size());
    uint8_t* out = frame.data() + start;
    const uint8_t* in = payload.data();
    for (std::size_t i = 0; i < payload.size(); ++i) {
        out[i] = static_cast<uint8_t>(in[i] ^ key[i & 3]);
    }
    return frame;
}

void WebSocketFrame::parseHeader(Buffer& buffer) {
    uint8_t b[2] = {0, 0};
    consume(buffer, b, 2);
    fin = (b[0] & 0x80) != 0;
    opcode = b[0] & 0x0F;
    masked = (b[1] & 0x80) != 0;
    payloadLength = b[1] & 0x7F;
    extendedPayloadLengthBytes = payloadLength == 127 ? 8 : (payloadLength == 126 ? 2 : 0);
    frameComplete = payloadLength < 126 && b[1] == 0;
}

void WebSocketFrame::parsePayloadLengthAndMask(Buffer& buffer) {
    if (extendedPayloadLengthBytes == 8 || extendedPayloadLengthBytes == 2) {
        uint8_t b[8] = {};
        const auto count = static_cast<std::size_t>(extendedPayloadLengthBytes);
        consume(buffer, b, count);
        uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i) value = (value << 8) | b[i];
        payloadLength = value;
    }
    if (masked) consume(buffer, maskingKey, 4);
    frameComplete = payloadLength == 0;
}

void WebSocketFrame::parsePayload(Buffer& buffer) {
    payload.resize(static_cast<std::size_t>(payloadLength));
    if (!payload.empty()) consume(buffer, payload.data(), payload.size());
    if (masked) {
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= maskingKey[i & 3];
    }
    frameComplete = true;
}

std::string WebSocketFrame::toString() const {
    std::ostringstream out;
    out << *this;
    return out.str();
}

std::ostream& operator<<(std::ostream& out, const WebSocketFrame& frame) {
    out << "WebSocketFrame{fin=" << frame.fin << ", opcode=0x" << std::hex << static_cast<unsigned>(frame.opcode)
        << std::dec << ", masked=" << frame.masked << ", payload length=" << frame.payloadLength
        << ", extended payload length bytes=" << frame.extendedPayloadLengthBytes
        << ", payload size=" << frame.payload.size() << ", frame complete=" << frame.frameComplete << "}";
    return out;
}

const char* opcodeName(uint8_t opcode) {
    switch (opcode) {
    case 0x0: return "Continuation";
    case 0x1: return "Text";
    case 0x2: return "Binary";
    case 0x8: return "Close";
    case 0x9: return "Ping";
    case 0xA: return "Pong";
    default: return "Unknown";
    }
}

} // namespace websocket
} // namespace orvanta
