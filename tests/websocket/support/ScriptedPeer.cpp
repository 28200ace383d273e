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
#include <cstring>
#include <random>
#include <stdexcept>

namespace orvanta {
namespace websocket {
namespace test {

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

} // namespace

ScriptedPeer::ScriptedPeer(bool ipv6, uint16_t port) : ipv6_(ipv6) {
    listenFd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (ipv6) {
        auto& addr = reinterpret_cast<sockaddr_in6&>(storage);
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        addr.sin6_port = htons(port);
        len = sizeof addr;
    } else {
        auto& addr = reinterpret_cast<sockaddr_in&>(storage);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        len = sizeof addr;
    }
    auto* addr = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(listenFd_, addr, len) != 0 || ::listen(listenFd_, 4) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("bind/listen failed");
    }
    ::getsockname(listenFd_, addr, &len);
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port : reinterpret_cast<sockaddr_in&>(storage).sin_port);
}

ScriptedPeer::~ScriptedPeer() {
    closeConnection();
    if (listenFd_ >= 0) ::close(listenFd_);
}

std::string ScriptedPeer::url(const std::string& pathAndQuery) const {
    return std::string(ipv6_ ? "ws://[::1]:" : "ws://127.0.0.1:") + std::to_string(port_) + pathAndQuery;
}

bool ScriptedPeer::accept(Timeout timeout) {
    closeConnection();
    if (!waitReadable(listenFd_, std::chrono::steady_clock::now() + timeout)) return false;
    connFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connFd_ < 0) return false;
    int one = 1;
    ::setsockopt(connFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

std::string ScriptedPeer::readRequest(Timeout timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string request;
    while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
        uint8_t c;
        if (!readExactly(&c, 1, deadline)) return {};
        request.push_back(static_cast<char>(c));
    }
    const auto at = request.find("Content-Length: ");
    if (at != std::string::npos) {
        std::string body(std::stoul(request.substr(at + 16)), '\0');
        if (!readExactly(reinterpret_cast<uint8_t*>(&body[0]), body.size(), deadline)) return {};
        request += body;
    }
    return request;
}

std::string ScriptedPeer::requestKey(const std::string& request) {
    const std::string name = "Sec-WebSocket-Key: ";
    const auto at = request.find(name);
    if (at == std::string::npos) return {};
    const auto end = request.find("\r\n", at);
    return request.substr(at + name.size(), end - at - name.size());
}

std::string ScriptedPeer::acceptFor(const std::string& key) {
    const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    unsigned char out[64] = {};
    const int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
}

std::string ScriptedPeer::switchingResponse(const std::string& request, const std::string& extraHeaders) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           acceptFor(requestKey(request)) + "\r\n" + extraHeaders + "\r\n";
}

std::string ScriptedPeer::handshake(const std::string& extraHeaders, Timeout timeout) {
    if (!accept(timeout)) return {};
    std::string request = readRequest(timeout);
    if (request.empty() || !sendRaw(switchingResponse(request, extraHeaders))) return {};
    return request;
}

bool ScriptedPeer::sendRaw(const std::string& bytes) { return sendRaw(Bytes(bytes.begin(), bytes.end())); }

bool ScriptedPeer::sendRaw(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(connFd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

ScriptedPeer::Bytes ScriptedPeer::encodeFrame(uint8_t opcode, const Bytes& payload, bool fin, uint8_t rsv, bool masked) {
    Bytes out;
    out.push_back(static_cast<uint8_t>((fin ? 0x80 : 0) | ((rsv & 0x7) << 4) | (opcode & 0x0F)));
    const uint8_t maskBit = masked ? 0x80 : 0;
    const uint64_t n = payload.size();
    if (n < 126) {
        out.push_back(static_cast<uint8_t>(maskBit | n));
    } else if (n < 65536) {
        out.push_back(maskBit | 126);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(maskBit | 127);
        for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(n >> s));
    }
    uint8_t key[4] = {0x12, 0x34, 0x56, 0x78};
    if (masked) out.insert(out.end(), key, key + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) out.push_back(masked ? payload[i] ^ key[i % 4] : payload[i]);
    return out;
}

bool ScriptedPeer::sendFrame(uint8_t opcode, const Bytes& payload, bool fin, uint8_t rsv, bool masked) {
    return sendRaw(encodeFrame(opcode, payload, fin, rsv, masked));
}

bool ScriptedPeer::readExactly(uint8_t* out, std::size_t n, std::chrono::steady_clock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        if (connFd_ < 0 || !waitReadable(connFd_, deadline)) return false;
        const ssize_t r = ::recv(connFd_, out + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

std::optional<ScriptedPeer::Frame> ScriptedPeer::readFrame(Timeout timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t h[2];
    if (!readExactly(h, 2, deadline)) return std::nullopt;
    Frame f;
    f.fin = (h[0] & 0x80) != 0;
    f.rsv = (h[0] >> 4) & 0x7;
    f.opcode = h[0] & 0x0F;
    f.masked = (h[1] & 0x80) != 0;
    uint64_t len = h[1] & 0x7F;
    if (len >= 126) {
        uint8_t ext[8];
        const std::size_t k = len == 126 ? 2 : 8;
        if (!readExactly(ext, k, deadline)) return std::nullopt;
        len = 0;
        for (std::size_t i = 0; i < k; ++i) len = (len << 8) | ext[i];
    }
    uint8_t key[4] = {};
    if (f.masked && !readExactly(key, 4, deadline)) return std::nullopt;
    if (len > (64u << 20)) return std::nullopt;
    f.payload.resize(static_cast<std::size_t>(len));
    if (len > 0 && !readExactly(f.payload.data(), f.payload.size(), deadline)) return std::nullopt;
    if (f.masked) {
        for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= key[i % 4];
    }
    return f;
}

bool ScriptedPeer::waitForEof(Timeout timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t sink[4096];
    for (;;) {
        if (connFd_ < 0 || !waitReadable(connFd_, deadline)) return false;
        const ssize_t r = ::recv(connFd_, sink, sizeof sink, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return true;
    }
}

bool ScriptedPeer::quietFor(Timeout timeout) {
    if (connFd_ < 0) return true;
    return !waitReadable(connFd_, std::chrono::steady_clock::now() + timeout);
}

void ScriptedPeer::closeConnection() {
    if (connFd_ >= 0) {
        ::close(connFd_);
        connFd_ = -1;
    }
}

void ScriptedPeer::resetConnection() {
    if (connFd_ < 0) return;
    const linger hard{1, 0};
    ::setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    closeConnection();
}

} // namespace test
} // namespace websocket
} // namespace orvanta
