#pragma once

// Not installed: which frames may come next (RFC 6455, sections 5.4 and 5.5)
// and the reassembly of fragmented data messages, apart from the socket for
// tests and fuzzers.

#include "websocket/WebSocketFrame.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {
namespace websocket {
namespace internal {

// Largest message (one frame, or a fragmented message reassembled) the client
// accepts; a peer that announces more is cut off before we allocate.
constexpr uint64_t maxMessageSize = 16 * 1024 * 1024;
// RFC 6455, section 5.5.
constexpr uint64_t maxControlPayload = 125;

constexpr uint16_t closeProtocolError = 1002;
constexpr uint16_t closeMessageTooBig = 1009;

// Why a frame is refused, and the status code that tells the peer.
struct Refusal {
    uint16_t code;
    std::string text;
};

bool isControlOpcode(uint8_t opcode);

// RFC 6455, section 7.4: the status codes a close frame may carry. 1005,
// 1006 and 1015 only describe a close locally and never go on the wire.
bool isValidCloseCode(uint16_t code);
// A received close frame's payload: empty, or a valid code and any reason.
std::optional<Refusal> checkClosePayload(const std::vector<uint8_t>& payload);

// I/O thread only.
class MessageAssembler {
public:
    enum class Result { Deliver, Continue };

    // `padding`: spare capacity every delivered message has past its end.
    explicit MessageAssembler(uint64_t limit = maxMessageSize, std::size_t padding = 0)
        : limit_(limit), padding_(padding) {}

    // Once the frame's header and length are known, before its payload is
    // read: refuses a control frame that is fragmented or longer than 125
    // bytes, a frame that breaks the fragmentation sequence (a new data
    // message while one is in progress, a non-final continuation with no
    // message, a non-final reserved opcode) and a message that would grow
    // past the limit.
    std::optional<Refusal> admit(const WebSocketFrame& frame) const;

    // The vector the admitted frame's payload is appended to: the message in
    // progress for a continuation, else the frame's own payload. Room for the
    // payload (and the padding) is reserved here.
    std::vector<uint8_t>& payloadTarget(WebSocketFrame& frame);

    // Takes one admitted data frame (any opcode but close, ping and pong)
    // whose payload has arrived. On Deliver, message() and isText()
    // describe the complete message until the next call.
    Result onDataFrame(WebSocketFrame& frame);

    // The owner may move the message out.
    std::vector<uint8_t>& message() { return *delivered_; }
    bool isText() const { return deliveredText_; }
    bool fragmented() const { return fragmented_; }
    // Bytes of the fragmented message in progress.
    uint64_t assembledSize() const { return fragmented_ ? messageBuffer_.size() : 0; }

private:
    bool continuesMessage(const WebSocketFrame& frame) const { return frame.opcode == 0x0 && fragmented_; }

    uint64_t limit_;
    std::size_t padding_;
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
