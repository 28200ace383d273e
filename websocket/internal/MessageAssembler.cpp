#include "websocket/internal/MessageAssembler.h"

namespace orvanta {
namespace websocket {
namespace internal {

MessageAssembler::Result MessageAssembler::onDataFrame(WebSocketFrame& frame) {
    if (frame.fin) {
        if (!fragmented_) {
            delivered_ = &frame.payload;
            deliveredText_ = frame.opcode == 0x1;
            return Result::Deliver;
        }
        messageBuffer_.insert(messageBuffer_.end(), frame.payload.begin(), frame.payload.end());
        // The reassembled message is handed out from a second vector so that
        // the buffer is empty again before the owner sees the data.
        deliveredMessage_.swap(messageBuffer_);
        messageBuffer_.clear();
        delivered_ = &deliveredMessage_;
        deliveredText_ = firstFragmentText_;
        fragmented_ = false;
        return Result::Deliver;
    }
    if (frame.opcode == 0x1 || frame.opcode == 0x2) {
        // A new message while one is in progress replaces it.
        fragmented_ = true;
        firstFragmentText_ = frame.opcode == 0x1;
        messageBuffer_.assign(frame.payload.begin(), frame.payload.end());
        return Result::Continue;
    }
    if (frame.opcode == 0x0 && fragmented_) {
        messageBuffer_.insert(messageBuffer_.end(), frame.payload.begin(), frame.payload.end());
        return Result::Continue;
    }
    return Result::Violation;
}

} // namespace internal
} // namespace websocket
} // namespace orvanta
