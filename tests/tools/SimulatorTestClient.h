#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <nlohmann/json.hpp>

namespace orvanta::simulator::test {

using namespace std::chrono_literals;

/// A plain Beast WebSocket client for driving the simulator in tests. Every
/// operation is bounded by a timeout; nothing blocks for ever.
class TestClient {
 public:
  explicit TestClient(uint16_t port, boost::asio::ssl::context* tls = nullptr);
  ~TestClient();

  /// Opening handshake. Returns 101 on upgrade, the HTTP status of a refusal,
  /// or 0 when there was no answer within the timeout.
  unsigned connect(const std::string& target, const std::vector<std::string>& subprotocols,
                   std::chrono::milliseconds timeout = 5s);
  /// Sent as "Authorization: Bearer ..." when not empty.
  std::string bearer;
  /// Subprotocol the server chose, and the body of a refusal.
  std::string negotiated;
  std::string refusalBody;

  void send(const std::string& text);
  void sendBinary(const std::string& bytes);

  /// The next message as JSON; nullopt on timeout or when the connection
  /// ended (see ended / closeCode). Non-JSON text comes back as a string
  /// value; binary messages set lastWasBinary.
  std::optional<nlohmann::json> next(std::chrono::milliseconds timeout = 5s);
  /// Reads until an event of this type arrives; every event read on the way
  /// (the match included) is appended to `seen` when given.
  nlohmann::json waitFor(const std::string& type, std::vector<nlohmann::json>* seen = nullptr,
                         std::chrono::milliseconds timeout = 5s);

  /// Sends a close frame with this code (0: a frame without code) and waits
  /// for the connection to end.
  void close(unsigned code);

  /// Sends a ping and reads until its pong or the timeout; true when the pong came.
  bool pingAnswered(std::chrono::milliseconds timeout);

  bool ended = false;
  bool endedWithCloseFrame = false;
  unsigned closeCode = 0;
  bool lastWasBinary = false;
  std::string lastRaw;

 private:
  /// Closes the socket and lets the cancelled operations complete.
  void abandon();
  template <class Ws>
  void startReading(Ws& ws);

  uint16_t port_;
  boost::asio::io_context ioc_;
  std::unique_ptr<boost::beast::websocket::stream<boost::beast::tcp_stream>> plain_;
  std::unique_ptr<boost::beast::websocket::stream<boost::beast::ssl_stream<boost::beast::tcp_stream>>> secure_;
  boost::beast::flat_buffer buffer_;
  std::deque<std::pair<std::string, bool>> inbox_;  // text, binary
  bool pongSeen_ = false;
};

struct HttpResult {
  unsigned status = 0;
  std::string body;
};

/// One HTTP POST (or other method) to the simulator, over TLS when `tls` is set.
HttpResult httpRequest(uint16_t port, const std::string& method, const std::string& target, const std::string& body,
                       boost::asio::ssl::context* tls = nullptr);

/// `seconds` of 16-bit mono 24 kHz audio as Base64: a 220 Hz tone at the
/// given amplitude (0 = silence).
std::string pcmBase64(double seconds, double amplitude);
/// Number of samples in a Base64 PCM16 text.
std::size_t pcmSamples(const std::string& base64);

/// A throwaway certificate authority and a server certificate for
/// 127.0.0.1 signed by it, written as PEM files into a fresh directory.
struct TestCertificates {
  TestCertificates();
  ~TestCertificates();
  std::string directory;
  std::string caFile;
  std::string certificateFile;
  std::string keyFile;
  std::string caPem;
};

}  // namespace orvanta::simulator::test
