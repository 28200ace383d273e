#include "networkclient/NetworkSession.h"

#include "networkclient/CURLNetworkClient.h"
#include "networkclient/NetworkSessionRequest.h"
#include "networkclient/SecretMask.h"
#include "networkclient/TransferSettings.h"
#include "utils/Logger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace orvanta {
namespace networkclient {
namespace {

constexpr std::chrono::milliseconds pendingWait{100};
constexpr std::chrono::milliseconds idleWait{10000};

bool debugEnabled() {
    return logger.getLogDestination() != nullptr && logger.getLogLevel() >= logging::LogLevel::Debug;
}

using Callable = std::function<void(NetworkResponse)>;

void callCallable(NetworkResponse response, void* userData) {
    std::unique_ptr<Callable> callable(static_cast<Callable*>(userData));
    if (*callable)
        (*callable)(std::move(response));
}

void releaseCallable(void* userData) {
    delete static_cast<Callable*>(userData);
}

struct Delivery {
    NetworkResponse response;
    NetworkSessionRequest request;
};

} // namespace

struct NetworkSession::Impl {
    std::unique_ptr<NetworkClient> client;
    std::map<int, NetworkSessionRequest> requests;
    std::thread workerThread;
    std::mutex mutex;
    std::condition_variable condition;
    std::atomic<bool> shouldStop{false};
    bool wakeRequested = false;           // a request was made since the last wait; under mutex
    bool waitOnSockets = true;            // fixed at construction
    std::vector<Delivery> workerDeliveries;  // no delivery thread could be started; under mutex

    int makePostRequest(const std::string& url, const std::vector<std::string>& headers, const std::string& body,
                        NetworkSessionRequest entry);
};

NetworkSession::NetworkSession() : NetworkSession(std::make_unique<CURLNetworkClient>()) {}

NetworkSession::NetworkSession(std::unique_ptr<NetworkClient> client) : impl(std::make_unique<Impl>()) {
    impl->client = std::move(client);
    impl->waitOnSockets = getTransferSettings().wakeOnSocketActivity;
    logger.trace("[NetworkSession] constructor");
    impl->workerThread = std::thread(&NetworkSession::workerThreadMain, this);
}

NetworkSession::~NetworkSession() {
    logger.trace("[NetworkSession] destructor");
    {
        // Under the mutex so the worker cannot test the flag and then miss
        // the notification.
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->shouldStop = true;
    }
    impl->condition.notify_one();
    impl->client->wakeUp();
    if (impl->workerThread.joinable())
        impl->workerThread.join();
    for (auto& entry : impl->requests) {
        if (entry.second.releaseUserData)
            entry.second.releaseUserData(entry.second.userData);
    }
    impl->requests.clear();
    impl->client.reset();
}

int NetworkSession::makePostRequest(const std::string& url, const std::vector<std::string>& headers,
                                    const std::string& body, void (*callback)(NetworkResponse, void*),
                                    void* userData) {
    return impl->makePostRequest(url, headers, body, NetworkSessionRequest{0, callback, userData, nullptr});
}

int NetworkSession::makePostRequest(const std::string& url, const std::vector<std::string>& headers,
                                    const std::string& body, std::function<void(NetworkResponse)> callback) {
    auto* callable = new Callable(std::move(callback));
    const int id =
        impl->makePostRequest(url, headers, body, NetworkSessionRequest{0, &callCallable, callable, &releaseCallable});
    if (id == 0)
        delete callable;
    return id;
}

int NetworkSession::Impl::makePostRequest(const std::string& url, const std::vector<std::string>& headers,
                                          const std::string& body, NetworkSessionRequest entry) {
    {
        // Held across post() so the worker cannot finish the transfer before
        // its entry exists, and cannot slip between reading the pending count
        // and starting its wait.
        std::lock_guard<std::mutex> lock(mutex);
        const int id = client->post(url, headers, body);
        if (id == 0) {
            logger.error("[NetworkSession] Could not make network request.");
            return 0;
        }
        if (debugEnabled())
            logger.debug("[NetworkSession] Made network request #" + std::to_string(id) +
                         " body: " + maskForLog(body, harmlessRequestMembers));
        entry.requestID = id;
        requests[id] = entry;
        wakeRequested = true;
    }
    condition.notify_one();
    client->wakeUp();
    return entry.requestID;
}

void NetworkSession::workerThreadMain() {
    Impl& s = *impl;
    logger.trace("[NetworkSession] workerThreadMain start");
    bool justDelivered = false;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.shouldStop) {
        logger.trace("[NetworkSession] workerThreadMain loop");
        // After a delivery more finished transfers may be waiting in libcurl's
        // queue: look again before sleeping.
        if (!justDelivered) {
            const auto woken = [&s] { return s.shouldStop.load() || s.wakeRequested; };
            // Counted with the session mutex held: makePostRequest posts under
            // it, so no request can land between this count and the wait.
            if (s.client->getNumberOfPendingRequests() == 0) {
                s.condition.wait_for(lock, idleWait, woken);
            } else if (s.waitOnSockets) {
                lock.unlock();
                s.client->waitForActivity(pendingWait);
                lock.lock();
            } else {
                s.condition.wait_for(lock, pendingWait, woken);
            }
            s.wakeRequested = false;
        }
        logger.trace("[NetworkSession] workerThreadMain woke up");
        if (s.shouldStop)
            break;

        NetworkResponse* response = s.client->process();
        justDelivered = response != nullptr;
        if (response)
            processResponse(response);

        if (!s.workerDeliveries.empty()) {
            std::vector<Delivery> deliveries;
            deliveries.swap(s.workerDeliveries);
            lock.unlock();
            for (auto& d : deliveries)
                callbackFunction(std::move(d.response), d.request.callback, d.request.userData);
            lock.lock();
        }
    }
    logger.trace("[NetworkSession] workerThreadMain end");
}

void NetworkSession::processResponse(NetworkResponse* response) {
    if (debugEnabled())
        logger.debug("[NetworkSession] Received response for request #" + std::to_string(response->requestID) +
                     " body: " + maskForLog(response->body));
    auto it = impl->requests.find(response->requestID);
    if (it == impl->requests.end()) {
        logger.error("[NetworkSession] Received response for unknown request #" +
                     std::to_string(response->requestID));
        return;
    }
    const NetworkSessionRequest entry = it->second;
    impl->requests.erase(it);
    if (!entry.callback)
        return;
    try {
        std::thread(callbackFunction, *response, entry.callback, entry.userData).detach();
    } catch (const std::system_error& e) {
        // The caller still gets its one callback, from the worker once the
        // session mutex is released.
        logger.error(std::string("[NetworkSession] Could not start a delivery thread: ") + e.what());
        impl->workerDeliveries.push_back(Delivery{*response, entry});
    }
}

void callbackFunction(NetworkResponse response, void (*callback)(NetworkResponse, void*), void* userData) {
    // An exception leaving a thread's function ends the process.
    try {
        callback(std::move(response), userData);
    } catch (const std::exception& e) {
        logger.error(std::string("[NetworkSession] Response callback threw: ") + e.what());
    } catch (...) {
        logger.error("[NetworkSession] Response callback threw an unknown exception");
    }
}

} // namespace networkclient
} // namespace orvanta
