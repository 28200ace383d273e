#include "tools/simulator/Simulator.h"

#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/error.hpp>
#include <openssl/ssl.h>

#include "tools/simulator/DelayLine.h"
#include "tools/simulator/HttpConnection.h"
#include "tools/simulator/SimulatorState.h"
#include "tools/simulator/Transport.h"

namespace orvanta::simulator {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct Simulator::Impl {
  explicit Impl(SimulatorOptions o) : options(o), state(std::make_shared<SimulatorState>(std::move(o))) {}

  const SimulatorOptions options;
  std::shared_ptr<SimulatorState> state;

  mutable std::mutex mutex;  // start, stop and the calls that run on the I/O thread
  bool running = false;
  uint16_t port = 0;
  // Destroyed in reverse: acceptor before the I/O context it lives in, the
  // context (and with it every connection) before the TLS context they use.
  std::unique_ptr<net::ssl::context> tls;
  std::unique_ptr<net::io_context> ioc;
  std::unique_ptr<tcp::acceptor> acceptor;
  // With a link delay, clients connect to `acceptor` and each connection is
  // relayed through a delay line to this loopback listener, behind which
  // everything works as without delay.
  std::unique_ptr<tcp::acceptor> delayedSide;
  // Connections held open without a byte read or written (silentAfterAccept).
  std::vector<tcp::socket> silent;
  std::thread thread;

  bool tlsEnabled() const { return !options.tlsCertificateFile.empty() && !options.tlsPrivateKeyFile.empty(); }

  void accept() {
    acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
      if (!ec) {
        socket.set_option(tcp::no_delay(true), ec);
        if (delayedSide) {
          relay(std::move(socket));
        } else {
          serve(std::move(socket));
        }
      }
      accept();
    });
  }

  void relay(tcp::socket outer) {
    auto inner = std::make_shared<tcp::socket>(*ioc);
    auto held = std::make_shared<tcp::socket>(std::move(outer));
    inner->async_connect(delayedSide->local_endpoint(), [this, inner, held](beast::error_code ec) {
      if (ec) return;
      inner->set_option(tcp::no_delay(true), ec);
      startDelayLine(std::move(*held), std::move(*inner), options.linkDelay);
    });
  }

  void acceptDelayed() {
    delayedSide->async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !delayedSide->is_open()) return;
      if (!ec) {
        socket.set_option(tcp::no_delay(true), ec);
        serve(std::move(socket));
      }
      acceptDelayed();
    });
  }

  void serve(tcp::socket socket) {
    if (state->faults().silentAfterAccept) {
      state->log("holding a connection in silence");
      silent.push_back(std::move(socket));
      return;
    }
    auto shared = state;
    // A TLS handshake costs two round trips of the link.
    openTransport(
        std::move(socket), tls.get(), std::chrono::seconds(30) + 4 * options.linkDelay,
        [shared](ErasedStream stream) { std::make_shared<HttpConnection>(std::move(stream), shared)->run(); },
        [shared](const std::string& why) { shared->log(why); });
  }

  /// Runs `fn` on the I/O thread and waits for it. Caller holds `mutex`.
  template <class Fn>
  auto onIoThread(Fn fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    net::post(*ioc, [&task] { task(); });
    return result.get();
  }
};

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { stop(); }

void Simulator::start() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->running) throw std::runtime_error("simulator already started");
  const auto& options = impl_->options;
  std::unique_ptr<net::ssl::context> tls;
  if (impl_->tlsEnabled()) {
    tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
    try {
      tls->use_certificate_chain_file(options.tlsCertificateFile);
      tls->use_private_key_file(options.tlsPrivateKeyFile, net::ssl::context::pem);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("simulator: cannot load the TLS certificate or key: ") + e.what());
    }
  }
  auto ioc = std::make_unique<net::io_context>(1);
  auto acceptor = std::make_unique<tcp::acceptor>(*ioc);
  try {
    const tcp::endpoint endpoint(net::ip::make_address(options.host), options.port);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(net::socket_base::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(net::socket_base::max_listen_connections);
  } catch (const std::exception& e) {
    throw std::runtime_error("simulator: cannot listen on " + options.host + ":" + std::to_string(options.port) +
                             ": " + e.what());
  }
  std::unique_ptr<tcp::acceptor> delayedSide;
  if (options.linkDelay.count() > 0) {
    delayedSide = std::make_unique<tcp::acceptor>(*ioc);
    const tcp::endpoint endpoint(acceptor->local_endpoint().address(), 0);
    delayedSide->open(endpoint.protocol());
    delayedSide->bind(endpoint);
    delayedSide->listen(net::socket_base::max_listen_connections);
  }
  impl_->port = acceptor->local_endpoint().port();
  impl_->tls = std::move(tls);
  impl_->ioc = std::move(ioc);
  impl_->acceptor = std::move(acceptor);
  impl_->delayedSide = std::move(delayedSide);
  impl_->accept();
  if (impl_->delayedSide) impl_->acceptDelayed();
  impl_->thread = std::thread([ioc = impl_->ioc.get()] { ioc->run(); });
  impl_->running = true;
  impl_->state->log("listening on port " + std::to_string(impl_->port));
}

void Simulator::stop() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->running) return;
  // Close every realtime connection the hard way first, so that clients
  // notice at once even if they are idle.
  impl_->onIoThread([this] {
    beast::error_code ignored;
    impl_->acceptor->close(ignored);
    if (impl_->delayedSide) impl_->delayedSide->close(ignored);
    for (auto& link : impl_->state->liveLinks()) link->close(true);
    impl_->silent.clear();
    return 0;
  });
  impl_->ioc->stop();
  impl_->thread.join();
  // Pending handlers, and the connections they keep alive, go with the context.
  impl_->acceptor.reset();
  impl_->delayedSide.reset();
  impl_->ioc.reset();
  impl_->tls.reset();
  impl_->running = false;
}

uint16_t Simulator::port() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->port;
}

bool Simulator::isTls() const { return impl_->tlsEnabled(); }

std::string Simulator::realtimeUrl() const {
  const std::string host =
      impl_->options.host.find(':') != std::string::npos ? "[" + impl_->options.host + "]" : impl_->options.host;
  return std::string(isTls() ? "wss://" : "ws://") + host + ":" + std::to_string(port()) + "/v1/realtime";
}

std::string Simulator::tokenBaseUrl() const {
  const std::string host =
      impl_->options.host.find(':') != std::string::npos ? "[" + impl_->options.host + "]" : impl_->options.host;
  return std::string(isTls() ? "https://" : "http://") + host + ":" + std::to_string(port());
}

void Simulator::setFaults(const SimulatorFaults& faults) { impl_->state->setFaults(faults); }

std::vector<std::string> Simulator::receivedClientEvents() const { return impl_->state->clientEvents(); }

void Simulator::clearReceivedClientEvents() { impl_->state->clearClientEvents(); }

bool Simulator::waitForClientEvents(const std::function<bool(const std::vector<std::string>&)>& pred,
                                    std::chrono::milliseconds timeout) const {
  return impl_->state->waitForClientEvents(pred, timeout);
}

std::vector<HandshakeRecord> Simulator::handshakes() const { return impl_->state->handshakes(); }

std::vector<ReceivedClose> Simulator::receivedCloseCodes() const { return impl_->state->closes(); }

bool Simulator::waitForCloseCodes(const std::function<bool(const std::vector<ReceivedClose>&)>& pred,
                                  std::chrono::milliseconds timeout) const {
  return impl_->state->waitForCloses(pred, timeout);
}

std::vector<ConnectionEnd> Simulator::connectionEnds() const { return impl_->state->ends(); }

bool Simulator::waitForConnectionEnds(const std::function<bool(const std::vector<ConnectionEnd>&)>& pred,
                                      std::chrono::milliseconds timeout) const {
  return impl_->state->waitForEnds(pred, timeout);
}

std::vector<std::vector<int16_t>> Simulator::receivedInputAudio() const { return impl_->state->inputAudio(); }

std::vector<AppendRecord> Simulator::receivedAppends() const { return impl_->state->appends(); }

bool Simulator::waitForAppends(const std::function<bool(const std::vector<AppendRecord>&)>& pred,
                               std::chrono::milliseconds timeout) const {
  return impl_->state->waitForAppends(pred, timeout);
}

std::size_t Simulator::tokenRequestCount() const { return impl_->state->tokenRequests(); }

bool Simulator::waitForTokenRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->state->waitForTokenRequests(count, timeout);
}

std::size_t Simulator::openConnections() const { return impl_->state->openRealtime.load(); }

std::size_t Simulator::sendToAll(const std::string& text) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->running) return 0;
  return impl_->onIoThread([this, &text] {
    std::size_t count = 0;
    for (auto& link : impl_->state->liveLinks()) count += link->sendText(text) ? 1 : 0;
    return count;
  });
}

std::size_t Simulator::closeAll(bool abrupt) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->running) return 0;
  return impl_->onIoThread([this, abrupt] {
    std::size_t count = 0;
    for (auto& link : impl_->state->liveLinks()) {
      if (!link->isOpen()) continue;
      link->close(abrupt);
      ++count;
    }
    return count;
  });
}

}  // namespace orvanta::simulator
