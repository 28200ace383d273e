#pragma once

// Not installed: the three-step reading of one incoming frame, apart from
// the socket so that tests and fuzzers can drive it from memory.

#include "websocket/WebSocketFrame.h"
#include "websocket/internal/MessageAssembler.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvanta {
namespace websocket {
namespace internal {

// The header and the length with the masking key come through the receive
// buffer; the payload goes straight into the vector that becomes the message
// (the frame's own, or the fragmented message in progress), so that a large
// message is never held twice.
class FrameReader {
public:
    enum class Stage { Header, LengthAndMask, Payload };
    enum class Outcome { NeedMore, FrameReady, Refused };

    FrameReader() { begin(); }

    // Starts a fresh frame record.
    void begin();

    Stage stage() const { return stage_; }
    // Header and LengthAndMask: bytes the step consumes from the buffer.
    // Payload: payload bytes still missing.
    std::size_t bytesNeeded() const { return needed_; }

    // Header and LengthAndMask: consumes bytesNeeded() bytes, which the
    // buffer must hold. Payload: takes what the buffer holds of the payload.
    // Once the length is known the assembler admits the frame or it is
    // Refused (refusal() says why) before any payload is stored.
    Outcome step(WebSocketFrame::Buffer& buffer, MessageAssembler& assembler);

    // Payload stage: room for the bytesNeeded() missing bytes, to be filled
    // straight from the connection, then reported with payloadArrived.
    uint8_t* payloadSpace();
    Outcome payloadArrived(std::size_t n);

    const Refusal& refusal() const { return refusal_; }
    const std::shared_ptr<WebSocketFrame>& frame() const { return frame_; }
    // The current frame's payload, wherever it landed; valid until the
    // assembler takes the frame.
    const uint8_t* payloadData() const;
    std::size_t payloadSize() const { return static_cast<std::size_t>(frame_->payloadLength); }

private:
    Outcome lengthKnown(MessageAssembler& assembler);

    Stage stage_ = Stage::Header;
    std::size_t needed_ = 2;
    std::shared_ptr<WebSocketFrame> frame_;
    std::vector<uint8_t>* target_ = nullptr;
    std::size_t start_ = 0;  // where this frame's payload begins in *target_
    Refusal refusal_{0, {}};
};

} // namespace internal
} // namespace websocket
} // namespace orvanta
