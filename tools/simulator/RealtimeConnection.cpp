#include "tools/simulator/RealtimeConnection.h"

#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>

namespace orvanta::simulator {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace net = boost::asio;

namespace {

// Above one second of Base64 audio with a wide margin, like Beast's default.
constexpr std::size_t kMaxMessageBytes = 16 * 1024 * 1024;

SimulatorOptions withFaults(SimulatorOptions options, const SimulatorFaults& faults) {
  options.faults = faults;
  return options;
}

std::string excerpt(const std::string& text) { return text.size() <= 160 ? text : text.substr(0, 160) + "..."; }

}  // namespace

RealtimeConnection::RealtimeConnection(ErasedStream&& stream, std::shared_ptr<SimulatorState> state,
                                               const SimulatorFaults& faults, ServiceSession::Kind kind,
                                               std::string model, const std::string& sessionConfig)
    : ws_(std::move(stream)),
      state_(std::move(state)),
      faults_(faults),
      ordinal_(state_->nextConnection()),
      session_(kind, std::move(model), sessionConfig, state_->connectionSeed(ordinal_),
               withFaults(state_->options(), faults), ServiceSession::Clock::now()),
      timer_(ws_.get_executor()) {
  session_.setInputAudioObserver(
      [state = state_, ordinal = ordinal_](const std::vector<int16_t>& samples, ServiceSession::Clock::time_point at) {
        state->recordAppend(ordinal, at, samples);
      });
}

// Connections still upgrading when the simulator stops end here.
RealtimeConnection::~RealtimeConnection() { state_->recordEnd(ordinal_, ConnectionEnd::Dropped); }

void RealtimeConnection::run(beast::http::request<beast::http::string_body> request, bool realtimeOffered) {
  ws_.next_layer().expiresNever();
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = std::chrono::seconds(30);
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;  // the service does not ping its clients
  ws_.set_option(timeouts);
  // Name the subprotocol only when it was offered: a client that offered
  // none must refuse an answer that picks one (RFC 6455, section 4.1).
  ws_.set_option(websocket::stream_base::decorator([realtimeOffered](websocket::response_type& response) {
    response.set(beast::http::field::server, "orvanta-simulator");
    if (realtimeOffered) response.set(beast::http::field::sec_websocket_protocol, "realtime");
  }));
  ws_.read_message_max(kMaxMessageBytes);
  ws_.auto_fragment(false);  // one event, one frame, as the service sends them
  ws_.async_accept(request, beast::bind_front_handler(&RealtimeConnection::onAccept, shared_from_this()));
}

void RealtimeConnection::onAccept(beast::error_code ec) {
  if (ec) {
    state_->log("realtime: upgrade failed: " + ec.message());
    finish();
    return;
  }
  // Only now: the frame filter must not see the HTTP answer to the upgrade.
  ws_.next_layer().setDropPongs(faults_.ignorePings);
  ws_.next_layer().setSilent(faults_.silentAfterUpgrade);
  open_ = true;
  ++state_->openRealtime;
  state_->addLink(weak_from_this());
  state_->log(faults_.silentAfterUpgrade ? "realtime: connection open, silent" : "realtime: connection open");
  pump();
  read();
}

void RealtimeConnection::read() {
  ws_.async_read(readBuffer_, beast::bind_front_handler(&RealtimeConnection::onRead, shared_from_this()));
}

void RealtimeConnection::onRead(beast::error_code ec, std::size_t) {
  if (ec) {
    state_->log("realtime: connection ended: " + ec.message());
    // A close frame read whose answer could not be written (the client
    // tore the connection down right after sending it) still came.
    if (ec == websocket::error::closed || ws_.reason().code != websocket::close_code::none) {
      peerClosed();
      finish(ConnectionEnd::CloseFrame);
    } else if (!(ec == net::error::operation_aborted && closeStarted_)) {
      finish();
    }
    // else: our close is under way, and its handler ends the connection.
    return;
  }
  const std::string text = beast::buffers_to_string(readBuffer_.data());
  readBuffer_.consume(readBuffer_.size());
  const auto now = ServiceSession::Clock::now();
  if (faults_.silentAfterUpgrade) {
    if (ws_.got_text()) state_->recordClientEvent(text);
    read();
    return;
  }
  if (ws_.got_text()) {
    if (state_->logging()) state_->log("recv " + excerpt(text));
    state_->recordClientEvent(text);
    session_.handleClientText(text, now);
  } else {
    state_->log("recv binary message of " + std::to_string(text.size()) + " bytes");
    session_.handleClientBinary(now);
  }
  pump();
  read();
}

void RealtimeConnection::pump() {
  if (!open_ || faults_.silentAfterUpgrade) return;
  for (auto& text : session_.takeDue(ServiceSession::Clock::now())) {
    enqueue(std::move(text), false);
    // The first message is always session.created.
    if (!faultsInjected_) {
      faultsInjected_ = true;
      injectFaults();
    }
  }
  if (auto due = session_.nextDue()) {
    timer_.expires_at(*due);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->pump();
    });
  }
}

void RealtimeConnection::injectFaults() {
  if (faults_.sendGarbage) enqueue("this is not JSON {\"type\":", false);
  if (faults_.sendBinaryFrame) enqueue(std::string("\x00\x01\x02\xff", 4), true);
  if (faults_.sendErrorEvent) {
    enqueue(R"({"event_id":"event_fault","type":"error","error":{"type":"server_error","code":"simulated_fault",)"
            R"("message":"The server had an error while processing your request (simulated fault).",)"
            R"("param":null,"event_id":null}})",
            false);
  }
}

bool RealtimeConnection::enqueue(std::string data, bool binary) {
  if (!open_ || closing_) return false;
  const uint32_t limit = faults_.closeAfterMessages;
  if (limit > 0 && queued_ >= limit) return false;
  if (state_->logging()) state_->log(binary ? "send binary frame" : "send " + excerpt(data));
  queue_.push_back({std::move(data), binary});
  ++queued_;
  if (limit > 0 && queued_ == limit) {
    closeWhenFlushed_ = true;
    abruptClose_ = faults_.closeAbruptly;
    closing_ = true;
  }
  if (!writing_) write();
  return true;
}

void RealtimeConnection::write() {
  writing_ = true;
  ws_.text(!queue_.front().binary);
  ws_.async_write(net::buffer(queue_.front().data),
                  beast::bind_front_handler(&RealtimeConnection::onWrite, shared_from_this()));
}

void RealtimeConnection::onWrite(beast::error_code ec, std::size_t) {
  writing_ = false;
  if (ec) {
    finish();
    return;
  }
  queue_.pop_front();
  if (!queue_.empty()) {
    write();
    return;
  }
  if (!closeWhenFlushed_ || !open_) return;
  closeWhenFlushed_ = false;
  if (abruptClose_) {
    dropTcp();
    return;
  }
  state_->log("realtime: closing (normal)");
  startClose();
}

bool RealtimeConnection::sendText(const std::string& text) {
  return enqueue(text, false);
}

void RealtimeConnection::close(bool abrupt) {
  if (!open_) return;
  if (abrupt) {
    dropTcp();
    return;
  }
  if (closing_ && !closeWhenFlushed_) return;
  closing_ = true;
  // Nothing goes out after the close frame; a write in flight completes first.
  if (writing_) {
    queue_.erase(queue_.begin() + 1, queue_.end());
    closeWhenFlushed_ = true;
    abruptClose_ = false;
    return;
  }
  closeWhenFlushed_ = false;
  startClose();
}

void RealtimeConnection::startClose() {
  closeStarted_ = true;
  ws_.async_close(websocket::close_code::normal, [self = shared_from_this()](beast::error_code ec) {
    // Success means the client's close frame came back.
    if (!ec) self->peerClosed();
    self->finish(self->peerClosed_ ? ConnectionEnd::CloseFrame : ConnectionEnd::Dropped);
  });
}

void RealtimeConnection::peerClosed() {
  if (peerClosed_) return;
  peerClosed_ = true;
  const auto code = static_cast<unsigned>(ws_.reason().code);
  state_->recordClose(ordinal_, code == websocket::close_code::none ? 1005 : code);
}

void RealtimeConnection::dropTcp() {
  state_->log("realtime: dropping TCP");
  ws_.next_layer().close();
  finish();
}

void RealtimeConnection::finish(ConnectionEnd end) {
  state_->recordEnd(ordinal_, end);
  if (open_) {
    open_ = false;
    --state_->openRealtime;
  }
  closing_ = true;
  timer_.cancel();
  // Ends whichever operation is still pending; both handlers then find the
  // connection finished and let it go.
  ws_.next_layer().close();
}


}  // namespace orvanta::simulator
