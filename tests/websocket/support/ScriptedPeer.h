#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace orvanta::websocket::test {

// A raw TCP server on 127.0.0.1 (or [::1]) that a test drives step by step, for
// what a correct server never does: malformed responses, odd frames, silence.
// One connection at a time; every call blocks with a timeout. Frames are coded
// here without the library's codec, so the two check each other.
class ScriptedPeer {
public:
    using Bytes = std::vector<uint8_t>;
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout defaultTimeout{5000};
    struct Frame {
        bool fin = false;
        uint8_t rsv = 0, opcode = 0;
        bool masked = false;
        Bytes payload;  // unmasked
    };

    explicit ScriptedPeer(bool ipv6 = false, uint16_t port = 0);  // throws when it cannot listen
    ~ScriptedPeer();
    uint16_t port() const { return port_; }
    std::string url(const std::string& pathAndQuery = "/") const;

    bool accept(Timeout timeout = defaultTimeout);
    // Up to the blank line, with the body when there is a Content-Length; empty on failure.
    std::string readRequest(Timeout timeout = defaultTimeout);
    // accept + readRequest + a valid 101 answer (plus `extraHeaders`, each
    // ending in "\r\n"). Returns the request, empty on failure.
    std::string handshake(const std::string& extraHeaders = "");
    static std::string requestKey(const std::string& request);
    static std::string acceptFor(const std::string& key);
    static std::string switchingResponse(const std::string& request, const std::string& extraHeaders = "");

    bool sendRaw(const std::string& bytes) { return sendRaw(Bytes(bytes.begin(), bytes.end())); }
    bool sendRaw(const Bytes& bytes);
    static Bytes encodeFrame(uint8_t opcode, const Bytes& payload, bool fin = true, uint8_t rsv = 0, bool masked = false);
    bool sendFrame(uint8_t opcode, const Bytes& payload, bool fin = true, uint8_t rsv = 0, bool masked = false) {
        return sendRaw(encodeFrame(opcode, payload, fin, rsv, masked));
    }
    std::optional<Frame> readFrame(Timeout timeout = defaultTimeout);
    // True once the client has closed its side (what is left is read and dropped).
    bool waitForEof(Timeout timeout = defaultTimeout);
    void closeConnection(bool reset = false);  // a reset sends a TCP RST instead of a FIN

private:
    bool readExactly(uint8_t* out, std::size_t n, std::chrono::steady_clock::time_point deadline);
    int listenFd_ = -1, connFd_ = -1;
    uint16_t port_ = 0;
    bool ipv6_ = false;
};

inline ScriptedPeer::Bytes bytesOf(const std::string& s) { return ScriptedPeer::Bytes(s.begin(), s.end()); }
inline std::string textOf(const ScriptedPeer::Bytes& b) { return std::string(b.begin(), b.end()); }

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

} // namespace orvanta::websocket::test
