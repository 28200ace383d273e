#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <future>
#include <vector>

namespace orvanta {
namespace websocket {
namespace test {

// A raw TCP server on 127.0.0.1 (or [::1]) that a test drives step by step, for what a
// correct WebSocket server never does: malformed responses, odd frames,
// silence. One connection at a time; everything blocks with a timeout and
// runs on the test's thread. Frames are encoded and decoded here without the
// library's codec, so the two check each other.
class ScriptedPeer {
public:
    using Bytes = std::vector<uint8_t>;
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout defaultTimeout{5000};

    struct Frame {
        bool fin = false;
        uint8_t rsv = 0;
        uint8_t opcode = 0;
        bool masked = false;
        Bytes payload;  // unmasked
    };

    explicit ScriptedPeer(bool ipv6 = false, uint16_t port = 0);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return port_; }
    std::string url(const std::string& pathAndQuery = "/") const;

    bool accept(Timeout timeout = defaultTimeout);
    // The request up to and including the blank line, and its body when it
    // has a Content-Length; empty on failure.
    std::string readRequest(Timeout timeout = defaultTimeout);
    // accept + readRequest + a valid 101 answer (plus `extraHeaders`, each
    // line ending in "\r\n"). Returns the request, empty on failure.
    std::string handshake(const std::string& extraHeaders = "", Timeout timeout = defaultTimeout);

    static std::string requestKey(const std::string& request);
    static std::string acceptFor(const std::string& key);
    static std::string switchingResponse(const std::string& request, const std::string& extraHeaders = "");

    bool sendRaw(const std::string& bytes);
    bool sendRaw(const Bytes& bytes);
    static Bytes encodeFrame(uint8_t opcode, const Bytes& payload, bool fin = true, uint8_t rsv = 0, bool masked = false);
    bool sendFrame(uint8_t opcode, const Bytes& payload, bool fin = true, uint8_t rsv = 0, bool masked = false);
    bool sendText(const std::string& text) { return sendFrame(0x1, Bytes(text.begin(), text.end())); }

    std::optional<Frame> readFrame(Timeout timeout = defaultTimeout);
    // True once the client has closed its side (every remaining byte read
    // and dropped).
    bool waitForEof(Timeout timeout = defaultTimeout);
    // True when no byte arrives within `timeout`.
    bool quietFor(Timeout timeout);
    void closeConnection();
    // Drops the connection with a TCP reset instead of an orderly FIN.
    void resetConnection();

private:
    bool readExactly(uint8_t* out, std::size_t n, std::chrono::steady_clock::time_point deadline);

    int listenFd_ = -1;
    int connFd_ = -1;
    uint16_t port_ = 0;
    bool ipv6_ = false;
};

// Answers one HTTP request with 200 and `body` on a thread of its own; the
// future holds the request.
inline std::future<std::string> answerOnce(ScriptedPeer& peer, const std::string& body) {
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return std::async(std::launch::async, [&peer, response] {
        std::string request = peer.accept() ? peer.readRequest() : std::string();
        if (!request.empty()) peer.sendRaw(response);
        return request;
    });
}

inline ScriptedPeer::Bytes bytesOf(const std::string& s) { return ScriptedPeer::Bytes(s.begin(), s.end()); }
inline std::string textOf(const ScriptedPeer::Bytes& b) { return std::string(b.begin(), b.end()); }

} // namespace test
} // namespace websocket
} // namespace orvanta
