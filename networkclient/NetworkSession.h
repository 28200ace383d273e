#pragma once

#include "networkclient/NetworkClient.h"
#include "networkclient/NetworkResponse.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvanta {
namespace networkclient {

// Owns a client and the worker thread that drives it. Each response is handed
// to its callback exactly once, on a new detached thread; callbacks of
// different requests may run at the same time. A request still in flight when
// the session is destroyed gets no callback.
class NetworkSession {
public:
    // Creates a CURLNetworkClient and starts the worker. Any thread.
    NetworkSession();
    // Drives the given client instead.
    explicit NetworkSession(std::unique_ptr<NetworkClient> client);
    // Stops and joins the worker, then abandons pending requests (their
    // callbacks are released uncalled). Not from a response callback.
    ~NetworkSession();
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;

    // Any thread. Returns the request id, or 0 if the request could not be
    // started (then no callback will come). A null callback is allowed and
    // never called; userData stays the caller's.
    int makePostRequest(const std::string& url, const std::vector<std::string>& headers, const std::string& body,
                        void (*callback)(NetworkResponse, void*), void* userData);
    // Any thread. The callable is called once with the response, or destroyed
    // uncalled if the request fails to start or the session goes first.
    int makePostRequest(const std::string& url, const std::vector<std::string>& headers, const std::string& body,
                        std::function<void(NetworkResponse)> callback);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;

    void workerThreadMain();
    void processResponse(NetworkResponse* response);
};

// Body of each delivery thread: calls callback(response, userData). An
// exception from the callback is logged and goes no further.
void callbackFunction(NetworkResponse response, void (*callback)(NetworkResponse, void*), void* userData);

} // namespace networkclient
} // namespace orvanta
