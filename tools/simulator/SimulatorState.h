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

  /// Ordinal of a new realtime connection (0, 1, 2, ... in upgrade order),
  /// recorded as open.
  std::size_t nextConnection();
  /// The seed a connection's generator derives from.
  uint64_t connectionSeed(std::size_t ordinal) const;

  void recordClose(std::size_t connection, unsigned code);
  std::vector<ReceivedClose> closes() const;
  bool waitForCloses(const std::function<bool(const std::vector<ReceivedClose>&)>& pred,
                     std::chrono::milliseconds timeout) const;
  void recordEnd(std::size_t connection, ConnectionEnd end);
  std::vector<ConnectionEnd> ends() const;
  bool waitForEnds(const std::function<bool(const std::vector<ConnectionEnd>&)>& pred,
                   std::chrono::milliseconds timeout) const;

  void recordAppend(std::size_t connection, std::chrono::steady_clock::time_point arrival,
                    const std::vector<int16_t>& samples);
  std::vector<std::vector<int16_t>> inputAudio() const;
  std::vector<AppendRecord> appends() const;
  bool waitForAppends(const std::function<bool(const std::vector<AppendRecord>&)>& pred,
                      std::chrono::milliseconds timeout) const;

  /// Counts a request read by the token endpoint; returns its index.
  std::size_t countTokenRequest();
  std::size_t tokenRequests() const;
  bool waitForTokenRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  bool logging() const { return static_cast<bool>(options_.log); }
  void log(const std::string& line) const {
    if (options_.log) options_.log(line);
  }

  std::atomic<std::size_t> openRealtime{0};

  // I/O thread only.
  void addLink(std::weak_ptr<Link> link);
  std::vector<std::shared_ptr<Link>> liveLinks();

 private:
  /// Waits on `changed_` until pred(records) holds; records are guarded by `mutex_`.
  template <class Records, class Pred>
  bool waitUntil(const Records& records, const Pred& pred, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(records); });
  }

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
  std::vector<ReceivedClose> closes_;
  std::vector<ConnectionEnd> ends_;  // one per connection ever opened
  std::vector<std::vector<int16_t>> inputAudio_;
  std::vector<AppendRecord> appends_;
  std::size_t tokenRequests_ = 0;

  std::vector<std::weak_ptr<Link>> links_;
};

}  // namespace orvanta::simulator
