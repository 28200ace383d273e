#include "websocket/internal/MessageAssembler.h"

#include <algorithm>
#include <limits>
#include <sstream>

namespace orvanta {
namespace websocket {
namespace internal {

namespace {

std::string hex(uint8_t opcode) {
    std::ostringstream out;
    out << "0x" << std::hex << static_cast<unsigned>(opcode);
    return out.str();
}

void pad(std::vector<uint8_t>& message, std::size_t padding) {
    if (message.capacity() - message.size() < padding) message.reserve(message.size() + padding);
}

} // namespace

bool isControlOpcode(uint8_t opcode) { return opcode == 0x8 || opcode == 0x9 || opcode == 0xA; }

bool isValidCloseCode(uint16_t code) {
    // 1012-1014 were registered with IANA after the RFC.
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

std::optional<Refusal> checkClosePayload(const std::vector<uint8_t>& payload) {
    if (payload.empty()) return std::nullopt;
    if (payload.size() == 1) return Refusal{closeProtocolError, "Protocol violation: close frame with a 1-byte payload"};
    const auto code = static_cast<uint16_t>(payload[0] << 8 | payload[1]);
    if (isValidCloseCode(code)) return std::nullopt;
    return Refusal{closeProtocolError, "Protocol violation: close frame with status code " + std::to_string(code)};
}

std::optional<Refusal> MessageAssembler::admit(const WebSocketFrame& frame) const {
    const uint8_t opcode = frame.opcode;
    if (isControlOpcode(opcode)) {
        if (!frame.fin) return Refusal{closeProtocolError, "Protocol violation: fragmented control frame (opcode " + hex(opcode) + ")"};
        if (frame.payloadLength > maxControlPayload) {
            return Refusal{closeProtocolError, "Protocol violation: control frame (opcode " + hex(opcode) + ") of " +
                                                   std::to_string(frame.payloadLength) + " payload bytes, at most " +
                                                   std::to_string(maxControlPayload) + " allowed"};
        }
        return std::nullopt;
    }
    if (opcode == 0x0) {
        // A final continuation with nothing in progress is let through as a
        // message of its own.
        if (!fragmented_ && !frame.fin)
            return Refusal{closeProtocolError, "Protocol violation: continuation frame without a message in progress"};
    } else if (fragmented_) {
        // RFC 6455, section 5.4: the fragments of one message are not
        // interleaved with another data message.
        return Refusal{closeProtocolError,
                       "Protocol violation: new data frame (opcode " + hex(opcode) + ") inside a fragmented message"};
    } else if (!frame.fin && opcode != 0x1 && opcode != 0x2) {
        return Refusal{closeProtocolError, "Protocol violation: non-final frame with reserved opcode " + hex(opcode)};
    }
    const uint64_t held = continuesMessage(frame) ? messageBuffer_.size() : 0;
    if (held > limit_ || frame.payloadLength > limit_ - held) {
        const uint64_t size = frame.payloadLength > std::numeric_limits<uint64_t>::max() - held
                                  ? std::numeric_limits<uint64_t>::max()
                                  : held + frame.payloadLength;
        return Refusal{closeMessageTooBig, "Message too large: " + std::to_string(size) + " bytes, at most " +
                                               std::to_string(limit_) + " accepted per message"};
    }
    return std::nullopt;
}

std::vector<uint8_t>& MessageAssembler::payloadTarget(WebSocketFrame& frame) {
    const auto n = static_cast<std::size_t>(frame.payloadLength);
    if (!continuesMessage(frame)) {
        frame.payload.reserve(n + padding_);
        return frame.payload;
    }
    const std::size_t needed = messageBuffer_.size() + n + padding_;
    if (messageBuffer_.capacity() < needed) {
        // Geometric growth, but never past what the largest message needs.
        const auto ceiling = static_cast<std::size_t>(std::min<uint64_t>(limit_ + padding_, std::numeric_limits<std::size_t>::max()));
        messageBuffer_.reserve(std::max(needed, std::min(messageBuffer_.capacity() * 2, ceiling)));
    }
    return messageBuffer_;
}

MessageAssembler::Result MessageAssembler::onDataFrame(WebSocketFrame& frame) {
    if (continuesMessage(frame)) {
        // The payload went straight into messageBuffer_.
        if (!frame.fin) return Result::Continue;
        // Handed out from a second vector so that the buffer is empty again
        // before the owner sees the data; the last message's memory goes.
        deliveredMessage_.swap(messageBuffer_);
        std::vector<uint8_t>().swap(messageBuffer_);
        delivered_ = &deliveredMessage_;
        deliveredText_ = firstFragmentText_;
        fragmented_ = false;
        pad(*delivered_, padding_);
        return Result::Deliver;
    }
    if (frame.fin) {
        delivered_ = &frame.payload;
        deliveredText_ = frame.opcode == 0x1;
        pad(*delivered_, padding_);
        return Result::Deliver;
    }
    fragmented_ = true;
    firstFragmentText_ = frame.opcode == 0x1;
    messageBuffer_ = std::move(frame.payload);
    return Result::Continue;
}

} // namespace internal
} // namespace websocket
} // namespace orvanta
