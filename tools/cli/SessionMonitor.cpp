#include "tools/cli/SessionMonitor.h"

namespace orvanta::cli {

namespace {

std::string field(const OVAnyMap& payload, const std::string& key) {
    if (!payload.hasKey(key))
        return {};
    const auto* text = payload.at(key).getIf<std::string>();
    return text ? *text : std::string();
}

} // namespace

SessionMonitor::SessionMonitor(int maxFailed, std::chrono::milliseconds timeout, Clock::time_point now)
    : maxFailedAttempts(maxFailed), connectTimeout(timeout), downSince(now) {}

void SessionMonitor::onEvent(const std::string& name, const OVAnyMap& payload, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    if (name == "sessionCreated") {
        up = true;
        everUp = true;
        failedInRow = 0;
        lastConnectionError.clear();
    } else if (name == "sessionDisconnected") {
        if (up)
            downSince = now;
        up = false;
        ++failedInRow;
    } else if (name == "error") {
        const std::string type = field(payload, "type");
        const std::string message = field(payload, "message");
        if (type == "websocket_error") {
            // The disconnection that follows counts the attempt.
            lastConnectionError = message;
        } else if (type == "token_error") {
            // A failed token request ends the attempt without a disconnection.
            lastConnectionError = "token request failed: " + message;
            ++failedInRow;
        } else if (type == "send_failed") {
            // An event refused while the connection was down: the
            // disconnection already tells the story.
        } else {
            ++serviceErrors;
            const std::string code = field(payload, "code");
            lastServiceError = type + (code.empty() ? "" : " (" + code + ")") + ": " + message;
        }
    }
}

bool SessionMonitor::isUp() const {
    std::lock_guard<std::mutex> lock(mutex);
    return up;
}

std::string SessionMonitor::describe() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (up)
        return "active";
    return everUp ? "reconnecting" : "connecting";
}

std::string SessionMonitor::failure(Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (up)
        return {};
    std::string reason = lastConnectionError.empty() ? "the service closed the connection" : lastConnectionError;
    // The handshake's status line is the only place a refused key shows.
    if (reason.find(" 401 ") != std::string::npos || reason.find(" 403 ") != std::string::npos)
        reason = "the service refused the key (" + reason + ")";
    if (failedInRow >= maxFailedAttempts) {
        const std::string attempts = failedInRow == 1 ? "1 attempt" : std::to_string(failedInRow) + " attempts";
        return "no session after " + attempts + ": " + reason;
    }
    if (now - downSince >= connectTimeout) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(connectTimeout).count();
        return "no session within " + std::to_string(seconds) + " s: " +
               (lastConnectionError.empty() ? std::string("the service did not answer") : lastConnectionError);
    }
    return {};
}

SessionMonitor::Clock::time_point SessionMonitor::giveUpAt() const {
    std::lock_guard<std::mutex> lock(mutex);
    return up ? Clock::time_point::max() : downSince + connectTimeout;
}

int SessionMonitor::getServiceErrorCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return serviceErrors;
}

std::string SessionMonitor::getLastServiceError() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lastServiceError;
}

} // namespace orvanta::cli
