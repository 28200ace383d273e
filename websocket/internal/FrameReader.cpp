#include "websocket/internal/FrameReader.h"

#include <asio/streambuf.hpp>

namespace orvanta {
namespace websocket {
namespace internal {

void FrameReader::begin() {
    frame_ = std::make_shared<WebSocketFrame>();
    stage_ = Stage::Header;
    needed_ = 2;
}

bool FrameReader::exceedsLimit(uint64_t assembled) const {
    // Only a continuation adds to a message in progress; text and binary
    // start a new one. A length with its top bit set lands here too.
    const uint64_t base = frame_->opcode == 0x0 ? assembled : 0;
    return base > limit_ || frame_->payloadLength > limit_ - base;
}

FrameReader::Outcome FrameReader::step(WebSocketFrame::Buffer& buffer, uint64_t assembled) {
    WebSocketFrame& f = *frame_;
    switch (stage_) {
    case Stage::Header: {
        f.parseHeader(buffer);
        if (f.frameComplete) return Outcome::FrameReady;
        const std::size_t k = static_cast<std::size_t>(f.extendedPayloadLengthBytes) + (f.masked ? 4 : 0);
        if (k > 0) {
            stage_ = Stage::LengthAndMask;
            needed_ = k;
            return Outcome::NeedMore;
        }
        break;
    }
    case Stage::LengthAndMask:
        f.parsePayloadLengthAndMask(buffer);
        if (f.frameComplete) return Outcome::FrameReady;
        break;
    case Stage::Payload:
        f.parsePayload(buffer);
        return Outcome::FrameReady;
    }
    if (exceedsLimit(assembled)) return Outcome::TooLarge;
    stage_ = Stage::Payload;
    needed_ = static_cast<std::size_t>(f.payloadLength);
    return Outcome::NeedMore;
}

} // namespace internal
} // namespace websocket
} // namespace orvanta
