#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/simulator/SimulatorOptions.h"

namespace orvanta::simulator {

/// One opening handshake the realtime endpoint saw, for tests.
struct HandshakeRecord {
  std::string target;        ///< request target, e.g. "/v1/realtime?model=x"
  std::string subprotocols;  ///< raw Sec-WebSocket-Protocol header, "" if absent
  unsigned status = 0;       ///< 101 when upgraded, else the HTTP status sent; 0 if stalled
};

/// A close frame a client sent on a realtime connection.
struct ReceivedClose {
  std::size_t connection = 0;  ///< ordinal of the realtime connection (0, 1, ... in upgrade order)
  unsigned code = 0;           ///< its status code; 1005 when the frame carried none
};

/// How a realtime connection ended.
enum class ConnectionEnd {
  Open,        ///< not ended yet
  CloseFrame,  ///< a close frame came from the client (first, or in reply to the simulator's)
  Dropped,     ///< TCP ended without a close frame from the client, on either side
};

/// One "input_audio_buffer.append" that decoded, for tests.
struct AppendRecord {
  std::size_t connection = 0;                     ///< ordinal of the realtime connection
  std::chrono::steady_clock::time_point arrival;  ///< when the message was read
  std::size_t samples = 0;                        ///< samples it carried
  std::size_t firstSample = 0;                    ///< index of its first sample in the connection's audio
};

/// A local stand-in for the realtime service and the token service, on one
/// port. It owns one I/O thread; every operation below may be called from
/// any thread, except that the destructor and stop() must not run on the
/// simulator's own I/O thread (that is, not from the log callback).
class Simulator {
 public:
  explicit Simulator(SimulatorOptions options);
  ~Simulator();  ///< stop()s.

  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  /// Binds and starts the I/O thread; returns once connections are accepted.
  /// Throws std::runtime_error when it cannot bind or load the TLS files, or
  /// when already started.
  void start();
  /// Closes every connection, joins the I/O thread. Idempotent. The
  /// simulator may be started again afterwards (on a new port if port was 0).
  void stop();

  uint16_t port() const;
  bool isTls() const;
  /// ws://HOST:PORT/v1/realtime (wss:// with TLS), without a query.
  std::string realtimeUrl() const;
  /// http://HOST:PORT (https:// with TLS); the token path is appended by callers.
  std::string tokenBaseUrl() const;

  /// Replaces the fault flags for connections accepted from now on.
  void setFaults(const SimulatorFaults& faults);

  /// Raw text of every client text message received on any realtime
  /// connection, in arrival order.
  std::vector<std::string> receivedClientEvents() const;
  void clearReceivedClientEvents();
  /// Waits until pred(receivedClientEvents()) holds; false on timeout.
  bool waitForClientEvents(const std::function<bool(const std::vector<std::string>&)>& pred,
                           std::chrono::milliseconds timeout) const;

  std::vector<HandshakeRecord> handshakes() const;

  /// Every close frame clients sent, in arrival order.
  std::vector<ReceivedClose> receivedCloseCodes() const;
  /// Waits until pred(receivedCloseCodes()) holds; false on timeout.
  bool waitForCloseCodes(const std::function<bool(const std::vector<ReceivedClose>&)>& pred,
                         std::chrono::milliseconds timeout) const;
  /// How each realtime connection ended, indexed by its ordinal.
  std::vector<ConnectionEnd> connectionEnds() const;
  bool waitForConnectionEnds(const std::function<bool(const std::vector<ConnectionEnd>&)>& pred,
                             std::chrono::milliseconds timeout) const;

  /// Every input sample appended on each realtime connection (indexed by
  /// ordinal), in arrival order.
  std::vector<std::vector<int16_t>> receivedInputAudio() const;
  /// One record per decoded "input_audio_buffer.append", in arrival order.
  std::vector<AppendRecord> receivedAppends() const;
  bool waitForAppends(const std::function<bool(const std::vector<AppendRecord>&)>& pred,
                      std::chrono::milliseconds timeout) const;

  /// Requests the token endpoint has read so far (the index of the next one
  /// in SimulatorOptions::tokenScript).
  std::size_t tokenRequestCount() const;
  /// Waits until at least `count` token requests have been read.
  bool waitForTokenRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  /// Realtime connections currently open.
  std::size_t openConnections() const;

  /// Sends this text as one text message on every open realtime connection;
  /// returns how many connections it went to. For scripting events the
  /// simulator would not send by itself.
  std::size_t sendToAll(const std::string& text);
  /// Closes every open realtime connection: with a close frame (code 1000),
  /// or, when abrupt, by dropping TCP. Returns how many were closed.
  std::size_t closeAll(bool abrupt);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::simulator
