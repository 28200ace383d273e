#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvanta {
namespace websocket {
namespace test {

// An independent WebSocket server (Boost.Beast) on 127.0.0.1, plain or TLS,
// running on a thread of its own. It echoes every message back with its
// type, answers pings and close frames as Beast does, and records what it
// saw. Accessors are safe from any thread.
class BeastServer {
public:
    struct Options {
        bool tls = false;
        std::string certificateFile;  // PEM chain, when tls
        std::string privateKeyFile;   // PEM key, when tls
        std::string chosenProtocol;   // named in the 101 answer when not empty
        bool echo = true;
    };
    struct Message {
        std::string data;
        bool text = false;
    };

    explicit BeastServer(Options options);
    ~BeastServer();
    BeastServer(const BeastServer&) = delete;
    BeastServer& operator=(const BeastServer&) = delete;

    uint16_t port() const;
    // "ws://127.0.0.1:<port>" or "wss://...", followed by `pathAndQuery`.
    std::string url(const std::string& pathAndQuery = "/") const;

    std::vector<Message> messages() const;
    bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::size_t pingCount() const;
    bool waitForPings(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::size_t connectionCount() const;
    // Request target and offered subprotocols of the latest upgrade request.
    std::string lastTarget() const;
    std::string lastOfferedProtocols() const;

    // Starts a close handshake from the server on every open session.
    void closeAll(uint16_t code);
    // Sessions that ended with a close frame from the client, and its code.
    bool waitForClientClose(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    int lastCloseCode() const;
    // Sessions whose connection has ended, however it ended.
    std::size_t endedSessions() const;
    bool waitForEndedSessions(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace test
} // namespace websocket
} // namespace orvanta
