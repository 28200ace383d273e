#pragma once

// Internal to the library; not installed. Production code never changes these
// settings: the setter exists for tests and tools that talk to a local server
// (short timeouts for a server that never answers, a test CA, the plain-wait
// mode for side-by-side measurements).

#include <chrono>
#include <string>

namespace orvanta {
namespace networkclient {

struct TransferSettings {
    // A token request runs while a node waits to open its session, often on a
    // cellular link: DNS, TCP and TLS there can take several seconds when
    // packets are lost and SYNs are retransmitted (1 s, 3 s, 7 s, ...), so the
    // connect phase gets 15 s. The whole transfer, a few hundred bytes each
    // way, gets 30 s; past that the caller is better served by an error and
    // its own retry than by waiting on a dead path.
    static constexpr std::chrono::milliseconds defaultConnectTimeout{15000};
    static constexpr std::chrono::milliseconds defaultTotalTimeout{30000};

    std::chrono::milliseconds connectTimeout = defaultConnectTimeout;
    std::chrono::milliseconds totalTimeout = defaultTotalTimeout;
    // PEM file of trusted CAs; empty keeps the platform's trust store.
    std::string caFile;
    // true: the worker sleeps in curl_multi_poll and wakes as soon as a socket
    // is ready; false: it sleeps a fixed 100 ms between rounds.
    bool wakeOnSocketActivity = true;
};

// Read when a request is posted (timeouts, CA) or a session is created (wait
// mode). Any thread.
TransferSettings getTransferSettings();
void setTransferSettings(const TransferSettings& settings);
void resetTransferSettings();

} // namespace networkclient
} // namespace orvanta
