// Incoming bytes through the client's three read steps and the reassembly,
// arriving in chunks whose sizes the input chooses.
#include "websocket/WebSocketFrame.h"
#include "websocket/internal/FrameReader.h"
#include "websocket/internal/MessageAssembler.h"

#include <asio/streambuf.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace orvanta::websocket;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    ++data;
    --size;
    // A small limit so the fuzzer reaches the bound without huge inputs.
    internal::FrameReader reader(4096);
    internal::MessageAssembler assembler;
    asio::streambuf buffer;
    std::size_t offset = 0;
    for (;;) {
        while (buffer.size() < reader.bytesNeeded()) {
            if (offset == size) return 0;
            const std::size_t n = std::min(chunk, size - offset);
            auto out = buffer.prepare(n);
            std::memcpy(out.data(), data + offset, n);
            buffer.commit(n);
            offset += n;
        }
        const std::size_t before = buffer.size();
        const std::size_t needed = reader.bytesNeeded();
        const auto outcome = reader.step(buffer, assembler.assembledSize());
        if (before - buffer.size() != needed) std::abort();  // each step takes exactly its count
        if (outcome == internal::FrameReader::Outcome::TooLarge) return 0;
        if (outcome != internal::FrameReader::Outcome::FrameReady) continue;
        WebSocketFrame& frame = *reader.frame();
        if (frame.payload.size() != frame.payloadLength || frame.payloadLength > 4096) std::abort();
        (void)frame.toString();
        if (frame.opcode < 0x8 || frame.opcode > 0xA) {
            if (assembler.onDataFrame(frame) == internal::MessageAssembler::Result::Violation) return 0;
            if (assembler.assembledSize() > 4096) std::abort();
        }
        // What the client would send back must decode to the same payload.
        if (frame.opcode == 0x9) {
            const auto pong = WebSocketFrame::build(frame.payload, true, 0xA, true);
            asio::streambuf echo;
            auto out = echo.prepare(pong.size());
            std::memcpy(out.data(), pong.data(), pong.size());
            echo.commit(pong.size());
            internal::FrameReader check(1 << 20);
            while (check.step(echo, 0) == internal::FrameReader::Outcome::NeedMore) {
            }
            if (check.frame()->payload != frame.payload || check.frame()->opcode != 0xA) std::abort();
        }
        reader.begin();
    }
}
