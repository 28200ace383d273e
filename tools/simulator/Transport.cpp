#include "tools/simulator/Transport.h"

#include <memory>

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace orvanta::simulator {

namespace beast = boost::beast;
namespace net = boost::asio;

namespace {

template <class Stream>
class BackendOf final : public ErasedStream::Backend {
 public:
  explicit BackendOf(Stream&& stream) : stream_(std::move(stream)) {}

  ErasedStream::executor_type executor() override { return stream_.get_executor(); }

  void readSome(net::mutable_buffer buffer, ErasedStream::ReadWriteHandler handler) override {
    stream_.async_read_some(buffer, std::move(handler));
  }

  void write(net::const_buffer buffer, ErasedStream::ReadWriteHandler handler) override {
    net::async_write(stream_, buffer, std::move(handler));
  }

  void teardown(beast::role_type role, std::function<void(beast::error_code)> handler) override {
    using beast::websocket::async_teardown;
    async_teardown(role, stream_, std::move(handler));
  }

  void close() override {
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(stream_).socket();
    socket.shutdown(net::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  void expiresAfter(std::chrono::steady_clock::duration timeout) override {
    beast::get_lowest_layer(stream_).expires_after(timeout);
  }

  void expiresNever() override { beast::get_lowest_layer(stream_).expires_never(); }

 private:
  Stream stream_;
};

}  // namespace

void openTransport(net::ip::tcp::socket socket, net::ssl::context* tls,
                   std::chrono::steady_clock::duration handshakeTimeout, std::function<void(ErasedStream)> ready,
                   std::function<void(const std::string&)> failed) {
  if (!tls) {
    ready(ErasedStream(std::make_unique<BackendOf<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)))));
    return;
  }
  using TlsStream = beast::ssl_stream<beast::tcp_stream>;
  auto stream = std::make_shared<TlsStream>(beast::tcp_stream(std::move(socket)), *tls);
  beast::get_lowest_layer(*stream).expires_after(handshakeTimeout);
  stream->async_handshake(net::ssl::stream_base::server, [stream, ready = std::move(ready),
                                                          failed = std::move(failed)](beast::error_code ec) {
    if (ec) {
      failed("TLS handshake failed: " + ec.message());
      return;
    }
    beast::get_lowest_layer(*stream).expires_never();
    ready(ErasedStream(std::make_unique<BackendOf<TlsStream>>(std::move(*stream))));
  });
}

}  // namespace orvanta::simulator
