#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvanta {
namespace websocket {

// What a protocol client sees of a WebSocket connection: four callbacks that
// the owner assigns after construction and before starting, and the send and
// close operations. Every callback runs on the connection's I/O thread; at
// most one of onCloseHandler / onErrorHandler ends a connection.
class WebSocketSession {
public:
    virtual ~WebSocketSession() = default;

    // Owner's thread. Sends one message; it is cut into frames of at most
    // maxFragmentSize payload bytes (0: never cut).
    virtual void send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) = 0;

    // Owner's thread. Starts the close handshake with `data` as the close
    // frame's payload (status code and reason, as the caller built them).
    virtual void close(const std::vector<uint8_t>& data) = 0;

    virtual std::string getPath() const { return path; }

    // Every message handed to onMessageHandler has at least this many bytes
    // of spare capacity past its end, so that a parser needing padding can
    // grow it in place instead of copying it.
    static constexpr std::size_t messagePadding = 64;

    std::string path;
    uint64_t heartbeatIntervalMs = 4000;
    uint64_t heartbeatTimeoutMs = 2000;

    // I/O thread. The connection is open: messages may be sent from now on.
    std::function<void()> onOpenHandler = [] {};
    // I/O thread. The connection ended in an orderly way (close handshake,
    // peer hang-up, lost heartbeat).
    std::function<void()> onCloseHandler = [] {};
    // I/O thread. One complete data message; isText is the type of its
    // first frame. The handler may keep or reuse `data` (moving it out saves
    // a copy of a large message); otherwise it is gone after the call.
    std::function<void(std::vector<uint8_t>&& data, bool isText)> onMessageHandler = [](std::vector<uint8_t>&&, bool) {};
    // I/O thread. The connection failed or could not be opened.
    std::function<void(const std::string message)> onErrorHandler = [](const std::string) {};
};

} // namespace websocket
} // namespace orvanta
