#include "tools/simulator/HttpConnection.h"

#include <cctype>
#include <optional>
#include <type_traits>
#include <vector>

#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <nlohmann/json.hpp>

#include "tools/simulator/RealtimeConnection.h"

namespace orvanta::simulator {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;

namespace {

constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kBodyLimit = 64 * 1024;
constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr const char* kRealtimePath = "/v1/realtime";
constexpr const char* kTokenPath = "/openai/realtime/client-secret";
constexpr const char* kKeyPrefix = "openai-insecure-api-key.";

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<std::string> splitList(const std::string& header) {
  std::vector<std::string> out;
  std::size_t begin = 0;
  while (begin <= header.size()) {
    std::size_t end = header.find(',', begin);
    if (end == std::string::npos) end = header.size();
    if (auto item = trim(header.substr(begin, end - begin)); !item.empty()) out.push_back(item);
    begin = end + 1;
  }
  return out;
}

std::string percentDecode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i] == '+' ? ' ' : s[i]);
    }
  }
  return out;
}

/// The first value of `name` in a query string; nullopt when absent.
std::optional<std::string> queryValue(const std::string& query, const std::string& name) {
  for (const auto& part : splitList([&] {
         std::string q = query;
         for (auto& c : q)
           if (c == '&') c = ',';
         return q;
       }())) {
    const auto eq = part.find('=');
    if (percentDecode(part.substr(0, eq)) == name)
      return eq == std::string::npos ? std::string() : percentDecode(part.substr(eq + 1));
  }
  return std::nullopt;
}

std::string maskKey(const std::string& key) {
  if (key.size() <= 8) return "****";
  return key.substr(0, 4) + std::string(key.size() - 8, '*') + key.substr(key.size() - 4);
}

}  // namespace

HttpConnection::HttpConnection(ErasedStream&& stream, std::shared_ptr<SimulatorState> state)
    : stream_(std::move(stream)), state_(std::move(state)) {}

HttpConnection::~HttpConnection() = default;

void HttpConnection::run() { readRequest(); }

void HttpConnection::readRequest() {
  parser_.emplace();
  parser_->header_limit(kHeaderLimit);
  parser_->body_limit(kBodyLimit);
  stream_.expiresAfter(kRequestTimeout + state_->options().linkDelay);
  http::async_read(stream_, buffer_, *parser_,
                   beast::bind_front_handler(&HttpConnection::onRead, shared_from_this()));
}

void HttpConnection::onRead(beast::error_code ec, std::size_t) {
  if (ec == http::error::end_of_stream) {
    shutdown();
    return;
  }
  if (ec) {
    if (ec == http::error::body_limit || ec == http::error::header_limit) {
      reply(413, nlohmann::json{{"success", false}, {"message", "Request too large."}}.dump(), false);
    }
    return;
  }
  route(parser_->release());
}

void HttpConnection::route(Request request) {
  const std::string target(request.target());
  const std::string path = target.substr(0, target.find('?'));
  state_->log("http: " + std::string(request.method_string()) + " " + target);
  if (beast::websocket::is_upgrade(request)) {
    if (path != kRealtimePath) {
      reject(request, 404, "not_found", "Unknown endpoint: " + path);
      return;
    }
    upgrade(std::move(request));
    return;
  }
  if (path == kTokenPath) {
    answerToken(std::move(request));
    return;
  }
  if (path == kRealtimePath) {
    reject(request, 426, "upgrade_required", "This endpoint speaks WebSocket only.");
    return;
  }
  reply(404, nlohmann::json{{"success", false}, {"message", "Not found."}}.dump(), request.keep_alive());
}

void HttpConnection::answerToken(Request request) {
  const std::size_t index = state_->countTokenRequest();
  const auto& script = state_->options().tokenScript;
  const ScriptedTokenReply scripted =
      index < script.size() ? script[index] : ScriptedTokenReply{state_->options().tokenDelay, 0, {}};
  auto answer = [self = shared_from_this(), scripted, request = std::move(request)] {
    if (scripted.status != 0) {
      self->reply(static_cast<unsigned>(scripted.status), scripted.body, request.keep_alive());
    } else if (request.method() != http::verb::post) {
      self->reply(405, nlohmann::json{{"success", false}, {"message", "Use POST."}}.dump(), request.keep_alive());
    } else {
      const auto issued = self->state_->issueClientSecret(request.body());
      self->reply(issued.status, issued.body, request.keep_alive());
    }
  };
  if (scripted.delay.count() <= 0) {
    answer();
    return;
  }
  // Waits on a timer, so that other requests and connections go on meanwhile.
  stream_.expiresNever();
  timer_.emplace(stream_.get_executor());
  timer_->expires_after(scripted.delay);
  timer_->async_wait([answer = std::move(answer)](beast::error_code ec) {
    if (!ec) answer();
  });
}

void HttpConnection::upgrade(Request request) {
  const std::string target(request.target());
  const std::string protocolHeader(request[http::field::sec_websocket_protocol]);
  const auto faults = state_->faults();
  if (faults.stallHandshake) {
    state_->recordHandshake({target, protocolHeader, 0});
    stall();
    return;
  }

  std::string key;
  bool realtimeOffered = false;
  for (const auto& p : splitList(protocolHeader)) {
    if (p == "realtime") realtimeOffered = true;
    if (p.rfind(kKeyPrefix, 0) == 0) key = p.substr(std::char_traits<char>::length(kKeyPrefix));
  }
  const std::string authorization(request[http::field::authorization]);
  // Browsers cannot set headers, so they pass the key as a subprotocol and
  // must then offer "realtime" as well; a client with an Authorization
  // header (a server, an SDK) needs no subprotocol at all.
  const bool keyInSubprotocol = !key.empty();
  if (key.empty() && authorization.rfind("Bearer ", 0) == 0) key = trim(authorization.substr(7));

  if (faults.refuseKey) {
    reject(request, 401, "invalid_api_key", "Incorrect API key provided: " + maskKey(key) + ".");
    return;
  }
  if (key.empty()) {
    reject(request, 401, "missing_api_key",
           "You didn't provide an API key. Provide it in the 'openai-insecure-api-key.' subprotocol or an "
           "Authorization header.");
    return;
  }
  const auto check = state_->checkKey(key);
  if (!check.accepted) {
    reject(request, 401, "invalid_api_key", "Incorrect API key provided: " + maskKey(key) + ".");
    return;
  }
  if (keyInSubprotocol && !realtimeOffered) {
    reject(request, 400, "missing_subprotocol", "The 'realtime' subprotocol is required.");
    return;
  }

  const auto queryStart = target.find('?');
  const std::string query = queryStart == std::string::npos ? "" : target.substr(queryStart + 1);
  const auto intent = queryValue(query, "intent");
  const auto model = queryValue(query, "model");
  ServiceSession::Kind kind = ServiceSession::Kind::Conversation;
  if (intent) {
    if (*intent != "transcription") {
      reject(request, 400, "invalid_value", "Invalid value for 'intent': '" + *intent + "'.");
      return;
    }
    kind = ServiceSession::Kind::Transcription;
  } else if (!model || model->empty()) {
    reject(request, 400, "missing_required_parameter", "Missing required parameter: 'model'.");
    return;
  }
  // A client secret is bound to the kind of session it was issued for.
  if (!check.sessionConfig.empty()) {
    const auto config = nlohmann::json::parse(check.sessionConfig, nullptr, false);
    if (config.is_object() && config.contains("type") && config["type"].is_string()) {
      const std::string wanted = kind == ServiceSession::Kind::Transcription ? "transcription" : "realtime";
      if (config["type"] != wanted) {
        reject(request, 400, "invalid_value",
               "This client secret was issued for a '" + config["type"].get<std::string>() +
                   "' session, not a '" + wanted + "' session.");
        return;
      }
    }
  }

  state_->recordHandshake({target, protocolHeader, 101});
  auto connection = std::make_shared<RealtimeConnection>(std::move(stream_), state_, faults, kind,
                                                                 model.value_or(""), check.sessionConfig);
  connection->run(std::move(request), realtimeOffered);
}

void HttpConnection::reject(const Request& request, unsigned status, const std::string& code,
                                    const std::string& message) {
  state_->recordHandshake({std::string(request.target()),
                           std::string(request[http::field::sec_websocket_protocol]), status});
  const nlohmann::json body{
      {"error", {{"message", message}, {"type", "invalid_request_error"}, {"param", nullptr}, {"code", code}}}};
  reply(status, body.dump(), false);
}

void HttpConnection::reply(unsigned status, std::string body, bool keepAlive) {
  response_ = {};
  response_.version(11);
  response_.result(status);
  response_.set(http::field::server, "orvanta-simulator");
  response_.set(http::field::content_type, "application/json");
  response_.keep_alive(keepAlive);
  response_.body() = std::move(body);
  response_.prepare_payload();
  http::async_write(stream_, response_,
                    beast::bind_front_handler(&HttpConnection::onReplied, shared_from_this(), keepAlive));
}

void HttpConnection::onReplied(bool keepAlive, beast::error_code ec, std::size_t) {
  if (ec) return;
  if (keepAlive) {
    readRequest();
  } else {
    shutdown();
  }
}

void HttpConnection::stall() {
  // Keep the connection and read only to notice its end: the client waits
  // for an answer that never comes until it gives up or the simulator stops.
  stream_.expiresNever();
  stallRead();
}

void HttpConnection::stallRead() {
  stream_.async_read_some(net::buffer(stallBuffer_),
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                            if (!ec) self->stallRead();
                          });
}

void HttpConnection::shutdown() {
  // Answers here are complete messages with a length; a plain close is
  // enough for the client to have read all of them.
  stream_.close();
}


}  // namespace orvanta::simulator
