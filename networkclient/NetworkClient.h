#pragma once

#include "networkclient/NetworkResponse.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace orvanta {
namespace networkclient {

// Sends POST requests; the transfers advance only inside process(), driven by
// one thread (the session's worker). post() and getNumberOfPendingRequests()
// may be called from any thread.
class NetworkClient {
public:
    virtual ~NetworkClient() = default;

    // Queues a request. Returns its id (1, 2, ... in call order) or 0 when the
    // request cannot be made; no response will come for a 0.
    virtual int post(const std::string& url, const std::vector<std::string>& headers,
                     const std::string& body) = 0;

    // Driving thread only. Advances every transfer and returns at most one
    // finished response, or null. The record stays valid until the next call.
    virtual NetworkResponse* process() = 0;

    // Requests posted and not yet returned by process().
    virtual std::size_t getNumberOfPendingRequests() = 0;

    // Driving thread only. Blocks until a transfer has network activity,
    // wakeUp() is called, or `timeout` passes, whichever is first.
    virtual void waitForActivity(std::chrono::milliseconds timeout) = 0;

    // Any thread. Ends a current waitForActivity() early, or the next one if
    // none is running, so a wake-up is never lost.
    virtual void wakeUp() = 0;
};

} // namespace networkclient
} // namespace orvanta
