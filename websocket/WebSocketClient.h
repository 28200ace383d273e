#pragma once

#include "websocket/WebSocketSession.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace orvanta {
namespace websocket {

// Deadlines of the phases before the connection opens. The nodes give a
// whole session attempt 15 s; each phase alone fails sooner than that, so
// that the owner hears which one hung.
constexpr std::chrono::milliseconds defaultConnectTimeout{10000};       // name resolution and TCP
constexpr std::chrono::milliseconds defaultTlsHandshakeTimeout{10000};  // wss only
constexpr std::chrono::milliseconds defaultUpgradeTimeout{10000};       // request sent to 101 read

// Bytes of frames waiting to be written (the one being written included)
// beyond which the connection fails with "Send queue overflow: ...": a peer
// that sends pings but never reads, or an owner sending faster than the peer
// takes, cannot grow the client without end. A single message larger than
// this is still sent when nothing else is waiting.
constexpr std::size_t maxQueuedBytes = 4 * 1024 * 1024;

// How long destruction waits for its close frame to be written.
constexpr std::chrono::milliseconds closeFrameWait{100};

// RFC 6455 client over TCP ("ws") or TLS 1.2 ("wss", "https") with SNI and
// host-name verification. One object makes one connection: construct, assign
// the handlers, start() once, send, and destroy. The connection runs on an
// I/O thread of its own (plus a heartbeat thread once open); all handlers run
// on that I/O thread and must neither block for long nor destroy the client.
//
// The peer's frames are checked as RFC 6455 asks where a slip would cost
// memory or leave the connection ill-defined: a control frame longer than 125
// bytes or fragmented, a data frame that breaks a fragmented message, and a
// close frame with a code that may not be sent fail the connection with close
// code 1002 (and one onErrorHandler); a message of more than 16 MiB fails it
// with 1009. Masked server frames, reserved bits and opcodes and invalid
// UTF-8 are let through.
//
// Destruction from the owner's thread sends a close frame (1000) when the
// connection is open, waits at most closeFrameWait for it to be written
// (never for the server's answer), stops the I/O thread without any callback,
// and returns only after both threads have ended. Never destroy the client
// from inside one of its handlers.
class WebSocketClient : public WebSocketSession {
public:
    struct Timeouts {
        std::chrono::milliseconds connect = defaultConnectTimeout;
        std::chrono::milliseconds tlsHandshake = defaultTlsHandshakeTimeout;
        std::chrono::milliseconds upgrade = defaultUpgradeTimeout;
    };

    // Owner's thread. Throws std::invalid_argument for a malformed URL and
    // std::system_error when the CA file (or, for an empty caFile and a
    // secure URL, the default verification paths) cannot be loaded. The
    // system's trust is read for secure URLs only, and once per process
    // unless SSL_CERT_FILE or SSL_CERT_DIR change. No network activity.
    WebSocketClient(const std::string& url, const std::vector<std::string>& subprotocols, size_t heartbeatIntervalMs,
                    size_t heartbeatTimeoutMs, const std::string& caFile);
    ~WebSocketClient() override;

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Owner's thread, before start(): other deadlines for the phases before
    // open. A phase that overruns ends in one onErrorHandler naming it.
    void setTimeouts(const Timeouts& timeouts);

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
    // server's close frame has arrived. Nothing is written after a close
    // frame; a payload whose status code may not be sent (1005, 1006, 1015,
    // or outside RFC 6455's ranges) goes as an empty payload.
    void close(const std::vector<uint8_t>& data) override;

    // Any thread. Sends a close frame (payload as for close) and ends the
    // connection (with onCloseHandler) as soon as it is written.
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
