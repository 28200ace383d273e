// URL splitting, frame encoding and the three-step frame reader, message
// reassembly and the opening handshake's text handling: no sockets.
#include "websocket/Handshake.h"
#include "websocket/URL.h"
#include "websocket/WebSocketFrame.h"
#include "websocket/internal/FrameReader.h"
#include "websocket/internal/HandshakeParser.h"
#include "websocket/internal/MessageAssembler.h"

#include <asio/streambuf.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <optional>
#include <sstream>

using namespace orvanta::websocket;
using Bytes = std::vector<uint8_t>;

namespace {

void fill(asio::streambuf& buffer, const Bytes& bytes) {
    auto out = buffer.prepare(bytes.size());
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(out.data()));
    buffer.commit(bytes.size());
}

// Runs the reader and the assembler over `wire` as the client would, one
// step at a time, until the wire is used up or a frame is refused.
struct Received {
    std::vector<WebSocketFrame> frames;  // every frame, as read
    std::vector<std::pair<Bytes, bool>> messages;
    std::size_t minimumSpare = SIZE_MAX;
    std::optional<internal::Refusal> refusal;
};

Received receive(const Bytes& wire, internal::MessageAssembler& assembler, bool assemble = true) {
    asio::streambuf buffer;
    fill(buffer, wire);
    internal::FrameReader reader;
    Received out;
    while (buffer.size() > 0 && (reader.stage() == internal::FrameReader::Stage::Payload || buffer.size() >= reader.bytesNeeded())) {
        const auto outcome = reader.step(buffer, assembler);
        if (outcome == internal::FrameReader::Outcome::Refused) {
            out.refusal = reader.refusal();
            break;
        }
        if (outcome != internal::FrameReader::Outcome::FrameReady) continue;
        WebSocketFrame& frame = *reader.frame();
        out.frames.push_back(frame);
        if (assemble && !internal::isControlOpcode(frame.opcode) &&
            assembler.onDataFrame(frame) == internal::MessageAssembler::Result::Deliver) {
            auto& m = assembler.message();
            out.minimumSpare = std::min(out.minimumSpare, m.capacity() - m.size());
            out.messages.push_back({std::move(m), assembler.isText()});
        }
        reader.begin();
    }
    return out;
}

Bytes frameBytes(uint8_t opcode, const std::string& payload, bool fin = true, bool masked = false) {
    return WebSocketFrame::build(Bytes(payload.begin(), payload.end()), fin, opcode, masked);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

TEST(Url, SplitsTheSixParts) {
    for (const auto& c : nlohmann::json::parse(std::ifstream(WS_TEST_DATA "/urls.json"))) {
        const URL u = URL::parse(c[0].get<std::string>());
        EXPECT_EQ(nlohmann::json({c[0], u.getScheme(), u.getHost(), u.getPort(), u.getPath(), u.getQuery(), u.getFragment()}), c);
    }
}

TEST(Url, LineBreakInFragmentIsRejectedAndPrintingGivesSixLines) {
    for (const std::string bad : {"a#b\nc", "ws://h/#x\r", "ws://h/#\nx"}) {
        try {
            URL::parse(bad);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid URL format: " + bad);
        }
    }
    std::ostringstream out;
    out << URL::parse("wss://h:1/p?q");
    EXPECT_EQ(out.str(), "Scheme: 'wss'\nHost: 'h'\nPort: '1'\nPath: '/p'\nQuery: 'q'\nFragment: ''\n");
    // A very long URL must not exhaust the stack.
    EXPECT_EQ(URL::parse("ws://h/" + std::string(1 << 20, 'a')).getPath().size(), (1u << 20) + 1);
}

// The shortest length form on the way out; every form read back, unmasked.
TEST(Frame, BuildUsesTheShortestLengthFormAndTheReaderReadsEveryForm) {
    EXPECT_EQ(WebSocketFrame::build({'H', 'i'}, true, 0x1, false), (Bytes{0x81, 0x02, 'H', 'i'}));
    EXPECT_EQ(WebSocketFrame::build({}, false, 0x11, false), (Bytes{0x01, 0x00}));
    struct Size {
        std::size_t n;
        Bytes header;  // before the masking key
    };
    Bytes wire;
    std::vector<Bytes> payloads;
    for (const Size& s : {Size{0, {0x82, 0x80}}, Size{1, {0x02, 0x81}}, Size{125, {0x82, 0xFD}}, Size{126, {0x82, 0xFE, 0x00, 0x7E}},
                          Size{65535, {0x82, 0xFE, 0xFF, 0xFF}}, Size{65536, {0x82, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0}}}) {
        Bytes p(s.n);
        for (std::size_t i = 0; i < s.n; ++i) p[i] = static_cast<uint8_t>(i * 31 + 7);
        const Bytes f = WebSocketFrame::build(p, s.n != 1, 0x2, true);
        ASSERT_EQ(f.size(), s.header.size() + 4 + s.n);
        EXPECT_TRUE(std::equal(s.header.begin(), s.header.end(), f.begin())) << s.n;
        wire.insert(wire.end(), f.begin(), f.end());
        payloads.push_back(p);
    }
    internal::MessageAssembler assembler;
    const auto frames = receive(wire, assembler, false).frames;
    ASSERT_EQ(frames.size(), payloads.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(frames[i].payload == payloads[i] && frames[i].masked && frames[i].fin == (i != 1)) << i;
}

TEST(Frame, HeaderStepsAndPrinting) {
    asio::streambuf b;
    fill(b, {0x88, 0x00, 0x88, 0x80, 0xC2, 0x7E, 0x01, 0x00, 0x81, 0x05, 0x8A, 0x00});
    WebSocketFrame close, maskedClose, rsv, text, pong;
    close.parseHeader(b);
    EXPECT_TRUE(close.fin && close.opcode == 8 && close.frameComplete);
    maskedClose.parseHeader(b);
    EXPECT_FALSE(maskedClose.frameComplete);  // key still to come
    rsv.parseHeader(b);  // RSV1 set: read as if clear
    EXPECT_TRUE(rsv.opcode == 2 && rsv.extendedPayloadLengthBytes == 2u);
    rsv.parsePayloadLengthAndMask(b);
    EXPECT_EQ(rsv.payloadLength, 256u);
    text.parseHeader(b);
    EXPECT_EQ(text.toString(), "WebSocketFrame{fin=1, opcode=0x1, masked=0, payload length=5, extended payload "
                               "length bytes=0, payload size=0, frame complete=0}");
    pong.parseHeader(b);
    EXPECT_NE(pong.toString().find("opcode=0xa, masked=0, payload length=0"), std::string::npos);
}

TEST(Frame, ReaderRefusesBeforeStoringThePayload) {
    const auto longLength = [](uint8_t first, uint64_t n) {
        Bytes b{first, 0x7F};
        for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(n >> s));
        return b;
    };
    const Bytes started = frameBytes(0x1, std::string(900, 'a'), false);  // 900 of at most 1000 held
    struct Case {
        Bytes wire;
        uint16_t code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {longLength(0x82, (1ull << 63) + 1), 1009, "Message too large: 9223372036854775809 bytes, at most 1000 accepted per message"},
        {concat({started, longLength(0x80, ~0ull)}), 1009, "Message too large: 18446744073709551615 bytes, at most 1000 accepted per message"},
        {concat({started, frameBytes(0x0, std::string(101, 'b'))}), 1009, "Message too large: 1001 bytes, at most 1000 accepted per message"},
        {concat({started, frameBytes(0x1, "new")}), 1002, "Protocol violation: new data frame (opcode 0x1) inside a fragmented message"},
        {frameBytes(0x9, std::string(126, 'p')), 1002, "Protocol violation: control frame (opcode 0x9) of 126 payload bytes, at most 125 allowed"},
        {frameBytes(0x9, "", false), 1002, "Protocol violation: fragmented control frame (opcode 0x9)"},
        {frameBytes(0x0, "z", false), 1002, "Protocol violation: continuation frame without a message in progress"},
        {frameBytes(0x3, "z", false), 1002, "Protocol violation: non-final frame with reserved opcode 0x3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        internal::MessageAssembler assembler(1000);
        const auto got = receive(c.wire, assembler);
        ASSERT_TRUE(got.refusal);
        EXPECT_EQ(got.refusal->code, c.code);
        EXPECT_EQ(got.refusal->text, c.text);
    }
    // At the limits: a 125-byte ping, a message of exactly the limit.
    internal::MessageAssembler assembler(1000);
    const auto got = receive(concat({frameBytes(0x9, std::string(125, 'p')), started, frameBytes(0x0, std::string(100, 'b'))}), assembler);
    EXPECT_FALSE(got.refusal);
    ASSERT_EQ(got.messages.size(), 1u);
    EXPECT_EQ(got.messages[0].first.size(), 1000u);
}

TEST(Frame, AssemblerJoinsFragmentsAroundControlFrames) {
    internal::MessageAssembler assembler(internal::maxMessageSize, 64);
    const auto got = receive(concat({frameBytes(0x1, "a", false), frameBytes(0x9, "x"), frameBytes(0x0, "bc", false, true),
                                     frameBytes(0x0, "d", true, true),  // masked fragments unmask in place
                                     frameBytes(0x2, "x", false), frameBytes(0x0, "y"),
                                     frameBytes(0x0, "stray"), frameBytes(0x3, "r"), frameBytes(0x1, "")}),
                             assembler);
    EXPECT_FALSE(got.refusal);
    const std::vector<std::pair<Bytes, bool>> expected = {
        {{'a', 'b', 'c', 'd'}, true}, {{'x', 'y'}, false},
        // Lenient: a final continuation or reserved opcode stands alone.
        {{'s', 't', 'r', 'a', 'y'}, false}, {{'r'}, false}, {{}, true}};
    EXPECT_EQ(got.messages, expected);
    EXPECT_GE(got.minimumSpare, 64u);
    EXPECT_EQ(assembler.assembledSize(), 0u);
}

TEST(Frame, CloseCodes) {
    for (uint16_t code : {1000, 1003, 1007, 1014, 3000, 4999}) EXPECT_TRUE(internal::isValidCloseCode(code)) << code;
    for (uint16_t code : {0, 999, 1004, 1005, 1006, 1015, 2999, 5000}) EXPECT_FALSE(internal::isValidCloseCode(code)) << code;
    EXPECT_FALSE(internal::checkClosePayload({}));
    EXPECT_FALSE(internal::checkClosePayload({0x03, 0xE8, 'o', 'k'}));
    EXPECT_EQ(internal::checkClosePayload({0x03})->text, "Protocol violation: close frame with a 1-byte payload");
    EXPECT_EQ(internal::checkClosePayload({0x03, 0xED})->text, "Protocol violation: close frame with status code 1005");
}

TEST(Handshake, KeysAndRequest) {
    EXPECT_EQ(generateAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    std::mt19937 a(1), b(2);
    const std::string k1 = generateNonce(a), k2 = generateNonce(b);
    EXPECT_EQ(k1.size(), 24u);
    EXPECT_EQ(k1.substr(22), "==");
    EXPECT_NE(k1, k2);

    EXPECT_EQ(internal::buildHandshakeRequest("h", "/a?b=1", {"realtime", "x"}, "K"),
              "GET /a?b=1 HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
              "Sec-WebSocket-Key: K\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: realtime, x\r\n\r\n");
    const std::string bare = internal::buildHandshakeRequest("h", "/", {}, "K");
    EXPECT_NE(bare.find("Sec-WebSocket-Version: 13\r\n\r\n"), std::string::npos);
    EXPECT_EQ(bare.find("Protocol"), std::string::npos);
}

TEST(Handshake, RefusesValuesThatWouldInjectHeaders) {
    EXPECT_EQ(internal::validateRequestInputs("API.example.com", "/v1?model=m", {"realtime", "key.ABC-_x9"}), "");
    EXPECT_EQ(internal::validateRequestInputs("[::1]", "/", {}), "");
    for (const std::string p : {"a\r\nX-Evil: 1", "a b", "a,b", "", "k\x7f"}) {
        const std::string error = internal::validateRequestInputs("h", "/", {"realtime", p});
        EXPECT_NE(error.find("Invalid subprotocol #2"), std::string::npos) << p;
        EXPECT_EQ(error.find(p.empty() ? "\x01" : p), std::string::npos);  // never echoed
    }
    EXPECT_NE(internal::validateRequestInputs("h\r\nX: y", "/", {}), "");
    EXPECT_NE(internal::validateRequestInputs("", "/", {}), "");
    EXPECT_NE(internal::validateRequestInputs("h", "/a\r\nX: y", {}), "");
    EXPECT_NE(internal::validateRequestInputs("h", "/a b", {}), "");
}

TEST(Handshake, ResponseValidation) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    auto ok = internal::parseHandshakeResponse(
        "HTTP/1.1 101 Switching Protocols\r\nsec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
        "Sec-WebSocket-Protocol: realtime\r\n\r\n",
        key);
    EXPECT_TRUE(ok.valid) << ok.error;
    EXPECT_EQ(ok.negotiatedProtocol, "realtime");

    // A wrong status and a wrong accept value are checked on the wire, in the client tests.
    EXPECT_FALSE(internal::parseHandshakeResponse("HTTX/1.1 101 x\r\n\r\n", key).valid);
    EXPECT_EQ(internal::parseHandshakeResponse("HTTP/1.1 101 S\r\nUpgrade: websocket\r\n\r\n", key).error,
              "Handshake validation error: Missing Sec-WebSocket-Accept in response");

    const std::string block = "HTTP/1.1 101 S\r\n\r\nframes";
    EXPECT_EQ(internal::findHeaderBlockEnd(block.data(), block.size()), block.size() - 6);
    EXPECT_EQ(internal::findHeaderBlockEnd(block.data(), block.size(), 10), 0u);
}
