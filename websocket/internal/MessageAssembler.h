#pragma once

// Not installed: reassembly of fragmented data messages (RFC 6455,
// section 5.4), apart from the socket for tests and fuzzers.

#include "websocket/WebSocketFrame.h"

#include <cstdint>
#include <vector>

namespace orvanta {
namespace websocket {
namespace internal {

// I/O thread only.
class MessageAssembler {
public:
    enum class Result { Deliver, Continue, Violation };

    // Takes one data frame (any opcode but close, ping and pong). On Deliver,
    // message() and isText() describe the complete message until the next
    // call.
    Result onDataFrame(WebSocketFrame& frame);

    // The owner may move the message out.
    std::vector<uint8_t>& message() { return *delivered_; }
    bool isText() const { return deliveredText_; }
    bool fragmented() const { return fragmented_; }
    // Bytes of the fragmented message in progress.
    uint64_t assembledSize() const { return fragmented_ ? messageBuffer_.size() : 0; }

private:
    std::vector<uint8_t> messageBuffer_;
    std::vector<uint8_t> deliveredMessage_;
    std::vector<uint8_t>* delivered_ = &deliveredMessage_;
    bool fragmented_ = false;
    bool firstFragmentText_ = false;
    bool deliveredText_ = false;
};

} // namespace internal
} // namespace websocket
} // namespace orvanta
