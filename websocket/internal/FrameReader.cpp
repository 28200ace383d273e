#include "websocket/internal/FrameReader.h"

#include <asio/buffer.hpp>
#include <asio/streambuf.hpp>

#include <algorithm>
#include <cstring>

namespace orvanta {
namespace websocket {
namespace internal {

void FrameReader::begin() {
    frame_ = std::make_shared<WebSocketFrame>();
    stage_ = Stage::Header;
    needed_ = 2;
    target_ = nullptr;
    start_ = 0;
}

FrameReader::Outcome FrameReader::lengthKnown(MessageAssembler& assembler) {
    if (auto refusal = assembler.admit(*frame_)) {
        refusal_ = std::move(*refusal);
        return Outcome::Refused;
    }
    if (frame_->frameComplete) return Outcome::FrameReady;
    target_ = &assembler.payloadTarget(*frame_);
    start_ = target_->size();
    needed_ = static_cast<std::size_t>(frame_->payloadLength);
    target_->resize(start_ + needed_);
    stage_ = Stage::Payload;
    return Outcome::NeedMore;
}

FrameReader::Outcome FrameReader::step(WebSocketFrame::Buffer& buffer, MessageAssembler& assembler) {
    WebSocketFrame& f = *frame_;
    switch (stage_) {
    case Stage::Header: {
        f.parseHeader(buffer);
        const std::size_t k = static_cast<std::size_t>(f.extendedPayloadLengthBytes) + (f.masked ? 4 : 0);
        if (k > 0 && !f.frameComplete) {
            stage_ = Stage::LengthAndMask;
            needed_ = k;
            return Outcome::NeedMore;
        }
        return lengthKnown(assembler);
    }
    case Stage::LengthAndMask:
        f.parsePayloadLengthAndMask(buffer);
        return lengthKnown(assembler);
    case Stage::Payload: {
        const std::size_t n = std::min(buffer.size(), needed_);
        if (n > 0) std::memcpy(payloadSpace(), buffer.data().data(), n);
        buffer.consume(n);
        return payloadArrived(n);
    }
    }
    return Outcome::NeedMore;
}

uint8_t* FrameReader::payloadSpace() { return target_->data() + start_ + (payloadSize() - needed_); }

FrameReader::Outcome FrameReader::payloadArrived(std::size_t n) {
    needed_ -= std::min(n, needed_);
    if (needed_ > 0) return Outcome::NeedMore;
    if (frame_->masked) {
        uint8_t* p = target_->data() + start_;
        const std::size_t size = payloadSize();
        for (std::size_t i = 0; i < size; ++i) p[i] ^= frame_->maskingKey[i & 3];
    }
    frame_->frameComplete = true;
    return Outcome::FrameReady;
}

const uint8_t* FrameReader::payloadData() const {
    return target_ != nullptr ? target_->data() + start_ : frame_->payload.data();
}

} // namespace internal
} // namespace websocket
} // namespace orvanta
