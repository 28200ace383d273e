#include "websocket/support/BeastServer.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace beast = boost::beast;
namespace net = boost::asio;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = net::ip::tcp;

namespace orvanta {
namespace websocket {
namespace test {

struct BeastServer::Impl {
    explicit Impl(Options o) : options(std::move(o)), acceptor(ioc), sslContext(net::ssl::context::tlsv12_server) {}

    struct SessionBase {
        virtual ~SessionBase() = default;
        virtual void close(uint16_t code) = 0;
    };

    template <typename Stream>
    struct Session : SessionBase, std::enable_shared_from_this<Session<Stream>> {
        template <typename... Args>
        Session(Impl& owner, Args&&... args) : impl(owner), stream(std::forward<Args>(args)...) {}

        void run() {
            auto self = this->shared_from_this();
            if constexpr (std::is_same_v<Stream, ws::stream<beast::ssl_stream<beast::tcp_stream>>>) {
                stream.next_layer().async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
                    if (ec) return self->ended();
                    self->readRequest();
                });
            } else {
                readRequest();
            }
        }

        void readRequest() {
            auto self = this->shared_from_this();
            http::async_read(stream.next_layer(), buffer, request, [self](beast::error_code ec, std::size_t) {
                if (ec) return self->ended();
                self->upgrade();
            });
        }

        void upgrade() {
            {
                std::lock_guard<std::mutex> lock(impl.mutex);
                impl.target = std::string(request.target());
                impl.offered = std::string(request[http::field::sec_websocket_protocol]);
            }
            const std::string chosen = impl.options.chosenProtocol;
            stream.set_option(ws::stream_base::decorator([chosen](ws::response_type& res) {
                if (!chosen.empty()) res.set(http::field::sec_websocket_protocol, chosen);
            }));
            stream.control_callback([this](ws::frame_type kind, beast::string_view) {
                if (kind == ws::frame_type::ping) {
                    std::lock_guard<std::mutex> lock(impl.mutex);
                    ++impl.pings;
                    impl.changed.notify_all();
                }
            });
            stream.read_message_max(64u << 20);
            auto self = this->shared_from_this();
            stream.async_accept(request, [self](beast::error_code ec) {
                if (ec) return self->ended();
                self->accepted = true;
                // A close asked for while the 101 was still being written
                // could not start then: Beast allows one write at a time.
                if (self->closeRequested) return self->startClose();
                self->read();
            });
        }

        void read() {
            auto self = this->shared_from_this();
            buffer.clear();
            stream.async_read(buffer, [self](beast::error_code ec, std::size_t) {
                if (ec == ws::error::closed) self->closeReceived();
                if (ec) return self->ended();
                Message m{beast::buffers_to_string(self->buffer.data()), self->stream.got_text()};
                {
                    std::lock_guard<std::mutex> lock(self->impl.mutex);
                    self->impl.received.push_back(m);
                    self->impl.changed.notify_all();
                }
                if (!self->impl.options.echo) return self->read();
                self->writing = true;
                self->stream.text(m.text);
                self->outgoing = std::move(m.data);
                self->stream.async_write(net::buffer(self->outgoing), [self](beast::error_code wec, std::size_t) {
                    self->writing = false;
                    if (wec) return self->ended();
                    if (self->closeRequested) return self->startClose();
                    self->read();
                });
            });
        }

        void close(uint16_t code) override {
            closeCode = code;
            if (writing || !accepted) {
                closeRequested = true;
                return;
            }
            startClose();
        }

        void startClose() {
            auto self = this->shared_from_this();
            // The pending read completes with `closed` once the client answers.
            stream.async_close(ws::close_reason(closeCode), [self](beast::error_code ec) {
                if (!ec) self->closeReceived();
            });
        }

        void closeReceived() {
            if (closeSeen) return;
            closeSeen = true;
            std::lock_guard<std::mutex> lock(impl.mutex);
            impl.clientCloses++;
            impl.closeCode = stream.reason().code;
            impl.changed.notify_all();
        }

        void ended() {
            if (done) return;
            done = true;
            std::lock_guard<std::mutex> lock(impl.mutex);
            impl.ended++;
            impl.changed.notify_all();
        }

        Impl& impl;
        Stream stream;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        std::string outgoing;
        bool writing = false;
        bool accepted = false;
        bool closeRequested = false;
        bool done = false;
        bool closeSeen = false;
        uint16_t closeCode = 1000;
    };

    void accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec) return;
            {
                std::lock_guard<std::mutex> lock(mutex);
                connections++;
            }
            socket.set_option(tcp::no_delay(true));
            if (options.tls) {
                auto s = std::make_shared<Session<ws::stream<beast::ssl_stream<beast::tcp_stream>>>>(
                    *this, std::move(socket), sslContext);
                sessions.push_back(s);
                s->run();
            } else {
                auto s = std::make_shared<Session<ws::stream<beast::tcp_stream>>>(*this, std::move(socket));
                sessions.push_back(s);
                s->run();
            }
            accept();
        });
    }

    template <typename Pred>
    bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }

    Options options;
    net::io_context ioc;
    tcp::acceptor acceptor;
    net::ssl::context sslContext;
    std::list<std::weak_ptr<SessionBase>> sessions;  // io thread only
    std::thread thread;
    uint16_t port = 0;  // fixed before the thread starts

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Message> received;
    std::size_t pings = 0;
    std::size_t connections = 0;
    std::size_t clientCloses = 0;
    std::size_t ended = 0;
    int closeCode = -1;
    std::string target;
    std::string offered;
};

BeastServer::BeastServer(Options options) : impl(std::make_unique<Impl>(std::move(options))) {
    if (impl->options.tls) {
        impl->sslContext.use_certificate_chain_file(impl->options.certificateFile);
        impl->sslContext.use_private_key_file(impl->options.privateKeyFile, net::ssl::context::pem);
    }
    tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
    impl->acceptor.open(endpoint.protocol());
    impl->acceptor.set_option(net::socket_base::reuse_address(true));
    impl->acceptor.bind(endpoint);
    impl->acceptor.listen();
    impl->port = impl->acceptor.local_endpoint().port();
    impl->accept();
    impl->thread = std::thread([this] { impl->ioc.run(); });
}

BeastServer::~BeastServer() {
    impl->ioc.stop();
    if (impl->thread.joinable()) impl->thread.join();
}

uint16_t BeastServer::port() const { return impl->port; }

std::string BeastServer::url(const std::string& pathAndQuery) const {
    return std::string(impl->options.tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port()) + pathAndQuery;
}

std::vector<BeastServer::Message> BeastServer::messages() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->received;
}

bool BeastServer::waitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl->waitUntil(timeout, [&] { return impl->received.size() >= count; });
}

std::size_t BeastServer::pingCount() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->pings;
}

bool BeastServer::waitForPings(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl->waitUntil(timeout, [&] { return impl->pings >= count; });
}

std::size_t BeastServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->connections;
}

std::string BeastServer::lastTarget() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->target;
}

std::string BeastServer::lastOfferedProtocols() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->offered;
}

void BeastServer::closeAll(uint16_t code) {
    net::post(impl->ioc, [this, code] {
        for (auto& weak : impl->sessions) {
            if (auto s = weak.lock()) s->close(code);
        }
    });
}

bool BeastServer::waitForClientClose(std::chrono::milliseconds timeout) const {
    return impl->waitUntil(timeout, [&] { return impl->clientCloses > 0; });
}

int BeastServer::lastCloseCode() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->closeCode;
}

std::size_t BeastServer::endedSessions() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->ended;
}

bool BeastServer::waitForEndedSessions(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl->waitUntil(timeout, [&] { return impl->ended >= count; });
}

} // namespace test
} // namespace websocket
} // namespace orvanta
