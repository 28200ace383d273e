#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "tools/simulator/Link.h"
#include "tools/simulator/ErasedStream.h"
#include "tools/simulator/ServiceSession.h"
#include "tools/simulator/SimulatorState.h"

namespace orvanta::simulator {

/// One upgraded realtime WebSocket connection: completes the upgrade, reads
/// client messages into its ServiceSession and writes what the session
/// produces, one write at a time, at the times the session asks for. Fault
/// flags that act on the transport live here. Runs on the I/O thread only.
class RealtimeConnection : public Link, public std::enable_shared_from_this<RealtimeConnection> {
 public:
  RealtimeConnection(ErasedStream&& stream, std::shared_ptr<SimulatorState> state, const SimulatorFaults& faults,
                     ServiceSession::Kind kind, std::string model, const std::string& sessionConfig);
  ~RealtimeConnection() override;

  /// Answers the upgrade request (already checked by the caller).
  void run(boost::beast::http::request<boost::beast::http::string_body> request, bool realtimeOffered);

  bool sendText(const std::string& text) override;
  bool isOpen() const override { return open_; }
  void close(bool abrupt) override;

 private:
  void onAccept(boost::beast::error_code ec);
  void read();
  void onRead(boost::beast::error_code ec, std::size_t bytes);
  void pump();
  void injectFaults();
  bool enqueue(std::string data, bool binary);
  void write();
  void onWrite(boost::beast::error_code ec, std::size_t bytes);
  void startClose();
  void peerClosed();
  void dropTcp();
  void finish(ConnectionEnd end = ConnectionEnd::Dropped);

  struct Outgoing {
    std::string data;
    bool binary;
  };

  boost::beast::websocket::stream<ErasedStream> ws_;
  std::shared_ptr<SimulatorState> state_;
  const SimulatorFaults faults_;
  const std::size_t ordinal_;  // among realtime connections, for the records
  ServiceSession session_;
  boost::asio::steady_timer timer_;
  boost::beast::flat_buffer readBuffer_;
  std::deque<Outgoing> queue_;
  uint32_t queued_ = 0;           // messages ever queued, for closeAfterMessages
  bool writing_ = false;
  bool open_ = false;             // upgraded and not finished
  bool closeWhenFlushed_ = false;
  bool abruptClose_ = false;
  bool closing_ = false;
  bool faultsInjected_ = false;
  bool closeStarted_ = false;  // our close frame is on its way
  bool peerClosed_ = false;    // the client's close frame was read
};

}  // namespace orvanta::simulator
