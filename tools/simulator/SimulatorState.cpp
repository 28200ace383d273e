#include "tools/simulator/SimulatorState.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace orvanta::simulator {

namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::string failure(const std::string& message) {
  return nlohmann::json{{"success", false}, {"message", message}}.dump();
}

}  // namespace

SimulatorState::SimulatorState(SimulatorOptions options)
    : options_(std::move(options)), faults_(options_.faults), secretRng_(splitmix64(options_.seed ^ 0x5EC7E7ull)) {}

SimulatorFaults SimulatorState::faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

void SimulatorState::setFaults(const SimulatorFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void SimulatorState::recordClientEvent(std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clientEvents_.push_back(std::move(text));
  }
  changed_.notify_all();
}

std::vector<std::string> SimulatorState::clientEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clientEvents_;
}

void SimulatorState::clearClientEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  clientEvents_.clear();
}

bool SimulatorState::waitForClientEvents(const std::function<bool(const std::vector<std::string>&)>& pred,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return pred(clientEvents_); });
}

void SimulatorState::recordHandshake(HandshakeRecord record) {
  std::lock_guard<std::mutex> lock(mutex_);
  handshakes_.push_back(std::move(record));
}

std::vector<HandshakeRecord> SimulatorState::handshakes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handshakes_;
}

SimulatorState::KeyCheck SimulatorState::checkKey(const std::string& key) {
  if (key.empty()) return {};
  const auto& keys = options_.apiKeys;
  if (keys.empty() || std::find(keys.begin(), keys.end(), key) != keys.end()) {
    // An open key list still lets client secrets carry their configuration.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = secrets_.find(key);
    if (it != secrets_.end() && it->second.expiry > std::chrono::steady_clock::now())
      return {true, it->second.sessionConfig};
    return {true, ""};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = secrets_.find(key);
  if (it == secrets_.end() || it->second.expiry <= std::chrono::steady_clock::now()) return {};
  return {true, it->second.sessionConfig};
}

SimulatorState::HttpAnswer SimulatorState::issueClientSecret(const std::string& requestBody) {
  const auto request = nlohmann::json::parse(requestBody, nullptr, false);
  if (!request.is_object()) return {400, failure("Request body must be a JSON object.")};
  const auto appId = request.find("appId");
  const auto appSecret = request.find("appSecret");
  if (appId == request.end() || !appId->is_string() || appSecret == request.end() || !appSecret->is_string())
    return {400, failure("appId and appSecret are required strings.")};
  const auto config = request.find("sessionConfig");
  if (config == request.end() || !config->is_object()) return {400, failure("sessionConfig must be a JSON object.")};

  const std::string id = appId->get<std::string>();
  const std::string secret = appSecret->get<std::string>();
  const auto& pairs = options_.appCredentials;
  const bool known = pairs.empty() ? !id.empty() && !secret.empty()
                                   : std::find(pairs.begin(), pairs.end(), std::make_pair(id, secret)) != pairs.end();
  if (!known) return {403, failure("Invalid app credentials.")};

  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string token = "ek_";
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = secrets_.begin(); it != secrets_.end();) it = it->second.expiry <= now ? secrets_.erase(it) : std::next(it);
    for (int i = 0; i < 32; ++i) token.push_back(kChars[secretRng_() % 62]);
    secrets_[token] = Secret{now + options_.tokenLifetime, config->dump()};
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options_.tokenLifetime).count();
  return {200, nlohmann::json{{"success", true}, {"data", {{"token", token}, {"expiresIn", seconds}}}}.dump()};
}

uint64_t SimulatorState::nextConnectionSeed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return splitmix64(options_.seed + 0x9E3779B97F4A7C15ull * connections_++);
}

void SimulatorState::addLink(std::weak_ptr<Link> link) {
  links_.erase(std::remove_if(links_.begin(), links_.end(), [](const auto& l) { return l.expired(); }), links_.end());
  links_.push_back(std::move(link));
}

std::vector<std::shared_ptr<Link>> SimulatorState::liveLinks() {
  std::vector<std::shared_ptr<Link>> out;
  for (const auto& l : links_)
    if (auto s = l.lock()) out.push_back(std::move(s));
  return out;
}

}  // namespace orvanta::simulator
