#pragma once

#include "OrvantaSDK/OVAnyMap.h"

#include <chrono>
#include <mutex>
#include <string>

namespace orvanta::cli {

// Follows a node's session from its events and decides when the tool should
// give up: after `maxFailedAttempts` session attempts in a row that ended
// without a session (a refused key, an unreachable service, a failed token
// request), or when no session has been up for `connectTimeout`. The node
// itself retries every 3 s without end; a command-line run must not.
//
// Service errors that do not end the session are counted so that the run can
// end with a non-zero status after it has played out.
//
// Threads: onEvent on the node's session thread, the rest on the main thread.
class SessionMonitor {
public:
    using Clock = std::chrono::steady_clock;

    SessionMonitor(int maxFailedAttempts, std::chrono::milliseconds connectTimeout,
                   Clock::time_point now = Clock::now());

    void onEvent(const std::string& name, const OVAnyMap& payload, Clock::time_point now = Clock::now());

    bool isUp() const;
    // "connecting", "active" or "reconnecting".
    std::string describe() const;

    // Empty while the run may go on; otherwise the one-line reason to stop.
    std::string failure(Clock::time_point now = Clock::now()) const;
    // When failure() gives up on the clock unless a session comes first
    // (the far future while one is up), so that a caller can sleep till then.
    Clock::time_point giveUpAt() const;

    // Errors the service reported over a working session; the last one as
    // "type (code): message".
    int getServiceErrorCount() const;
    std::string getLastServiceError() const;

private:
    const int maxFailedAttempts;
    const std::chrono::milliseconds connectTimeout;
    mutable std::mutex mutex;
    bool up = false;
    bool everUp = false;
    int failedInRow = 0;
    Clock::time_point downSince;
    std::string lastConnectionError;
    int serviceErrors = 0;
    std::string lastServiceError;
};

} // namespace orvanta::cli
