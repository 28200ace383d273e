#include "tools/SimulatorTestClient.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "tools/simulator/Base64.h"

namespace orvanta::simulator::test {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

namespace {

bool runUntil(net::io_context& ioc, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    if (ioc.stopped()) ioc.restart();
    ioc.run_one_for(deadline - now);
  }
  return true;
}

}  // namespace

TestClient::TestClient(uint16_t port, net::ssl::context* tls) : port_(port) {
  if (tls) {
    secure_ = std::make_unique<TlsWs>(ioc_, *tls);
  } else {
    plain_ = std::make_unique<websocket::stream<beast::tcp_stream>>(ioc_);
  }
}

TestClient::~TestClient() { abandon(); }

// One read stays pending from the upgrade to the end, so that control
// frames (pongs, the close) are handled whenever the context runs.
template <class Ws>
void TestClient::startReading(Ws& ws) {
  ws.async_read(buffer_, [this, &ws](beast::error_code ec, std::size_t) {
    if (ec) {
      ended = true;
      if (ec == websocket::error::closed) {
        endedWithCloseFrame = true;
        closeCode = ws.reason().code;
      }
      return;
    }
    inbox_.emplace_back(beast::buffers_to_string(buffer_.data()), !ws.got_text());
    buffer_.consume(buffer_.size());
    startReading(ws);
  });
}

unsigned TestClient::connect(const std::string& target, const std::vector<std::string>& subprotocols,
                             std::chrono::milliseconds timeout) {
  std::string joined;
  for (const auto& p : subprotocols) joined += (joined.empty() ? "" : ", ") + p;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port_);
  unsigned status = 0;
  bool done = false;
  websocket::response_type response;
  auto run = [&](auto& ws) {
    ws.set_option(websocket::stream_base::decorator([joined, bearer = bearer](websocket::request_type& request) {
      if (!joined.empty()) request.set(http::field::sec_websocket_protocol, joined);
      if (!bearer.empty()) request.set(http::field::authorization, "Bearer " + bearer);
    }));
    ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind == websocket::frame_type::pong) pongSeen_ = true;
    });
    auto handshake = [&] {
      ws.async_handshake(response, "127.0.0.1", target, [&](beast::error_code ec) {
        done = true;
        status = !ec ? 101 : ec == websocket::error::upgrade_declined ? response.result_int() : 0;
        refusalBody = response.body();
        negotiated = std::string(response[http::field::sec_websocket_protocol]);
        if (!ec) startReading(ws);
      });
    };
    beast::get_lowest_layer(ws).async_connect(endpoint, [&](beast::error_code ec) {
      if (ec) {
        done = true;
        return;
      }
      if constexpr (std::is_same_v<std::decay_t<decltype(ws)>, TlsWs>) {
        ws.next_layer().async_handshake(net::ssl::stream_base::client, [&](beast::error_code tlsEc) {
          if (tlsEc) {
            done = true;
            return;
          }
          handshake();
        });
      } else {
        handshake();
      }
    });
    if (!runUntil(ioc_, [&] { return done; }, timeout)) {
      // The handlers refer to this frame: end them before it goes.
      beast::error_code ignored;
      beast::get_lowest_layer(ws).socket().close(ignored);
      runUntil(ioc_, [&] { return done; }, 5s);
    }
  };
  if (secure_) run(*secure_);
  else run(*plain_);
  return status;
}

void TestClient::send(const std::string& text) {
  bool done = false;
  auto write = [&](auto& ws) {
    ws.text(true);
    ws.async_write(net::buffer(text), [&](beast::error_code, std::size_t) { done = true; });
  };
  if (secure_) write(*secure_);
  else write(*plain_);
  if (!runUntil(ioc_, [&] { return done; }, 5s)) {
    abandon();
    throw std::runtime_error("send timed out");
  }
}

void TestClient::sendBinary(const std::string& bytes) {
  bool done = false;
  auto write = [&](auto& ws) {
    ws.binary(true);
    ws.async_write(net::buffer(bytes), [&](beast::error_code, std::size_t) { done = true; });
  };
  if (secure_) write(*secure_);
  else write(*plain_);
  if (!runUntil(ioc_, [&] { return done; }, 5s)) {
    abandon();
    throw std::runtime_error("send timed out");
  }
}

void TestClient::close(unsigned code) {
  bool done = false;
  const websocket::close_reason reason = code == 0 ? websocket::close_reason() : websocket::close_reason(static_cast<uint16_t>(code));
  auto close = [&](auto& ws) { ws.async_close(reason, [&](beast::error_code) { done = true; }); };
  if (secure_) close(*secure_);
  else close(*plain_);
  runUntil(ioc_, [&] { return done && ended; }, 5s);
}

void TestClient::abandon() {
  beast::error_code ignored;
  if (plain_) beast::get_lowest_layer(*plain_).socket().close(ignored);
  if (secure_) beast::get_lowest_layer(*secure_).socket().close(ignored);
  ioc_.restart();
  ioc_.run_for(std::chrono::milliseconds(100));
}

std::optional<nlohmann::json> TestClient::next(std::chrono::milliseconds timeout) {
  if (!runUntil(ioc_, [&] { return !inbox_.empty() || ended; }, timeout) || inbox_.empty()) return std::nullopt;
  auto [text, binary] = std::move(inbox_.front());
  inbox_.pop_front();
  lastRaw = text;
  lastWasBinary = binary;
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded()) return nlohmann::json(text);
  return parsed;
}

nlohmann::json TestClient::waitFor(const std::string& type, std::vector<nlohmann::json>* seen,
                                   std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("timed out waiting for " + type);
    auto event = next(left);
    if (!event) throw std::runtime_error("connection ended or timed out waiting for " + type);
    if (seen) seen->push_back(*event);
    if (event->is_object() && event->value("type", "") == type) return *event;
  }
}

bool TestClient::pingAnswered(std::chrono::milliseconds timeout) {
  pongSeen_ = false;
  auto ping = [&](auto& ws) { ws.async_ping({}, [](beast::error_code) {}); };
  if (secure_) ping(*secure_);
  else ping(*plain_);
  return runUntil(ioc_, [&] { return pongSeen_; }, timeout);
}

HttpResult httpRequest(uint16_t port, const std::string& method, const std::string& target, const std::string& body,
                       net::ssl::context* tls) {
  net::io_context ioc;
  HttpResult result;
  http::request<http::string_body> request{http::string_to_verb(method), target, 11};
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::content_type, "application/json");
  request.body() = body;
  request.prepare_payload();
  http::response<http::string_body> response;
  beast::flat_buffer buffer;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
  bool done = false;
  auto exchange = [&](auto& stream) {
    http::async_write(stream, request, [&](beast::error_code ec, std::size_t) {
      if (ec) {
        done = true;
        return;
      }
      http::async_read(stream, buffer, response, [&](beast::error_code readEc, std::size_t) {
        done = true;
        if (!readEc) result = {response.result_int(), response.body()};
      });
    });
  };
  if (tls) {
    beast::ssl_stream<beast::tcp_stream> stream(ioc, *tls);
    beast::get_lowest_layer(stream).async_connect(endpoint, [&](beast::error_code ec) {
      if (ec) {
        done = true;
        return;
      }
      stream.async_handshake(net::ssl::stream_base::client, [&](beast::error_code tlsEc) {
        if (tlsEc) {
          done = true;
          return;
        }
        exchange(stream);
      });
    });
    runUntil(ioc, [&] { return done; }, 5s);
  } else {
    beast::tcp_stream stream(ioc);
    stream.async_connect(endpoint, [&](beast::error_code ec) {
      if (ec) {
        done = true;
        return;
      }
      exchange(stream);
    });
    runUntil(ioc, [&] { return done; }, 5s);
  }
  return result;
}

std::string pcmBase64(double seconds, double amplitude) {
  const auto count = static_cast<std::size_t>(seconds * 24000);
  std::vector<uint8_t> bytes(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    const double v = amplitude * std::sin(2 * 3.14159265358979 * 220.0 * static_cast<double>(i) / 24000.0);
    const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767)));
    bytes[2 * i] = static_cast<uint8_t>(s & 0xff);
    bytes[2 * i + 1] = static_cast<uint8_t>(s >> 8);
  }
  return base64::encode(bytes.data(), bytes.size());
}

std::size_t pcmSamples(const std::string& text) {
  auto bytes = base64::decode(text);
  return bytes ? bytes->size() / 2 : 0;
}

namespace {

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) throw std::runtime_error("cannot build a certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : cert;
  if (!issuer) {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, signer, NID_ext_key_usage, "serverAuth");
    addExtension(cert, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  }
  X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256());
  return cert;
}

void writePem(const std::string& path, const std::function<void(FILE*)>& write) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  write(f);
  std::fclose(f);
}

}  // namespace

TestCertificates::TestCertificates() {
  char dir[] = "/tmp/orvanta-sim-certs-XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  directory = dir;
  caFile = directory + "/ca.pem";
  certificateFile = directory + "/server.pem";
  keyFile = directory + "/server.key";

  EVP_PKEY* caKey = EVP_EC_gen("P-256");
  EVP_PKEY* serverKey = EVP_EC_gen("P-256");
  X509* ca = makeCertificate(caKey, "Simulator Test CA", nullptr, nullptr, 1);
  X509* server = makeCertificate(serverKey, "127.0.0.1", ca, caKey, 2);
  writePem(caFile, [&](FILE* f) { PEM_write_X509(f, ca); });
  writePem(certificateFile, [&](FILE* f) { PEM_write_X509(f, server); });
  writePem(keyFile, [&](FILE* f) { PEM_write_PrivateKey(f, serverKey, nullptr, nullptr, 0, nullptr, nullptr); });
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, ca);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  caPem.assign(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  X509_free(server);
  X509_free(ca);
  EVP_PKEY_free(serverKey);
  EVP_PKEY_free(caKey);
}

TestCertificates::~TestCertificates() {
  std::remove(caFile.c_str());
  std::remove(certificateFile.c_str());
  std::remove(keyFile.c_str());
  rmdir(directory.c_str());
}

}  // namespace orvanta::simulator::test
