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
  return waitUntil(clientEvents_, pred, timeout);
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

std::size_t SimulatorState::nextConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  ends_.push_back(ConnectionEnd::Open);
  return ends_.size() - 1;
}

uint64_t SimulatorState::connectionSeed(std::size_t ordinal) const {
  return splitmix64(options_.seed + 0x9E3779B97F4A7C15ull * ordinal);
}

void SimulatorState::recordClose(std::size_t connection, unsigned code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closes_.push_back({connection, code});
  }
  changed_.notify_all();
}

std::vector<ReceivedClose> SimulatorState::closes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closes_;
}

bool SimulatorState::waitForCloses(const std::function<bool(const std::vector<ReceivedClose>&)>& pred,
                                   std::chrono::milliseconds timeout) const {
  return waitUntil(closes_, pred, timeout);
}

void SimulatorState::recordEnd(std::size_t connection, ConnectionEnd end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection < ends_.size() && ends_[connection] == ConnectionEnd::Open) ends_[connection] = end;
  }
  changed_.notify_all();
}

std::vector<ConnectionEnd> SimulatorState::ends() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ends_;
}

bool SimulatorState::waitForEnds(const std::function<bool(const std::vector<ConnectionEnd>&)>& pred,
                                 std::chrono::milliseconds timeout) const {
  return waitUntil(ends_, pred, timeout);
}

void SimulatorState::recordAppend(std::size_t connection, std::chrono::steady_clock::time_point arrival,
                                  const std::vector<int16_t>& samples) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inputAudio_.size() <= connection) inputAudio_.resize(connection + 1);
    auto& audio = inputAudio_[connection];
    appends_.push_back({connection, arrival, samples.size(), audio.size()});
    audio.insert(audio.end(), samples.begin(), samples.end());
  }
  changed_.notify_all();
}

std::vector<std::vector<int16_t>> SimulatorState::inputAudio() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inputAudio_;
}

std::vector<AppendRecord> SimulatorState::appends() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appends_;
}

bool SimulatorState::waitForAppends(const std::function<bool(const std::vector<AppendRecord>&)>& pred,
                                    std::chrono::milliseconds timeout) const {
  return waitUntil(appends_, pred, timeout);
}

std::size_t SimulatorState::countTokenRequest() {
  std::size_t index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = tokenRequests_++;
  }
  changed_.notify_all();
  return index;
}

std::size_t SimulatorState::tokenRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tokenRequests_;
}

bool SimulatorState::waitForTokenRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return waitUntil(tokenRequests_, [count](std::size_t n) { return n >= count; }, timeout);
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
