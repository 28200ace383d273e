#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/simulator/SimulatorOptions.h"

namespace orvanta::simulator {

/// The service's side of one realtime connection, without any I/O: it takes
/// the client's text messages and produces the server's messages, each due at
/// a point in time so that answers stream at a realistic pace. The owner
/// feeds it messages and the current time, sends whatever takeDue() returns
/// and wakes up again at nextDue(). Everything here runs on the connection's
/// I/O thread; the class is not thread-safe.
class ServiceSession {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Kind { Conversation, Transcription };

  /// `sessionConfig` is JSON text merged into the initial session (the
  /// configuration bound to a client secret), "" for none. "session.created"
  /// becomes due at `now` plus the delay of the options' faults.
  ServiceSession(Kind kind, std::string model, const std::string& sessionConfig, uint64_t seed,
                 const SimulatorOptions& options, Clock::time_point now);
  ~ServiceSession();

  ServiceSession(const ServiceSession&) = delete;
  ServiceSession& operator=(const ServiceSession&) = delete;

  /// One text message from the client. Malformed input yields an "error"
  /// event, never an exception.
  void handleClientText(const std::string& text, Clock::time_point now);
  /// A binary message: the service speaks JSON text only.
  void handleClientBinary(Clock::time_point now);

  /// Server messages due at `now`, in sending order. Their effects (audio
  /// counted as sent, items added) take place here.
  std::vector<std::string> takeDue(Clock::time_point now);
  /// When the next message falls due; nullopt when nothing is pending.
  std::optional<Clock::time_point> nextDue() const;

  /// Called with the samples of every "input_audio_buffer.append" that
  /// decodes, and the time it was handled.
  using InputAudioObserver = std::function<void(const std::vector<int16_t>&, Clock::time_point)>;
  void setInputAudioObserver(InputAudioObserver observer);

  /// True once "session.created" has been taken.
  bool created() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::simulator
