#include "websocket/WebSocketClient.h"

#include "utils/Logger.h"
#include "websocket/Handshake.h"
#include "websocket/HeartbeatMonitor.h"
#include "websocket/URL.h"
#include "websocket/WebSocketFrame.h"
#include "websocket/internal/FrameReader.h"
#include "websocket/internal/HandshakeParser.h"
#include "websocket/internal/MessageAssembler.h"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

namespace orvanta {
namespace websocket {

namespace {

using logging::LogLevel;

// Control frames and close answers are never cut.
constexpr unsigned long unfragmented = 104857600;

constexpr uint8_t opContinuation = 0x0;
constexpr uint8_t opText = 0x1;
constexpr uint8_t opBinary = 0x2;
constexpr uint8_t opClose = 0x8;
constexpr uint8_t opPing = 0x9;
constexpr uint8_t opPong = 0xA;

// How long a connection that we fail waits for its close frame to be
// written before the socket goes anyway.
constexpr std::chrono::milliseconds closeLinger{1000};

// Received payload bytes shown by the debug log of a data frame.
constexpr std::size_t loggedPayloadBytes = 1024;

const std::vector<uint8_t> normalClosure{0x03, 0xE8};  // 1000

// One encoded frame waiting for the socket. The opcode is the message's, so
// every fragment logs the message's type.
struct OutgoingFrame {
    std::shared_ptr<std::vector<uint8_t>> bytes;
    uint8_t opcode;
    bool last;               // ends its message
    bool finishesConnection; // a close frame after which we read no answer
};

bool isOrdinaryEnd(const std::error_code& error) {
    return error == asio::error::eof || error == asio::ssl::error::stream_truncated ||
           error == asio::error::connection_reset || error == std::errc::connection_reset ||
           error == asio::error::broken_pipe || error == std::errc::broken_pipe;
}

// An IPv6 literal loses its brackets for the resolver and the certificate
// check; the Host header keeps them.
std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

bool isIpLiteral(const std::string& host) {
    std::error_code ec;
    asio::ip::make_address(withoutBrackets(host), ec);
    return !ec;
}

// Parsing the system's certificate bundle costs tens of milliseconds, so
// secure clients share one store: loaded on first use, and again only when
// the environment names other default paths. OpenSSL stores are reference
// counted and safe to share between contexts and threads.
void useDefaultTrust(SSL_CTX* context) {
    static std::mutex mutex;
    static X509_STORE* store = nullptr;
    static std::string loadedFor;
    const auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? "=" + std::string(value) : std::string("unset");
    };
    const std::string paths = env(X509_get_default_cert_file_env()) + "\n" + env(X509_get_default_cert_dir_env());
    std::lock_guard<std::mutex> lock(mutex);
    if (store == nullptr || paths != loadedFor) {
        X509_STORE* fresh = X509_STORE_new();
        if (fresh == nullptr || X509_STORE_set_default_paths(fresh) != 1) {
            X509_STORE_free(fresh);
            throw std::system_error(std::error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()),
                                    "set_default_verify_paths");
        }
        X509_STORE_free(store);  // contexts made with it keep their own reference
        store = fresh;
        loadedFor = paths;
    }
    SSL_CTX_set1_cert_store(context, store);
}

// What the client may put in a close frame: the caller's payload, or an
// empty one when its status code may not be sent.
std::vector<uint8_t> sendableClosePayload(const std::vector<uint8_t>& data) {
    if (data.empty()) return data;
    if (data.size() >= 2 && internal::isValidCloseCode(static_cast<uint16_t>(data[0] << 8 | data[1]))) return data;
    return {};
}

// Subprotocols of the form "<name>.<value>" carry credentials (an API key,
// a client secret) in their value; values shorter than this are version tags
// and the like, not secrets worth hiding.
constexpr std::size_t minimumSecretLength = 8;

std::vector<std::string> secretsIn(const std::vector<std::string>& protocols) {
    std::vector<std::string> secrets;
    for (const auto& p : protocols) {
        const auto dot = p.find('.');
        if (dot != std::string::npos && p.size() - dot - 1 >= minimumSecretLength) secrets.push_back(p.substr(dot + 1));
    }
    return secrets;
}

// Cuts one message into masked frames: the message's opcode on the first,
// continuation on the rest, FIN on the last. 0 means a single frame.
std::vector<OutgoingFrame> encodeMessage(const std::vector<uint8_t>& data, uint8_t opcode,
                                         unsigned long maxFragmentSize, bool finishesConnection) {
    std::vector<OutgoingFrame> frames;
    const std::size_t size = data.size();
    if (maxFragmentSize == 0 || size <= maxFragmentSize) {
        frames.push_back({std::make_shared<std::vector<uint8_t>>(WebSocketFrame::build(data, true, opcode, true)),
                          opcode, true, finishesConnection});
        return frames;
    }
    for (std::size_t offset = 0; offset < size; offset += maxFragmentSize) {
        const std::size_t n = std::min<std::size_t>(maxFragmentSize, size - offset);
        const bool last = offset + n == size;
        const std::vector<uint8_t> part(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                        data.begin() + static_cast<std::ptrdiff_t>(offset + n));
        frames.push_back({std::make_shared<std::vector<uint8_t>>(
                              WebSocketFrame::build(part, last, offset == 0 ? opcode : opContinuation, true)),
                          opcode, last, finishesConnection});
    }
    return frames;
}

} // namespace

struct WebSocketClient::Internals {
    Internals(WebSocketClient* owner, const std::string& url, const std::vector<std::string>& subprotocols,
              const std::string& caFile);

    // What the deadline timer guards.
    enum class Deadline { Connect, TlsHandshake, Upgrade, Linger };

    void run();
    void stopClient();
    void startHeartbeatMonitor();

    bool logs(LogLevel level) const {
        return logger.getLogDestination() != nullptr && logger.getLogLevel() >= level;
    }
    // Every line goes through here so that no secret reaches a log.
    void log(LogLevel level, const std::string& text) const;

    // I/O thread.
    void enqueue(const std::vector<uint8_t>& data, uint8_t opcode, unsigned long maxFragmentSize,
                 bool finishesConnection);
    void enqueueFrames(std::vector<OutgoingFrame>& frames);
    void flushWrites();
    void onWriteDone(const std::error_code& error, const OutgoingFrame& frame);
    void processIncoming();
    void readFromPeer(internal::FrameReader::Stage stage, std::size_t needed);
    bool advance(internal::FrameReader::Stage stage, internal::FrameReader::Outcome outcome);
    bool dispatch(WebSocketFrame& frame);
    void failBeforeOpen(const std::string& logText, const std::string& callbackText);
    // Tells the owner (once) and ends the connection, after a close frame
    // with `closeCode` when it is not 0 and the connection is open.
    void failConnection(const std::string& text, uint16_t closeCode);
    void notifyClose();
    void onHandshakeResponse(const std::error_code& readError, std::size_t n, const std::string& key);
    void arm(Deadline which);
    void onDeadline(Deadline which);
    // Destruction's last words: a close frame, and no callback from now on.
    void sayGoodbye();
    void farewellWritten();

    template <typename F>
    void withStream(F&& f) {
        if (secure)
            f(sslStream);
        else
            f(socket);
    }

    WebSocketClient* client;
    asio::io_context ioContext;
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
    asio::ssl::context sslContext;
    asio::ssl::stream<asio::ip::tcp::socket&> sslStream;
    asio::streambuf receiveBuffer;
    internal::MessageAssembler assembler{internal::maxMessageSize, WebSocketSession::messagePadding};
    std::atomic<bool> closing{false};      // written by the owner's thread
    std::atomic<bool> closed{false};
    bool secure = false;
    std::string host;
    std::string port;
    std::string hostHeader;  // host, with the port when it is not the scheme's
    std::string path;
    std::vector<std::string> protocols;
    std::string negotiatedProtocol;
    std::mt19937 rng;
    Timeouts timeouts;  // owner's thread before start(), then I/O thread

    // I/O thread only.
    internal::FrameReader reader;
    asio::steady_timer deadline;
    std::deque<OutgoingFrame> writeQueue;
    std::size_t queuedBytes = 0;
    bool writeInFlight = false;
    bool closeQueued = false;  // nothing may be written after a close frame
    bool open = false;
    bool tornDown = false;
    std::vector<std::string> secrets;

    // Destruction waits here for its close frame.
    std::mutex farewellMutex;
    std::condition_variable farewellChanged;
    bool farewellDone = false;

    std::unique_ptr<std::thread> clientThread;
    std::unique_ptr<HeartbeatMonitor> heartbeatMonitor;
};

WebSocketClient::Internals::Internals(WebSocketClient* owner, const std::string& url,
                                      const std::vector<std::string>& subprotocols, const std::string& caFile)
    : client(owner), resolver(ioContext), socket(ioContext), sslContext(asio::ssl::context::tlsv12_client),
      sslStream(socket, sslContext), rng(std::random_device{}()), deadline(ioContext) {
    const URL parsed = URL::parse(url);
    host = parsed.getHost();
    secure = parsed.getScheme() == "wss" || parsed.getScheme() == "https";
    const std::string defaultPort = secure ? "443" : "80";
    port = !parsed.getPort().empty() ? parsed.getPort() : defaultPort;
    hostHeader = port == defaultPort ? host : host + ":" + port;
    path = parsed.getPath().empty() ? "/" : parsed.getPath();
    if (!parsed.getQuery().empty()) path += "?" + parsed.getQuery();
    protocols = subprotocols;
    secrets = secretsIn(protocols);
    // A CA file is loaded whatever the scheme, so that a bad one is refused
    // here; the system's trust is loaded only when TLS will need it.
    if (!caFile.empty()) {
        sslContext.load_verify_file(caFile);
    } else if (secure) {
        useDefaultTrust(sslContext.native_handle());
    }
    sslContext.set_verify_mode(asio::ssl::verify_peer);
}

void WebSocketClient::Internals::log(LogLevel level, const std::string& text) const {
    if (!logs(level)) return;
    std::string masked = text;
    for (const auto& secret : secrets) {
        for (auto at = masked.find(secret); at != std::string::npos; at = masked.find(secret, at + 3)) {
            masked.replace(at, secret.size(), "***");
        }
    }
    switch (level) {
    case LogLevel::Error: logger.error(masked); break;
    case LogLevel::Warning: logger.warning(masked); break;
    case LogLevel::Info: logger.info(masked); break;
    case LogLevel::Debug: logger.debug(masked); break;
    case LogLevel::Trace: logger.trace(masked); break;
    case LogLevel::None: break;
    }
}

void WebSocketClient::Internals::run() {
    std::string failure;
    try {
        ioContext.run();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    if (!failure.empty()) {
        // The loop is gone with the connection in an unknown state: the
        // owner must not go on believing it is alive.
        try {
            log(LogLevel::Error, "[WebSocketClient] Exception in client thread: " + failure);
            if (!closed.exchange(true)) client->onErrorHandler("Exception in client thread: " + failure);
        } catch (...) {
        }
        try {
            client->close();
        } catch (...) {
        }
    }
    try {
        log(LogLevel::Debug, "[WebSocketClient] Client thread exiting.");
    } catch (...) {
    }
}

void WebSocketClient::Internals::stopClient() {
    try {
        ioContext.stop();
        if (clientThread && clientThread->joinable()) clientThread->join();
    } catch (const std::exception& e) {
        log(LogLevel::Error, std::string("[WebSocketClient] Exception during stop: ") + e.what());
    } catch (...) {
        log(LogLevel::Error, "[WebSocketClient] Unknown exception during stop.");
    }
}

void WebSocketClient::Internals::startHeartbeatMonitor() {
    HeartbeatMonitor::Config config(std::chrono::milliseconds(client->heartbeatIntervalMs),
                                    std::chrono::milliseconds(client->heartbeatTimeoutMs), 2);
    // The monitor thread only posts: every write and every teardown happens
    // on the I/O thread.
    auto monitor = std::make_unique<HeartbeatMonitor>(config, [this] {
        asio::post(ioContext, [this] {
            log(LogLevel::Debug, "[WebSocketClient] Sending ping.");
            enqueue({}, opPing, unfragmented, false);
        });
    });
    monitor->setTimeoutCallback([this] { log(LogLevel::Warning, "[WebSocketClient] Heartbeat timeout."); });
    monitor->setConnectionLostCallback([this] {
        asio::post(ioContext, [this] {
            log(LogLevel::Warning, "[WebSocketClient] Heartbeat timeout, closing connection.");
            notifyClose();
            // The pending read fails on the closed socket and its handler
            // finishes the teardown (stopping this monitor) on this thread.
            std::error_code ignored;
            socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        });
    });
    heartbeatMonitor = std::move(monitor);
    heartbeatMonitor->start();
}

void WebSocketClient::Internals::notifyClose() {
    if (!closed.exchange(true)) client->onCloseHandler();
}

void WebSocketClient::Internals::failBeforeOpen(const std::string& logText, const std::string& callbackText) {
    deadline.cancel();
    log(LogLevel::Error, logText);
    // The owner has been told: nothing may follow this callback, not even
    // a straggling write's error.
    if (!closed.exchange(true)) client->onErrorHandler(callbackText);
}

void WebSocketClient::Internals::failConnection(const std::string& text, uint16_t closeCode) {
    if (!closed.exchange(true)) {
        log(LogLevel::Error, "[WebSocketClient] Error: " + text);
        client->onErrorHandler(text);
    }
    if (tornDown) return;
    if (closeCode == 0 || !open || closeQueued) {
        client->close();
        return;
    }
    // RFC 6455, section 7.1.7: tell the peer why, then drop the connection
    // once that is written, or after closeLinger if the peer does not read.
    enqueue({static_cast<uint8_t>(closeCode >> 8), static_cast<uint8_t>(closeCode & 0xFF)}, opClose, unfragmented, true);
    if (!tornDown) arm(Deadline::Linger);
}

void WebSocketClient::Internals::arm(Deadline which) {
    std::chrono::milliseconds after = closeLinger;
    switch (which) {
    case Deadline::Connect: after = timeouts.connect; break;
    case Deadline::TlsHandshake: after = timeouts.tlsHandshake; break;
    case Deadline::Upgrade: after = timeouts.upgrade; break;
    case Deadline::Linger: break;
    }
    deadline.expires_after(after);
    deadline.async_wait([this, which](const std::error_code& error) {
        if (!error && !tornDown) onDeadline(which);
    });
}

void WebSocketClient::Internals::onDeadline(Deadline which) {
    const auto ms = [](std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; };
    std::string text;
    switch (which) {
    case Deadline::Connect: text = "Connect timeout: no connection within " + ms(timeouts.connect); break;
    case Deadline::TlsHandshake: text = "SSL handshake timeout: no TLS session within " + ms(timeouts.tlsHandshake); break;
    case Deadline::Upgrade: text = "Handshake timeout: no upgrade response within " + ms(timeouts.upgrade); break;
    case Deadline::Linger: client->close(); return;
    }
    failBeforeOpen("[WebSocketClient] " + text, text);
    // The pending step completes with an error that finds the owner told.
    resolver.cancel();
    client->close();
}

void WebSocketClient::Internals::sayGoodbye() {
    closed = true;
    if (open && !tornDown && !closeQueued) {
        enqueue(normalClosure, opClose, unfragmented, true);
        if (!tornDown) return;  // farewellWritten comes with the write's completion
    }
    farewellWritten();
}

void WebSocketClient::Internals::farewellWritten() {
    std::lock_guard<std::mutex> lock(farewellMutex);
    farewellDone = true;
    farewellChanged.notify_all();
}

void WebSocketClient::Internals::enqueue(const std::vector<uint8_t>& data, uint8_t opcode,
                                         unsigned long maxFragmentSize, bool finishesConnection) {
    auto frames = encodeMessage(data, opcode, maxFragmentSize, finishesConnection);
    enqueueFrames(frames);
}

void WebSocketClient::Internals::enqueueFrames(std::vector<OutgoingFrame>& frames) {
    if (tornDown || closeQueued) return;
    std::size_t bytes = 0;
    for (const auto& f : frames) bytes += f.bytes->size();
    if (!writeQueue.empty() && queuedBytes + bytes > maxQueuedBytes) {
        failConnection("Send queue overflow: more than " + std::to_string(maxQueuedBytes) +
                           " bytes waiting to be written",
                       0);
        return;
    }
    closeQueued = frames.front().opcode == opClose;
    queuedBytes += bytes;
    for (auto& f : frames) writeQueue.push_back(std::move(f));
    flushWrites();
}

void WebSocketClient::Internals::flushWrites() {
    if (writeInFlight || !open || tornDown || writeQueue.empty()) return;
    writeInFlight = true;
    const OutgoingFrame& front = writeQueue.front();
    withStream([this, &front](auto& stream) {
        asio::async_write(stream, asio::buffer(*front.bytes),
                          [this, frame = front](const std::error_code& error, std::size_t) { onWriteDone(error, frame); });
    });
}

void WebSocketClient::Internals::onWriteDone(const std::error_code& error, const OutgoingFrame& frame) {
    writeInFlight = false;
    if (!writeQueue.empty()) {
        queuedBytes -= writeQueue.front().bytes->size();
        writeQueue.pop_front();
    }
    if (frame.opcode == opClose && frame.last) farewellWritten();
    if (error) {
        if (frame.opcode == opClose && !closed) {
            // A close frame that cannot be written still ends the connection
            // as a close.
            notifyClose();
            client->close();
        } else {
            client->errorHandler(error, "Send error");
        }
        return;
    }
    if (logs(LogLevel::Trace)) {
        log(LogLevel::Trace, std::string("[WebSocketClient] Send succeeded - opcode: ") + opcodeName(frame.opcode));
    }
    if (frame.opcode == opClose && frame.last && frame.finishesConnection) {
        notifyClose();
        client->close();
        return;
    }
    flushWrites();
}

void WebSocketClient::Internals::processIncoming() {
    using Stage = internal::FrameReader::Stage;
    for (;;) {
        if (tornDown) return;
        const Stage stage = reader.stage();
        const std::size_t needed = reader.bytesNeeded();
        // A payload is read straight into its message once the buffer has
        // given up what it held of it.
        if (stage == Stage::Payload ? receiveBuffer.size() == 0 : receiveBuffer.size() < needed) {
            readFromPeer(stage, needed);
            return;
        }
        if (!advance(stage, reader.step(receiveBuffer, assembler))) return;
    }
}

void WebSocketClient::Internals::readFromPeer(internal::FrameReader::Stage stage, std::size_t needed) {
    using Stage = internal::FrameReader::Stage;
    if (stage == Stage::Payload) {
        withStream([this, needed](auto& stream) {
            asio::async_read(stream, asio::buffer(reader.payloadSpace(), needed),
                             [this](const std::error_code& error, std::size_t n) {
                                 if (error) {
                                     client->errorHandler(error, "Read error");
                                     return;
                                 }
                                 if (advance(Stage::Payload, reader.payloadArrived(n))) processIncoming();
                             });
        });
        return;
    }
    // Read at least what the step lacks; whatever else has arrived comes
    // along and is parsed in order of arrival.
    const std::size_t missing = needed - receiveBuffer.size();
    withStream([this, missing, stage](auto& stream) {
        asio::async_read(stream, receiveBuffer, asio::transfer_at_least(missing),
                         [this, missing, stage](const std::error_code& error, std::size_t n) {
                             if (!error && n >= missing) {
                                 processIncoming();
                                 return;
                             }
                             std::string context = "Read error";
                             if (!error) {
                                 context = stage == Stage::Header
                                               ? "Incomplete frame header"
                                               : "Incomplete frame payload length (" + std::to_string(n) + "<" +
                                                     std::to_string(missing) + ")";
                             }
                             client->errorHandler(error, context);
                         });
    });
}

bool WebSocketClient::Internals::advance(internal::FrameReader::Stage stage, internal::FrameReader::Outcome outcome) {
    using Outcome = internal::FrameReader::Outcome;
    if (stage == internal::FrameReader::Stage::Header && logs(LogLevel::Trace)) {
        log(LogLevel::Trace, "[WebSocketClient] Frame header parsed successfully: " + reader.frame()->toString());
    } else if (stage == internal::FrameReader::Stage::LengthAndMask && logs(LogLevel::Trace)) {
        log(LogLevel::Trace, "[WebSocketClient] Frame payload length and/or masking key parsed successfully");
    }
    switch (outcome) {
    case Outcome::NeedMore: return true;
    case Outcome::Refused: failConnection(reader.refusal().text, reader.refusal().code); return false;
    case Outcome::FrameReady: break;
    }
    const auto frame = reader.frame();
    if (!dispatch(*frame)) return false;
    reader.begin();
    return true;
}

bool WebSocketClient::Internals::dispatch(WebSocketFrame& frame) {
    if (logs(LogLevel::Trace)) log(LogLevel::Trace, "[WebSocketClient] Frame parsed successfully: " + frame.toString());
    switch (frame.opcode) {
    case opPing:
        log(LogLevel::Debug, "[WebSocketClient] Received ping, sending pong...");
        enqueue(frame.payload, opPong, unfragmented, false);
        return true;
    case opPong:
        log(LogLevel::Debug, "[WebSocketClient] Received pong");
        if (heartbeatMonitor) heartbeatMonitor->notifyPongReceived();
        return true;
    case opClose: {
        if (logs(LogLevel::Info)) {
            std::error_code ec;
            std::ostringstream peer;
            peer << socket.remote_endpoint(ec);
            log(LogLevel::Info, "[WebSocketClient] Client received close frame: " + peer.str());
        }
        if (closing) {
            // The answer to our own close frame: nothing more to say, whatever
            // it carries.
            notifyClose();
            client->close();
        } else if (const auto refusal = internal::checkClosePayload(frame.payload)) {
            // A code that may not be sent is never echoed.
            failConnection(refusal->text, refusal->code);
        } else {
            enqueue(frame.payload, opClose, unfragmented, true);
        }
        return false;
    }
    default:
        break;
    }
    if (logs(LogLevel::Debug)) {
        const auto* p = reinterpret_cast<const char*>(reader.payloadData());
        const std::size_t n = reader.payloadSize();
        std::string text = "[WebSocketClient] Received message: " + std::string(p, std::min(n, loggedPayloadBytes));
        if (n > loggedPayloadBytes) text += "... (" + std::to_string(n) + " bytes)";
        log(LogLevel::Debug, text);
    }
    if (assembler.onDataFrame(frame) == internal::MessageAssembler::Result::Continue) return true;
    // After the owner's destructor has spoken, nothing reaches the owner.
    if (!closed) client->onMessageHandler(std::move(assembler.message()), assembler.isText());
    // A reassembled message the handler left behind goes now.
    std::vector<uint8_t>().swap(assembler.message());
    return !tornDown;
}

WebSocketClient::WebSocketClient(const std::string& url, const std::vector<std::string>& subprotocols,
                                 size_t heartbeatIntervalMs_, size_t heartbeatTimeoutMs_, const std::string& caFile)
    : internals(std::make_unique<Internals>(this, url, subprotocols, caFile)) {
    heartbeatIntervalMs = heartbeatIntervalMs_;
    heartbeatTimeoutMs = heartbeatTimeoutMs_;
    internals->log(LogLevel::Debug, "[WebSocketClient] WebSocket client created.");
}

WebSocketClient::~WebSocketClient() {
    try {
        internals->log(LogLevel::Debug, "[WebSocketClient] WebSocket client destroyed.");
    } catch (...) {
    }
    try {
        Internals& in = *internals;
        if (in.clientThread && !in.ioContext.stopped()) {
            asio::post(in.ioContext, [&in] { in.sayGoodbye(); });
            std::unique_lock<std::mutex> lock(in.farewellMutex);
            in.farewellChanged.wait_for(lock, closeFrameWait, [&in] { return in.farewellDone; });
        }
    } catch (...) {
    }
    internals->stopClient();
    try {
        internals.reset();
    } catch (...) {
    }
}

void WebSocketClient::setTimeouts(const Timeouts& timeouts) { internals->timeouts = timeouts; }

void WebSocketClient::start() {
    if (internals->clientThread) return;
    const std::string invalid = internal::validateRequestInputs(internals->host, internals->path, internals->protocols);
    if (!invalid.empty()) {
        // Refused before anything touches the network; reported from the
        // I/O thread like every other failure.
        asio::post(internals->ioContext,
                   [this, invalid] { internals->failBeforeOpen("[WebSocketClient] " + invalid, invalid); });
    } else {
        connect();
    }
    internals->clientThread = std::make_unique<std::thread>([this] { internals->run(); });
}

void WebSocketClient::stop() const { internals->stopClient(); }

void WebSocketClient::send(const std::vector<uint8_t>& data, bool isText, unsigned long maxFragmentSize) {
    write(data, isText, isText ? opText : opBinary, maxFragmentSize);
}

void WebSocketClient::write(const std::vector<uint8_t>& data, bool /*isText*/, uint8_t opcode,
                            unsigned long maxFragmentSize) {
    // Encoded here, on the caller's thread; queued and written on the I/O
    // thread, all fragments of the message in one go so nothing can come
    // between them.
    auto frames = std::make_shared<std::vector<OutgoingFrame>>(encodeMessage(data, opcode, maxFragmentSize, false));
    asio::post(internals->ioContext, [this, frames] { internals->enqueueFrames(*frames); });
}

void WebSocketClient::ping(const std::vector<uint8_t>& data) { write(data, false, opPing, unfragmented); }

void WebSocketClient::close(const std::vector<uint8_t>& data) {
    internals->closing = true;
    write(sendableClosePayload(data), false, opClose, unfragmented);
}

void WebSocketClient::sendCloseFrame(const std::vector<uint8_t>& data) {
    auto frames = std::make_shared<std::vector<OutgoingFrame>>(
        encodeMessage(sendableClosePayload(data), opClose, unfragmented, true));
    asio::post(internals->ioContext, [this, frames] { internals->enqueueFrames(*frames); });
}

void WebSocketClient::connect() {
    internals->arm(Internals::Deadline::Connect);
    internals->resolver.async_resolve(
        withoutBrackets(internals->host), internals->port, [this](const std::error_code& error, asio::ip::tcp::resolver::results_type results) {
            if (internals->tornDown) return;  // the deadline passed
            if (error) {
                internals->failBeforeOpen("[WebSocketClient] Connect error: " + error.message(), error.message());
                return;
            }
            asio::async_connect(internals->socket, results, [this](const std::error_code& connectError,
                                                           const asio::ip::tcp::endpoint& endpoint) {
                Internals& in = *internals;
                if (in.tornDown) return;
                if (connectError) {
                    in.failBeforeOpen("[WebSocketClient] Connect error: " + connectError.message(),
                                      connectError.message());
                    return;
                }
                if (in.logs(LogLevel::Info)) {
                    std::ostringstream peer;
                    peer << endpoint;
                    in.log(LogLevel::Info, "[WebSocketClient] Connect: " + peer.str());
                }
                if (!in.secure) {
                    handshake();
                    return;
                }
                in.arm(Internals::Deadline::TlsHandshake);
                const std::string name = withoutBrackets(in.host);
                // RFC 6066 allows only DNS names in server name indication.
                if (!isIpLiteral(name)) SSL_set_tlsext_host_name(in.sslStream.native_handle(), name.c_str());
                std::error_code ignored;
                in.socket.set_option(asio::ip::tcp::no_delay(true), ignored);
                // The stream's TLS session was made with the context, before
                // the context's mode was set: give it verify-peer itself, or
                // a failed check would be ignored.
                in.sslStream.set_verify_mode(asio::ssl::verify_peer);
                in.sslStream.set_verify_callback(asio::ssl::host_name_verification(name));
                in.sslStream.async_handshake(asio::ssl::stream_base::client, [this](const std::error_code& tlsError) {
                    if (internals->tornDown) return;
                    if (tlsError) {
                        internals->failBeforeOpen("[WebSocketClient] SSL handshake error: " + tlsError.message(),
                                          tlsError.message());
                        close();
                        return;
                    }
                    internals->log(LogLevel::Debug, "[WebSocketClient] SSL handshake successful");
                    handshake();
                });
            });
        });
}

namespace {

// Completes the handshake read at the blank line, or once the buffered
// response has outgrown its bound, so that a server cannot make us buffer
// without end. asio hands us only the bytes not yet searched, so the size
// is taken from the buffer itself.
struct HeaderBlockEnd {
    using Iterator = asio::buffers_iterator<asio::streambuf::const_buffers_type>;
    using result_type = std::pair<Iterator, bool>;

    result_type operator()(Iterator begin, Iterator end) const {
        static const char delimiter[] = "\r\n\r\n";
        const Iterator hit = std::search(begin, end, delimiter, delimiter + 4);
        if (hit != end) return {hit + 4, true};
        if (buffer->size() > internal::maxHandshakeResponseSize) return {end, true};
        return {end - std::min<std::ptrdiff_t>(3, end - begin), false};
    }

    const asio::streambuf* buffer;
};

} // namespace

void WebSocketClient::handshake() {
    internals->arm(Internals::Deadline::Upgrade);
    const std::string key = generateNonce(internals->rng);
    auto request = std::make_shared<std::string>(
        internal::buildHandshakeRequest(internals->hostHeader, internals->path, internals->protocols, key));
    if (internals->logs(LogLevel::Trace)) {
        internals->log(LogLevel::Trace, "[WebSocketClient] Handshake request: " + *request);
    }
    internals->withStream([this, key, request](auto& stream) {
        asio::async_write(stream, asio::buffer(*request), [this, key, request, &stream](const std::error_code& error, std::size_t) {
            if (internals->tornDown) return;
            if (error) {
                internals->failBeforeOpen("[WebSocketClient] Handshake request error: " + error.message(), error.message());
                close();
                return;
            }
            asio::async_read_until(stream, internals->receiveBuffer, HeaderBlockEnd{&internals->receiveBuffer},
                                   [this, key](const std::error_code& readError, std::size_t n) {
                                       internals->onHandshakeResponse(readError, n, key);
                                   });
        });
    });
}

void WebSocketClient::Internals::onHandshakeResponse(const std::error_code& readError, std::size_t n,
                                                     const std::string& key) {
    if (tornDown) return;
    if (readError) {
        failBeforeOpen("[WebSocketClient] Handshake response error: " + readError.message(), readError.message());
        client->close();
        return;
    }
    const char* data = static_cast<const char*>(receiveBuffer.data().data());
    const std::size_t blockSize = internal::findHeaderBlockEnd(data, n);
    if (blockSize == 0) {
        const std::string text = "Handshake validation error: response header block exceeds " +
                                 std::to_string(internal::maxHandshakeResponseSize) + " bytes";
        failBeforeOpen("[WebSocketClient] " + text, text);
        client->close();
        return;
    }
    const std::string block(data, blockSize);
    // Bytes after the blank line are the first frames: they stay.
    receiveBuffer.consume(blockSize);
    const auto response = internal::parseHandshakeResponse(block, key);
    if (response.protocolNamed) {
        negotiatedProtocol = response.negotiatedProtocol;
        log(LogLevel::Debug, "[WebSocketClient] Negotiated protocol: " + negotiatedProtocol);
    }
    if (!response.valid) {
        failBeforeOpen("[WebSocketClient] " + response.error, response.error);
        client->close();
        return;
    }
    deadline.cancel();
    if (closed) {
        // The owner is destroying the client: it hears nothing more.
        client->close();
        return;
    }
    log(LogLevel::Debug, "[WebSocketClient] Handshake successful");
    open = true;
    client->onOpenHandler();
    if (tornDown || closed) return;
    startHeartbeatMonitor();
    flushWrites();
    client->read();
}

void WebSocketClient::read() {
    internals->reader.begin();
    internals->processIncoming();
}

void WebSocketClient::close() const {
    Internals& in = *internals;
    if (in.heartbeatMonitor) {
        in.heartbeatMonitor->stop();
        in.heartbeatMonitor.reset();
    }
    std::error_code ignored;
    in.deadline.cancel();
    in.socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    in.socket.close(ignored);
    in.writeQueue.clear();
    in.queuedBytes = 0;
    if (!in.tornDown) {
        in.tornDown = true;
        in.log(LogLevel::Debug, "[WebSocketClient] Connection closed");
    }
    in.farewellWritten();
}

void WebSocketClient::errorHandler(const std::error_code& error, const std::string& context) const {
    Internals& in = *internals;
    if (in.closed) {
        close();
        return;
    }
    if (isOrdinaryEnd(error) || in.closing) {
        in.notifyClose();
        close();
        return;
    }
    if (!in.closed.exchange(true)) {
        in.log(LogLevel::Error, "[WebSocketClient] Error: " + context + " - " + error.message());
        onErrorHandler(context);
    }
    close();
}

} // namespace websocket
} // namespace orvanta
