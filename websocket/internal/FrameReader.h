#pragma once

// Not installed: the three-step reading of one incoming frame, apart from
// the socket so that tests and fuzzers can drive it from memory.

#include "websocket/WebSocketFrame.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orvanta {
namespace websocket {
namespace internal {

// Largest message (one frame, or a fragmented message reassembled) the client
// accepts; a peer that announces more is cut off before we allocate.
constexpr uint64_t maxMessageSize = 16 * 1024 * 1024;

class FrameReader {
public:
    enum class Stage { Header, LengthAndMask, Payload };
    enum class Outcome { NeedMore, FrameReady, TooLarge };

    explicit FrameReader(uint64_t limit = maxMessageSize) : limit_(limit) { begin(); }

    // Starts a fresh frame record.
    void begin();

    Stage stage() const { return stage_; }
    // Bytes the current stage consumes from the front of the buffer.
    std::size_t bytesNeeded() const { return needed_; }

    // Runs the current stage; the buffer must hold bytesNeeded() bytes.
    // `assembled` is the size of a fragmented message in progress, which a
    // continuation frame adds to.
    Outcome step(WebSocketFrame::Buffer& buffer, uint64_t assembled);

    const std::shared_ptr<WebSocketFrame>& frame() const { return frame_; }

private:
    bool exceedsLimit(uint64_t assembled) const;

    uint64_t limit_;
    Stage stage_ = Stage::Header;
    std::size_t needed_ = 2;
    std::shared_ptr<WebSocketFrame> frame_;
};

} // namespace internal
} // namespace websocket
} // namespace orvanta
