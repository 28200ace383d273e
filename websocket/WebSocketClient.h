#pragma once

#include "websocket/WebSocketSession.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace orvanta {
namespace websocket {

// RFC 6455 client over TCP ("ws") or TLS 1.2 ("wss", "https") with SNI and
// host-name verification. One object makes one connection: construct, assign
// the handlers, start() once, send, and destroy. The connection runs on an
// I/O thread of its own (plus a heartbeat thread once open); all handlers run
// on that I/O thread and must neither block for long nor destroy the client.
//
// Destruction from the owner's thread stops the I/O thread without a close
// frame and without any callback, and returns only after both threads have
// ended. Never destroy the client from inside one of its handlers.
class WebSocketClient : public WebSocketSession {
public:
    // Owner's thread. Throws std::invalid_argument for a malformed URL and
    // std::system_error when the CA file (or, for an empty caFile, the
    // default verification paths) cannot be loaded. No network activity.
    WebSocketClient(const std::string& url, const std::vector<std::string>& subprotocols, size_t heartbeatIntervalMs,
                    size_t heartbeatTimeoutMs, const std::string& caFile);
    ~WebSocketClient() override;

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Owner's thread, once per client: resolve, connect, TLS, upgrade.
    // Failures arrive through onErrorHandler.
    void start();

    // Owner's thread. Stops the event loop and joins the I/O thread; sends
    // nothing and calls nothing. The destructor does this too.
    void stop() const;

    // Any thread. Queues one message; the write itself happens on the I/O
    // thread, in the order of submission, fragments of one message together.
    // Messages sent before the connection is open wait until it is.
    void send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) override;

    // Any thread. As send, with an explicit opcode; isText is not used.
    void write(const std::vector<uint8_t>& data, bool isText, uint8_t opcode, unsigned long maxFragmentSize);

    // Any thread. Sends a ping frame carrying `data`.
    void ping(const std::vector<uint8_t>& data);

    // Any thread. Starts the close handshake: onCloseHandler runs once the
    // server's close frame has arrived.
    void close(const std::vector<uint8_t>& data) override;

    // Any thread. Sends a close frame and ends the connection (with
    // onCloseHandler) as soon as it is written.
    void sendCloseFrame(const std::vector<uint8_t>& data);

    struct Internals;

private:
    // All on the I/O thread.
    void connect();
    void handshake();
    void read();
    void close() const;
    void errorHandler(const std::error_code& error, const std::string& context) const;

    std::unique_ptr<Internals> internals;
};

} // namespace websocket
} // namespace orvanta
