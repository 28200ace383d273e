#pragma once

#include <string>

namespace orvanta::simulator {

/// What the simulator can do to any live connection of its own. Called on
/// the I/O thread only.
class Link {
 public:
  virtual ~Link() = default;
  /// Queues one text message; ignored by connections that are not realtime
  /// WebSocket sessions. Returns whether it was queued.
  virtual bool sendText(const std::string& text) = 0;
  virtual bool isOpen() const = 0;
  /// With a WebSocket close (1000) where there is one, or by dropping TCP.
  virtual void close(bool abrupt) = 0;
};

}  // namespace orvanta::simulator
