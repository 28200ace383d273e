#include "websocket/support/ScriptedPeer.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace orvanta::websocket::test {

namespace {

using Clock = std::chrono::steady_clock;

bool waitReadable(int fd, Clock::time_point deadline) {
    for (pollfd p{fd, POLLIN, 0};;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (const int r = ::poll(&p, 1, left < 0 ? 0 : static_cast<int>(left)); r >= 0 || errno != EINTR) return r > 0;
    }
}

} // namespace

ScriptedPeer::ScriptedPeer(bool ipv6, uint16_t port) : ipv6_(ipv6) {
    sockaddr_in v4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    sockaddr_in6 v6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
    auto* addr = ipv6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4);
    socklen_t len = ipv6 ? sizeof v6 : sizeof v4;
    listenFd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, addr, len) != 0 || ::listen(listenFd_, 4) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("cannot listen");
    }
    ::getsockname(listenFd_, addr, &len);
    port_ = ntohs(ipv6 ? v6.sin6_port : v4.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
    closeConnection();
    ::close(listenFd_);
}

std::string ScriptedPeer::url(const std::string& pathAndQuery) const {
    return std::string(ipv6_ ? "ws://[::1]:" : "ws://127.0.0.1:") + std::to_string(port_) + pathAndQuery;
}

bool ScriptedPeer::accept(Timeout timeout) {
    closeConnection();
    if (!waitReadable(listenFd_, Clock::now() + timeout)) return false;
    connFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    int one = 1;
    ::setsockopt(connFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connFd_ >= 0;
}

std::string ScriptedPeer::readRequest(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string request;
    while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
        uint8_t c;
        if (!readExactly(&c, 1, deadline)) return {};
        request.push_back(static_cast<char>(c));
    }
    const auto at = request.find("Content-Length: ");
    if (at == std::string::npos) return request;
    std::string body(std::stoul(request.substr(at + 16)), '\0');
    return readExactly(reinterpret_cast<uint8_t*>(&body[0]), body.size(), deadline) ? request + body : "";
}

std::string ScriptedPeer::requestKey(const std::string& request) {
    const std::string name = "Sec-WebSocket-Key: ";
    const auto at = request.find(name);
    return at == std::string::npos ? "" : request.substr(at + name.size(), request.find("\r\n", at) - at - name.size());
}

std::string ScriptedPeer::acceptFor(const std::string& key) {
    const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH], out[64] = {};
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH)));
}

std::string ScriptedPeer::switchingResponse(const std::string& request, const std::string& extraHeaders) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
           acceptFor(requestKey(request)) + "\r\n" + extraHeaders + "\r\n";
}

std::string ScriptedPeer::handshake(const std::string& extraHeaders) {
    const std::string request = accept() ? readRequest() : "";
    return !request.empty() && sendRaw(switchingResponse(request, extraHeaders)) ? request : "";
}

bool ScriptedPeer::sendRaw(const Bytes& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(connFd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

ScriptedPeer::Bytes ScriptedPeer::encodeFrame(uint8_t opcode, const Bytes& payload, bool fin, uint8_t rsv, bool masked) {
    Bytes out{static_cast<uint8_t>((fin ? 0x80 : 0) | ((rsv & 0x7) << 4) | (opcode & 0x0F))};
    const uint8_t maskBit = masked ? 0x80 : 0;
    const uint64_t n = payload.size();
    const int lengthBytes = n < 126 ? 0 : n < 65536 ? 2 : 8;
    out.push_back(static_cast<uint8_t>(maskBit | (lengthBytes == 0 ? n : lengthBytes == 2 ? 126 : 127)));
    for (int i = lengthBytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    const uint8_t key[4] = {0x12, 0x34, 0x56, 0x78};
    if (masked) out.insert(out.end(), key, key + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) out.push_back(masked ? payload[i] ^ key[i % 4] : payload[i]);
    return out;
}

bool ScriptedPeer::readExactly(uint8_t* out, std::size_t n, Clock::time_point deadline) {
    for (std::size_t got = 0; got < n;) {
        if (connFd_ < 0 || !waitReadable(connFd_, deadline)) return false;
        const ssize_t r = ::recv(connFd_, out + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

std::optional<ScriptedPeer::Frame> ScriptedPeer::readFrame(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    uint8_t h[2], ext[8], key[4] = {};
    if (!readExactly(h, 2, deadline)) return std::nullopt;
    Frame f{(h[0] & 0x80) != 0, static_cast<uint8_t>((h[0] >> 4) & 0x7), static_cast<uint8_t>(h[0] & 0x0F), (h[1] & 0x80) != 0, {}};
    uint64_t len = h[1] & 0x7F;
    const std::size_t k = len == 126 ? 2 : len == 127 ? 8 : 0;
    if (k > 0 && !readExactly(ext, k, deadline)) return std::nullopt;
    for (std::size_t i = 0; i < k; ++i) len = (i == 0 ? 0 : len << 8) | ext[i];
    if ((f.masked && !readExactly(key, 4, deadline)) || len > (64u << 20)) return std::nullopt;
    f.payload.resize(static_cast<std::size_t>(len));
    if (len > 0 && !readExactly(f.payload.data(), f.payload.size(), deadline)) return std::nullopt;
    for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= key[i % 4];
    return f;
}

bool ScriptedPeer::waitForEof(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    uint8_t sink[4096];
    for (;;) {
        if (connFd_ < 0 || !waitReadable(connFd_, deadline)) return false;
        const ssize_t r = ::recv(connFd_, sink, sizeof sink, 0);
        if (r == 0 || (r < 0 && errno != EINTR)) return true;
    }
}

void ScriptedPeer::closeConnection(bool reset) {
    const linger hard{1, 0};
    if (reset && connFd_ >= 0) ::setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    if (connFd_ >= 0) ::close(connFd_);
    connFd_ = -1;
}

} // namespace orvanta::websocket::test
