#pragma once

#include <memory>
#include <optional>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "tools/simulator/ErasedStream.h"
#include "tools/simulator/SimulatorState.h"

namespace orvanta::simulator {

/// A freshly accepted connection (after TLS, when configured): reads HTTP
/// requests and either answers them (token endpoint, errors) or, for a valid
/// upgrade to the realtime endpoint, hands the stream to a RealtimeConnection.
/// Runs on the I/O thread only.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(ErasedStream&& stream, std::shared_ptr<SimulatorState> state);
  ~HttpConnection();

  void run();

 private:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  void readRequest();
  void onRead(boost::beast::error_code ec, std::size_t bytes);
  void route(Request request);
  void answerToken(Request request);
  void upgrade(Request request);
  void reject(const Request& request, unsigned status, const std::string& code, const std::string& message);
  void reply(unsigned status, std::string body, bool keepAlive);
  void onReplied(bool keepAlive, boost::beast::error_code ec, std::size_t bytes);
  void stall();
  void stallRead();
  void shutdown();

  ErasedStream stream_;
  std::shared_ptr<SimulatorState> state_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  boost::beast::http::response<boost::beast::http::string_body> response_;
  std::optional<boost::asio::steady_timer> timer_;  // a delayed token answer
  char stallBuffer_[256] = {};
};

}  // namespace orvanta::simulator
