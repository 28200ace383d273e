#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tools/simulator/Link.h"
#include "tools/simulator/Simulator.h"
#include "tools/simulator/SimulatorOptions.h"

namespace orvanta::simulator {

/// What the connections of one running simulator share: options, the
/// records kept for tests, the issued client secrets and the live links.
/// Records, faults and secrets are guarded by a mutex (tests read them from
/// their own threads); the link list belongs to the I/O thread.
class SimulatorState {
 public:
  explicit SimulatorState(SimulatorOptions options);

  const SimulatorOptions& options() const { return options_; }
  SimulatorFaults faults() const;
  void setFaults(const SimulatorFaults& faults);

  void recordClientEvent(std::string text);
  std::vector<std::string> clientEvents() const;
  void clearClientEvents();
  bool waitForClientEvents(const std::function<bool(const std::vector<std::string>&)>& pred,
                           std::chrono::milliseconds timeout) const;

  void recordHandshake(HandshakeRecord record);
  std::vector<HandshakeRecord> handshakes() const;

  struct KeyCheck {
    bool accepted = false;
    std::string sessionConfig;  ///< bound to a client secret, "" for API keys
  };
  /// An accepted API key, or a client secret that has not expired.
  KeyCheck checkKey(const std::string& key);

  struct HttpAnswer {
    unsigned status = 200;
    std::string body;
  };
  /// The token endpoint: takes the request body, returns status and body.
  HttpAnswer issueClientSecret(const std::string& requestBody);

  /// Seed for the next realtime connection (0, 1, 2, ... in accept order).
  uint64_t nextConnectionSeed();

  bool logging() const { return static_cast<bool>(options_.log); }
  void log(const std::string& line) const {
    if (options_.log) options_.log(line);
  }

  std::atomic<std::size_t> openRealtime{0};

  // I/O thread only.
  void addLink(std::weak_ptr<Link> link);
  std::vector<std::shared_ptr<Link>> liveLinks();

 private:
  const SimulatorOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  SimulatorFaults faults_;
  std::vector<std::string> clientEvents_;
  std::vector<HandshakeRecord> handshakes_;
  struct Secret {
    std::chrono::steady_clock::time_point expiry;
    std::string sessionConfig;
  };
  std::map<std::string, Secret> secrets_;
  std::mt19937_64 secretRng_;
  uint64_t connections_ = 0;

  std::vector<std::weak_ptr<Link>> links_;
};

}  // namespace orvanta::simulator
