#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvanta::simulator {

/// Misbehaviours the simulator can be told to show, for tests of the client's
/// failure paths. All are off by default. They apply to connections accepted
/// after they were set (see Simulator::setFaults).
struct SimulatorFaults {
  /// Close each realtime connection once the server has sent this many
  /// messages (session.created counts as the first). 0 = never.
  uint32_t closeAfterMessages = 0;
  /// With closeAfterMessages: drop the TCP connection without a close frame
  /// instead of a normal WebSocket close.
  bool closeAbruptly = false;
  /// Receive pings but never answer them with a pong.
  bool ignorePings = false;
  /// Right after session.created, send one text frame that is not JSON.
  bool sendGarbage = false;
  /// Right after session.created, send one binary frame.
  bool sendBinaryFrame = false;
  /// Right after session.created, send one "error" event (type
  /// "server_error", code "simulated_fault").
  bool sendErrorEvent = false;
  /// Accept TCP (and TLS) but never answer the HTTP upgrade request.
  bool stallHandshake = false;
  /// Answer every realtime upgrade with HTTP 401, whatever the key.
  bool refuseKey = false;
  /// Hold "session.created" back this long after the upgrade.
  std::chrono::milliseconds sessionCreatedDelay{0};
};

struct SimulatorOptions {
  /// Address to bind. Keep it a loopback address.
  std::string host = "127.0.0.1";
  /// 0 picks any free port; Simulator::port() tells which.
  uint16_t port = 0;

  /// Serve TLS (wss://, https://) with this PEM certificate chain and key
  /// when both are set; plain ws:// and http:// otherwise.
  std::string tlsCertificateFile;
  std::string tlsPrivateKeyFile;

  /// Keys accepted at the realtime endpoint. Empty: any non-empty key.
  std::vector<std::string> apiKeys;
  /// (appId, appSecret) pairs accepted by the token endpoint. Empty: any
  /// pair of non-empty strings.
  std::vector<std::pair<std::string, std::string>> appCredentials;
  /// How long an issued client secret is accepted as a key.
  std::chrono::milliseconds tokenLifetime{std::chrono::minutes(10)};

  /// Seeds ids, the synthetic voice and the generated texts. Each accepted
  /// realtime connection derives its own generator from this seed and its
  /// ordinal, so the n-th connection behaves the same from run to run.
  uint64_t seed = 1;

  /// Length of a spoken answer.
  std::chrono::milliseconds responseAudioLength{2000};
  /// Audio per "response.output_audio.delta" (100 ms = 2,400 samples).
  std::chrono::milliseconds audioChunkDuration{100};
  /// How fast answer audio is sent, as a multiple of real time. 0 sends it
  /// all without pauses (for tests).
  double pacing = 1.25;
  /// Pause between the request of a response and "response.created".
  std::chrono::milliseconds responseDelay{150};
  /// Fixed answer transcript; empty generates one from the seed.
  std::string responseText;
  /// Fixed input transcript; empty generates one from the seed.
  std::string transcriptText;

  /// Voice activity: RMS of a 20 ms frame, as a fraction of full scale,
  /// above which the frame counts as speech.
  double vadThreshold = 0.02;
  /// Silence that ends speech, unless the session sets silence_duration_ms.
  std::chrono::milliseconds vadSilenceDuration{500};
  /// Audio kept before the detected start of speech, unless the session
  /// sets prefix_padding_ms.
  std::chrono::milliseconds vadPrefixPadding{300};

  SimulatorFaults faults;

  /// Called on the simulator's I/O thread with one line per notable
  /// happening (connections, events in and out). Must not block.
  std::function<void(const std::string&)> log;
};

}  // namespace orvanta::simulator
