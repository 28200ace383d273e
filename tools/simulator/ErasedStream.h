#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>

namespace orvanta::simulator {

/// A byte stream that hides whether TCP or TLS lies beneath, so that the
/// HTTP and WebSocket code is compiled once rather than once per transport
/// (Beast's nested operation types otherwise make object files of hundreds
/// of megabytes). It can also drop the pong frames the WebSocket layer writes,
/// or everything, which lets the simulator play a peer that stops answering
/// pings: Beast answers them by itself with no switch to turn that off.
///
/// Meets Beast's AsyncStream requirements for completion handlers (not
/// completion tokens). Used on the I/O thread only.
class ErasedStream {
 public:
  using executor_type = boost::asio::any_io_executor;
  using ReadWriteHandler = std::function<void(boost::beast::error_code, std::size_t)>;

  /// What a concrete transport provides.
  class Backend {
   public:
    virtual ~Backend() = default;
    virtual executor_type executor() = 0;
    virtual void readSome(boost::asio::mutable_buffer buffer, ReadWriteHandler handler) = 0;
    /// Writes the whole buffer.
    virtual void write(boost::asio::const_buffer buffer, ReadWriteHandler handler) = 0;
    virtual void teardown(boost::beast::role_type role, std::function<void(boost::beast::error_code)> handler) = 0;
    /// Drops the connection at once (no TLS close_notify, no close frame).
    virtual void close() = 0;
    virtual void expiresAfter(std::chrono::steady_clock::duration timeout) = 0;
    virtual void expiresNever() = 0;
  };

  explicit ErasedStream(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}
  ErasedStream(ErasedStream&&) = default;
  ErasedStream& operator=(ErasedStream&&) = default;

  executor_type get_executor() { return backend_->executor(); }

  void setDropPongs(bool drop) { dropPongs_ = drop; }
  /// Drops every byte written from now on, reporting it as sent.
  void setSilent(bool silent) { silent_ = silent; }
  void close() { backend_->close(); }
  void expiresAfter(std::chrono::steady_clock::duration timeout) { backend_->expiresAfter(timeout); }
  void expiresNever() { backend_->expiresNever(); }

  template <class MutableBufferSequence, class Handler>
  void async_read_some(const MutableBufferSequence& buffers, Handler&& handler) {
    boost::asio::mutable_buffer target;
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      if (boost::asio::mutable_buffer b(*it); b.size() > 0) {
        target = b;
        break;
      }
    }
    startRead(target, wrap<Handler, boost::beast::error_code, std::size_t>(std::forward<Handler>(handler)));
  }

  template <class ConstBufferSequence, class Handler>
  void async_write_some(const ConstBufferSequence& buffers, Handler&& handler) {
    auto data = std::make_shared<std::string>();
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::const_buffer b(*it);
      data->append(static_cast<const char*>(b.data()), b.size());
    }
    startWrite(std::move(data), wrap<Handler, boost::beast::error_code, std::size_t>(std::forward<Handler>(handler)));
  }

  friend void beast_close_socket(ErasedStream& stream) { stream.close(); }

  friend void teardown(boost::beast::role_type, ErasedStream& stream, boost::beast::error_code& ec) {
    stream.close();
    ec = {};
  }

  template <class Handler>
  friend void async_teardown(boost::beast::role_type role, ErasedStream& stream, Handler&& handler) {
    stream.backend_->teardown(role, wrap<Handler, boost::beast::error_code>(std::forward<Handler>(handler)));
  }

 private:
  // Beast's handlers are move-only; std::function wants copies, so the
  // handler is shared by the copies (only one of them is ever called).
  template <class Handler, class... Args>
  static std::function<void(Args...)> wrap(Handler&& handler) {
    auto shared = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    return [shared](Args... args) { (*shared)(args...); };
  }

  void startRead(boost::asio::mutable_buffer buffer, ReadWriteHandler handler);
  void startWrite(std::shared_ptr<std::string> data, ReadWriteHandler handler);
  void filterPongs(const std::string& in, std::string& out);

  std::unique_ptr<Backend> backend_;
  bool dropPongs_ = false;
  bool silent_ = false;
  // Position in the outgoing frame structure (RFC 6455, 5.2).
  uint8_t header_[14] = {};
  std::size_t headerLen_ = 0;
  std::size_t headerNeed_ = 2;
  uint64_t payloadLeft_ = 0;
  bool dropping_ = false;
};

}  // namespace orvanta::simulator
