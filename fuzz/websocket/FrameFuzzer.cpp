// Incoming bytes through the client's read steps, the checks on what may
// come next and the reassembly, arriving in chunks whose sizes the input
// chooses; payload bytes arrive through the buffer or straight into the
// message, as the input chooses too.
#include "websocket/WebSocketFrame.h"
#include "websocket/internal/FrameReader.h"
#include "websocket/internal/MessageAssembler.h"

#include <asio/streambuf.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace orvanta::websocket;

namespace {

// A small limit so the fuzzer reaches the bound without huge inputs.
constexpr uint64_t limit = 4096;
constexpr std::size_t padding = 64;

void check(bool ok) { ok ? void() : std::abort(); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    const bool direct = (data[0] & 0x40) != 0;
    ++data;
    --size;
    internal::FrameReader reader;
    internal::MessageAssembler assembler(limit, padding);
    asio::streambuf buffer;
    std::size_t offset = 0;
    // What the message in progress should hold, counted independently.
    uint64_t expectedSize = 0;
    bool expectedText = false;
    for (;;) {
        const bool payloadStage = reader.stage() == internal::FrameReader::Stage::Payload;
        internal::FrameReader::Outcome outcome;
        if (payloadStage && direct && buffer.size() == 0) {
            if (offset == size) return 0;
            const std::size_t n = std::min({chunk, size - offset, reader.bytesNeeded()});
            std::memcpy(reader.payloadSpace(), data + offset, n);
            offset += n;
            outcome = reader.payloadArrived(n);
        } else {
            while (payloadStage ? buffer.size() == 0 : buffer.size() < reader.bytesNeeded()) {
                if (offset == size) return 0;
                const std::size_t n = std::min(chunk, size - offset);
                auto out = buffer.prepare(n);
                std::memcpy(out.data(), data + offset, n);
                buffer.commit(n);
                offset += n;
            }
            const std::size_t before = buffer.size();
            const std::size_t needed = reader.bytesNeeded();
            outcome = reader.step(buffer, assembler);
            // Header steps take exactly their count; the payload step what it lacks.
            check(before - buffer.size() == (payloadStage ? std::min(before, needed) : needed));
        }
        if (outcome == internal::FrameReader::Outcome::Refused) {
            const auto& refusal = reader.refusal();
            check((refusal.code == 1002 || refusal.code == 1009) && !refusal.text.empty());
            return 0;
        }
        if (outcome != internal::FrameReader::Outcome::FrameReady) continue;
        WebSocketFrame& frame = *reader.frame();
        (void)frame.toString();
        if (internal::isControlOpcode(frame.opcode)) {
            check(frame.fin && frame.payloadLength <= internal::maxControlPayload &&
                  frame.payload.size() == frame.payloadLength);
            if (frame.opcode == 0x8) {
                const auto refusal = internal::checkClosePayload(frame.payload);
                check(!refusal || refusal->code == 1002);
                check(!refusal == (frame.payload.empty() ||
                                   (frame.payload.size() >= 2 &&
                                    internal::isValidCloseCode(static_cast<uint16_t>(frame.payload[0] << 8 | frame.payload[1])))));
            }
            reader.begin();
            continue;
        }
        const bool continues = frame.opcode == 0x0 && assembler.fragmented();
        expectedSize = continues ? expectedSize + frame.payloadLength : frame.payloadLength;
        if (!continues) expectedText = frame.opcode == 0x1;
        if (assembler.onDataFrame(frame) == internal::MessageAssembler::Result::Deliver) {
            auto& message = assembler.message();
            check(message.size() == expectedSize && message.size() <= limit);
            check(message.capacity() - message.size() >= padding);
            check(assembler.isText() == expectedText && !assembler.fragmented());
        } else {
            check(assembler.fragmented() && assembler.assembledSize() == expectedSize && expectedSize <= limit);
        }
        reader.begin();
    }
}
