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
  /// Send "session.created" with a "session" object that has no "id".
  bool sessionCreatedWithoutId = false;
  /// Accept TCP, then never read or write: a wss:// client hangs in its TLS
  /// handshake, a ws:// one (or a token request) waits for an answer. Holds
  /// for every connection on the port, token requests included.
  bool silentAfterAccept = false;
  /// Complete the upgrade, then send nothing at all: no "session.created",
  /// no pong, no reply to a close frame (the connection then just ends).
  /// Client messages are still read and recorded, but not acted on.
  bool silentAfterUpgrade = false;
};

/// How the token service answers one particular request (see
/// SimulatorOptions::tokenScript).
struct ScriptedTokenReply {
  /// Time between reading the request and answering; replaces tokenDelay.
  std::chrono::milliseconds delay{0};
  /// 0: answer as usual. Anything else: this HTTP status with `body`.
  int status = 0;
  /// Sent byte for byte (content type application/json) when status != 0.
  std::string body;
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
  /// Each answer is split into this many output items in sequence, each
  /// with its own id and events; together they last responseAudioLength.
  /// 0 counts as 1.
  unsigned audioItemsPerResponse = 1;
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

  /// Every chunk of bytes, in either direction and on every connection
  /// (TLS records and HTTP included), arrives this much later than it was
  /// sent: a delay line, not a rate limit. 0 = off. See the README for what
  /// a set-up costs in one-way delays.
  std::chrono::milliseconds linkDelay{0};
  /// The token service answers each request this long after reading it.
  /// Other requests and connections go on meanwhile.
  std::chrono::milliseconds tokenDelay{0};
  /// The n-th request to the token endpoint (0-based, over the simulator's
  /// life) is answered as entry n says; requests past the end as usual.
  std::vector<ScriptedTokenReply> tokenScript;

  SimulatorFaults faults;

  /// Called on the simulator's I/O thread with one line per notable
  /// happening (connections, events in and out). Must not block.
  std::function<void(const std::string&)> log;
};

}  // namespace orvanta::simulator
