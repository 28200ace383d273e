// orvanta-simulator: runs the local realtime and token service until SIGINT
// or SIGTERM (or, with --stdin, until standard input closes).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "tools/simulator/Simulator.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto n = write(signalPipe[1], &byte, 1);
}

const char* kUsage = R"(Usage: orvanta-simulator [options]

A local stand-in for the realtime service (WebSocket, /v1/realtime) and the
token service (POST /openai/realtime/client-secret) on one loopback port.
When ready it prints two lines on stdout and flushes them:
  realtime <ws:// or wss:// URL of the realtime endpoint>
  token <http:// or https:// base URL of the token endpoint>
It runs until SIGINT or SIGTERM, or until stdin closes when --stdin is given.

Listening:
  --host ADDR               address to bind (default 127.0.0.1)
  --port N                  port, 0 = any free port (default 0)
  --tls-cert FILE           PEM certificate chain; with --tls-key serves wss/https
  --tls-key FILE            PEM private key
Keys and credentials:
  --api-key KEY             accept this key (repeatable; none = any non-empty key)
  --app ID:SECRET           accept these token-service credentials (repeatable;
                            none = any non-empty pair)
  --token-lifetime-s N      lifetime of issued client secrets (default 600)
Behaviour:
  --seed N                  seed for ids, voice and texts (default 1)
  --response-ms N           length of a spoken answer (default 2000)
  --chunk-ms N              audio per output delta (default 100)
  --pacing X                answer speed as a multiple of real time, 0 = no
                            pauses (default 1.25)
  --response-delay-ms N     pause before response.created (default 150)
  --response-text TEXT      fixed answer transcript
  --transcript-text TEXT    fixed input transcript
  --vad-threshold X         speech RMS threshold, fraction of full scale (0.02)
  --vad-silence-ms N        silence that ends speech (default 500)
  --vad-prefix-ms N         audio kept before speech (default 300)
  --audio-items N           output items per spoken answer (default 1)
Slow links:
  --link-delay-ms N         deliver every chunk of bytes, both ways, N ms late
  --token-delay-ms N        answer each token request N ms after reading it
Faults:
  --close-after N           close each connection after N server messages
  --close-abruptly          with --close-after: drop TCP, no close frame
  --ignore-pings            never answer pings
  --send-garbage            send a non-JSON text frame after session.created
  --send-binary             send a binary frame after session.created
  --send-error              send an error event after session.created
  --stall-handshake         never answer the WebSocket upgrade
  --refuse-key              answer every upgrade with 401
  --session-created-delay-ms N  hold session.created back
  --session-created-without-id  send session.created without a session id
  --silent-after-accept     accept TCP, then never read or write
  --silent-after-upgrade    complete the upgrade, then never send anything
Other:
  --stdin                   also stop when standard input closes
  --verbose                 log connections and events on stderr
  --help                    this text
)";

}  // namespace

int main(int argc, char** argv) {
  using orvanta::simulator::Simulator;
  using orvanta::simulator::SimulatorOptions;
  SimulatorOptions options;
  bool watchStdin = false;
  bool verbose = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        return argv[++i];
      };
      auto ms = [&] { return std::chrono::milliseconds(std::stoll(value())); };
      if (arg == "--help" || arg == "-h") {
        std::cout << kUsage;
        return 0;
      } else if (arg == "--host") options.host = value();
      else if (arg == "--port") {
        const unsigned long port = std::stoul(value());
        if (port > 65535) throw std::invalid_argument("--port must be at most 65535");
        options.port = static_cast<uint16_t>(port);
      }
      else if (arg == "--tls-cert") options.tlsCertificateFile = value();
      else if (arg == "--tls-key") options.tlsPrivateKeyFile = value();
      else if (arg == "--api-key") options.apiKeys.push_back(value());
      else if (arg == "--app") {
        const std::string v = value();
        const auto colon = v.find(':');
        if (colon == std::string::npos) throw std::invalid_argument("--app needs ID:SECRET");
        options.appCredentials.emplace_back(v.substr(0, colon), v.substr(colon + 1));
      } else if (arg == "--token-lifetime-s") options.tokenLifetime = std::chrono::seconds(std::stoll(value()));
      else if (arg == "--seed") options.seed = std::stoull(value());
      else if (arg == "--response-ms") options.responseAudioLength = ms();
      else if (arg == "--chunk-ms") options.audioChunkDuration = ms();
      else if (arg == "--pacing") options.pacing = std::stod(value());
      else if (arg == "--response-delay-ms") options.responseDelay = ms();
      else if (arg == "--response-text") options.responseText = value();
      else if (arg == "--transcript-text") options.transcriptText = value();
      else if (arg == "--vad-threshold") options.vadThreshold = std::stod(value());
      else if (arg == "--vad-silence-ms") options.vadSilenceDuration = ms();
      else if (arg == "--vad-prefix-ms") options.vadPrefixPadding = ms();
      else if (arg == "--audio-items") {
        const unsigned long items = std::stoul(value());
        if (items < 1 || items > 1000) throw std::invalid_argument("--audio-items must be between 1 and 1000");
        options.audioItemsPerResponse = static_cast<unsigned>(items);
      }
      else if (arg == "--link-delay-ms") options.linkDelay = ms();
      else if (arg == "--token-delay-ms") options.tokenDelay = ms();
      else if (arg == "--close-after") options.faults.closeAfterMessages = static_cast<uint32_t>(std::stoul(value()));
      else if (arg == "--close-abruptly") options.faults.closeAbruptly = true;
      else if (arg == "--ignore-pings") options.faults.ignorePings = true;
      else if (arg == "--send-garbage") options.faults.sendGarbage = true;
      else if (arg == "--send-binary") options.faults.sendBinaryFrame = true;
      else if (arg == "--send-error") options.faults.sendErrorEvent = true;
      else if (arg == "--stall-handshake") options.faults.stallHandshake = true;
      else if (arg == "--refuse-key") options.faults.refuseKey = true;
      else if (arg == "--session-created-delay-ms") options.faults.sessionCreatedDelay = ms();
      else if (arg == "--session-created-without-id") options.faults.sessionCreatedWithoutId = true;
      else if (arg == "--silent-after-accept") options.faults.silentAfterAccept = true;
      else if (arg == "--silent-after-upgrade") options.faults.silentAfterUpgrade = true;
      else if (arg == "--stdin") watchStdin = true;
      else if (arg == "--verbose") verbose = true;
      else throw std::invalid_argument("unknown option " + arg);
    }
    if (options.audioChunkDuration.count() <= 0 || options.responseAudioLength.count() <= 0 || options.pacing < 0)
      throw std::invalid_argument("--chunk-ms and --response-ms must be positive, --pacing not negative");
    if (options.linkDelay.count() < 0 || options.tokenDelay.count() < 0)
      throw std::invalid_argument("--link-delay-ms and --token-delay-ms must not be negative");
    if (options.responseAudioLength > std::chrono::minutes(5))
      throw std::invalid_argument("--response-ms is limited to 5 minutes");
  } catch (const std::exception& e) {
    std::cerr << "orvanta-simulator: " << e.what() << "\n(try --help)\n";
    return 2;
  }
  if (verbose) options.log = [](const std::string& line) { std::fprintf(stderr, "[simulator] %s\n", line.c_str()); };

  if (pipe(signalPipe) != 0) {
    std::perror("pipe");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options);
  try {
    simulator.start();
  } catch (const std::exception& e) {
    std::cerr << "orvanta-simulator: " << e.what() << "\n";
    return 1;
  }
  std::cout << "realtime " << simulator.realtimeUrl() << "\n"
            << "token " << simulator.tokenBaseUrl() << "\n"
            << std::flush;

  pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  char buffer[256];
  for (;;) {
    const int n = poll(fds, watchStdin ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (fds[0].revents) break;
    if (watchStdin && fds[1].revents) {
      const auto got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) break;  // closed (input itself is ignored)
    }
  }
  simulator.stop();
  return 0;
}
