#include "networkclient/support/LocalHttpServer.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

constexpr std::size_t maxHeaderBytes = 64 * 1024;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

const char* reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// One accepted connection, plain or TLS.
class Connection {
public:
    Connection(int socket, SSL* tls) : fd(socket), ssl(tls) {}
    ~Connection() {
        if (ssl)
            SSL_free(ssl);
    }
    long read(char* data, std::size_t size) {
        if (ssl)
            return SSL_read(ssl, data, static_cast<int>(size));
        return ::recv(fd, data, size, 0);
    }
    bool writeAll(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            long n = ssl ? SSL_write(ssl, data.data() + sent, static_cast<int>(data.size() - sent))
                         : ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd;
    SSL* ssl;
};

} // namespace

std::string HttpRequest::header(const std::string& name) const {
    const std::string wanted = lower(name);
    for (const auto& line : headerLines) {
        const auto colon = line.find(':');
        if (colon != std::string::npos && lower(line.substr(0, colon)) == wanted) {
            std::size_t start = colon + 1;
            while (start < line.size() && line[start] == ' ')
                ++start;
            return line.substr(start);
        }
    }
    return {};
}

struct LocalHttpServer::Impl {
    Handler handler;
    SSL_CTX* tlsContext = nullptr;
    int listenFd = -1;
    int stopPipe[2] = {-1, -1};
    std::uint16_t port = 0;
    std::thread acceptThread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    std::vector<HttpRequest> received;
    std::size_t replies = 0;
    std::set<int> openSockets;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> connectionThreads;  // finished ones are joined as new ones start

    void acceptLoop();
    void serve(int fd);
    bool readRequest(Connection& connection, std::string& pending, HttpRequest& request);
};

LocalHttpServer::LocalHttpServer(Handler handler, std::optional<Tls> tls) : impl(std::make_unique<Impl>()) {
    impl->handler = std::move(handler);
    // A client that hangs up mid-reply must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    if (tls) {
        impl->tlsContext = SSL_CTX_new(TLS_server_method());
        BIO* certBio = BIO_new_mem_buf(tls->certificatePem.data(), static_cast<int>(tls->certificatePem.size()));
        BIO* keyBio = BIO_new_mem_buf(tls->privateKeyPem.data(), static_cast<int>(tls->privateKeyPem.size()));
        X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
        EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
        const bool ok = cert && key && SSL_CTX_use_certificate(impl->tlsContext, cert) == 1 &&
                        SSL_CTX_use_PrivateKey(impl->tlsContext, key) == 1;
        X509_free(cert);
        EVP_PKEY_free(key);
        BIO_free(certBio);
        BIO_free(keyBio);
        if (!ok)
            throw std::runtime_error("test server: bad TLS identity");
    }
    impl->listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(impl->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(impl->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(impl->listenFd, 128) != 0)
        throw std::runtime_error("test server: cannot listen on 127.0.0.1");
    socklen_t length = sizeof address;
    ::getsockname(impl->listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    impl->port = ntohs(address.sin_port);
    if (::pipe(impl->stopPipe) != 0)
        throw std::runtime_error("test server: pipe failed");
    impl->acceptThread = std::thread([this] { impl->acceptLoop(); });
}

LocalHttpServer::~LocalHttpServer() {
    stop();
}

void LocalHttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (impl->stopping)
            return;
        impl->stopping = true;
        for (int fd : impl->openSockets)
            ::shutdown(fd, SHUT_RDWR);
    }
    impl->changed.notify_all();
    const char byte = 0;
    [[maybe_unused]] auto written = ::write(impl->stopPipe[1], &byte, 1);
    impl->acceptThread.join();
    std::vector<Impl::Worker> threads;
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        threads.swap(impl->connectionThreads);
    }
    for (auto& t : threads)
        t.thread.join();
    ::close(impl->listenFd);
    ::close(impl->stopPipe[0]);
    ::close(impl->stopPipe[1]);
    if (impl->tlsContext)
        SSL_CTX_free(impl->tlsContext);
}

std::uint16_t LocalHttpServer::port() const {
    return impl->port;
}

std::string LocalHttpServer::baseURL() const {
    return std::string(impl->tlsContext ? "https" : "http") + "://127.0.0.1:" + std::to_string(impl->port);
}

std::vector<HttpRequest> LocalHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->received;
}

bool LocalHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] { return impl->received.size() >= count; });
}

bool LocalHttpServer::waitForReplies(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] { return impl->replies >= count; });
}

void LocalHttpServer::Impl::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents != 0)
            return;
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) {
            ::close(fd);
            return;
        }
        openSockets.insert(fd);
        for (auto it = connectionThreads.begin(); it != connectionThreads.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = connectionThreads.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        connectionThreads.push_back(Worker{std::thread([this, fd, done] {
                                               serve(fd);
                                               done->store(true);
                                           }),
                                           done});
    }
}

bool LocalHttpServer::Impl::readRequest(Connection& connection, std::string& pending, HttpRequest& request) {
    char chunk[16 * 1024];
    std::size_t headerEnd;
    while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > maxHeaderBytes)
            return false;
        const long n = connection.read(chunk, sizeof chunk);
        if (n <= 0)
            return false;
        pending.append(chunk, static_cast<std::size_t>(n));
    }
    const std::string head = pending.substr(0, headerEnd);
    pending.erase(0, headerEnd + 4);

    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstBlank = requestLine.find(' ');
    const auto secondBlank = requestLine.find(' ', firstBlank + 1);
    request.method = requestLine.substr(0, firstBlank);
    request.target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        request.headerLines.push_back(head.substr(start, lineEnd == std::string::npos ? std::string::npos
                                                                                       : lineEnd - start));
    }
    const std::string lengthText = request.header("Content-Length");
    const std::size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
    while (pending.size() < length) {
        const long n = connection.read(chunk, sizeof chunk);
        if (n <= 0)
            return false;
        pending.append(chunk, static_cast<std::size_t>(n));
    }
    request.body = pending.substr(0, length);
    pending.erase(0, length);
    return true;
}

void LocalHttpServer::Impl::serve(int fd) {
    SSL* ssl = nullptr;
    if (tlsContext) {
        ssl = SSL_new(tlsContext);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            ERR_clear_error();
            SSL_free(ssl);
            ssl = nullptr;
            std::lock_guard<std::mutex> lock(mutex);
            openSockets.erase(fd);
            ::close(fd);
            return;
        }
    }
    {
        Connection connection(fd, ssl);
        std::string pending;
        for (;;) {
            HttpRequest request;
            if (!readRequest(connection, pending, request))
                break;
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(request);
            }
            changed.notify_all();
            const HttpReply reply = handler(request);
            if (reply.hang) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stopping; });
                break;
            }
            std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) +
                              "\r\nContent-Type: " + reply.contentType +
                              "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n";
            if (reply.closeAfterReply)
                out += "Connection: close\r\n";
            out += "\r\n" + reply.body;
            const bool written = connection.writeAll(out);
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++replies;
            }
            changed.notify_all();
            if (!written || reply.closeAfterReply)
                break;
        }
        ERR_clear_error();
    }
    std::lock_guard<std::mutex> lock(mutex);
    openSockets.erase(fd);
    ::close(fd);
}

std::uint16_t unusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace testsupport
