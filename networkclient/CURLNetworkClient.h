#pragma once

#include "networkclient/NetworkClient.h"

#include <cstddef>
#include <memory>
#include <string>

namespace orvanta {
namespace networkclient {

// POST requests over libcurl's multi interface. The multi handle is touched
// only by the driving thread (process, waitForActivity) and the destructor;
// post() from other threads prepares an easy handle and queues it, and the
// next process() hands it to libcurl.
class CURLNetworkClient : public NetworkClient {
public:
    // Largest response body kept; a longer one aborts its transfer with an
    // error rather than growing without bound.
    static constexpr std::size_t maxResponseBodyBytes = 1024 * 1024;

    CURLNetworkClient();
    // Abandons pending transfers without a response. Call once the driving
    // thread has stopped.
    ~CURLNetworkClient() override;
    CURLNetworkClient(const CURLNetworkClient&) = delete;
    CURLNetworkClient& operator=(const CURLNetworkClient&) = delete;

    // Any thread. Returns 0 (and logs) for a URL that is malformed or not
    // http/https, a header line with a CR, LF or NUL, or when libcurl cannot
    // make a handle.
    int post(const std::string& url, const std::vector<std::string>& headers, const std::string& body) override;
    NetworkResponse* process() override;
    std::size_t getNumberOfPendingRequests() override;
    void waitForActivity(std::chrono::milliseconds timeout) override;
    void wakeUp() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// libcurl callbacks (called on the driving thread inside process()).
std::size_t CURLHeaderCallback(void* data, std::size_t size, std::size_t count, void* userData);
// Appends to `target`; returns 0, which makes libcurl abort the transfer, once
// the body would exceed CURLNetworkClient::maxResponseBodyBytes.
std::size_t CURLWriteCallback(void* data, std::size_t size, std::size_t count, std::string* target);

} // namespace networkclient
} // namespace orvanta
