#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct HttpRequest {
    std::string method;
    std::string target;
    std::vector<std::string> headerLines;  // as received, without CRLF
    std::string body;

    // Value of the first header with this name (case-insensitive), or "".
    std::string header(const std::string& name) const;
};

struct HttpReply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    bool hang = false;             // never answer; the connection stays open until the server stops
    bool closeAfterReply = false;  // answer with "Connection: close" and close
};

// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port), plain or TLS,
// with keep-alive. Each connection runs on its own thread; the handler may be
// called from several at once.
class LocalHttpServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    struct Tls {
        std::string certificatePem;
        std::string privateKeyPem;
    };

    explicit LocalHttpServer(Handler handler, std::optional<Tls> tls = std::nullopt);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    std::uint16_t port() const;
    std::string baseURL() const;  // "http://127.0.0.1:<port>" or "https://..."

    std::vector<HttpRequest> requests() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForReplies(std::size_t count, std::chrono::milliseconds timeout) const;

    // Ends hung connections and joins every thread; called by the destructor.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t unusedLoopbackPort();

} // namespace testsupport
