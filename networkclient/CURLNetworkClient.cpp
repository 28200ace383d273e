#include "networkclient/CURLNetworkClient.h"

#include "networkclient/CURLNetworkRequest.h"
#include "networkclient/CURLResponseBuffer.h"
#include "networkclient/TransferSettings.h"
#include "utils/Logger.h"

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace orvanta {
namespace networkclient {

static_assert(CURLResponseBuffer::errorBufferSize == CURL_ERROR_SIZE, "libcurl's error buffer size changed");

namespace {

// Saves building trace texts on every libcurl callback when nobody listens.
bool traceEnabled() {
    return logger.getLogDestination() != nullptr && logger.getLogLevel() >= logging::LogLevel::Trace;
}

bool isAcceptableURL(const std::string& url, std::string& reason) {
    if (url.find('\0') != std::string::npos) {
        reason = "URL contains a NUL character";
        return false;
    }
    CURLU* parsed = curl_url();
    if (!parsed) {
        reason = "out of memory";
        return false;
    }
    bool ok = false;
    const CURLUcode rc = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
    if (rc != CURLUE_OK) {
        reason = curl_url_strerror(rc);
    } else {
        char* scheme = nullptr;
        if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme) {
            const std::string s(scheme);
            ok = s == "http" || s == "https";
            if (!ok)
                reason = "scheme '" + s + "' is not http or https";
        } else {
            reason = "URL has no scheme";
        }
        curl_free(scheme);
    }
    curl_url_cleanup(parsed);
    return ok;
}

bool isAcceptableHeaderLine(const std::string& line) {
    return line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool configure(CURL* easy, const CURLNetworkRequest& request, CURLResponseBuffer& buffer,
               const TransferSettings& settings) {
    bool ok = true;
    const auto check = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
    check(curl_easy_setopt(easy, CURLOPT_URL, request.getURL().c_str()));
    check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.getCURLHeaders()));
    check(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CURLHeaderCallback));
    check(curl_easy_setopt(easy, CURLOPT_POST, 1L));
    check(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.getBody().data()));
    // The whole body, embedded NULs included: stopping at the first NUL
    // would send a silently truncated request.
    check(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.getBody().size())));
    check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CURLWriteCallback));
    check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &buffer.body));
    check(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, buffer.errorBuffer));
    check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
    check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
    // Without these a server that accepts and never answers holds the
    // request, and whoever waits for it, forever.
    check(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeout.count())));
    check(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.totalTimeout.count())));
    // Timeouts must not be implemented with signals in a threaded process.
    check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
    if (!settings.caFile.empty())
        check(curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile.c_str()));
    return ok;
}

} // namespace

struct CURLNetworkClient::Impl {
    CURLM* multi = nullptr;
    std::mutex mutex;  // guards everything below
    std::map<CURL*, std::unique_ptr<CURLNetworkRequest>> requests;
    std::map<CURL*, std::unique_ptr<CURLResponseBuffer>> responses;
    std::deque<CURL*> queued;         // posted, not yet handed to the multi handle
    std::deque<CURL*> failedToStart;  // the multi handle refused them; reported by process()
    NetworkResponse lastResponse;
    int requestCounter = 0;

    NetworkResponse* finish(CURL* easy, bool addedToMulti);
};

CURLNetworkClient::CURLNetworkClient() : impl(std::make_unique<Impl>()) {
    logger.trace("[CURLNetworkClient] constructor");
    logger.trace(std::string("[CURLNetworkClient] Using cURL version ") + LIBCURL_VERSION);
    curl_global_init(CURL_GLOBAL_ALL);
    impl->multi = curl_multi_init();
    if (!impl->multi)
        logger.error("[CURLNetworkClient] Something went wrong: could not create curl multi handle");
}

CURLNetworkClient::~CURLNetworkClient() {
    logger.trace("[CURLNetworkClient] destructor");
    std::lock_guard<std::mutex> lock(impl->mutex);
    for (auto& entry : impl->requests) {
        CURL* easy = entry.first;
        const bool added = std::find(impl->queued.begin(), impl->queued.end(), easy) == impl->queued.end() &&
                           std::find(impl->failedToStart.begin(), impl->failedToStart.end(), easy) ==
                               impl->failedToStart.end();
        if (added)
            curl_multi_remove_handle(impl->multi, easy);
        curl_easy_cleanup(easy);
    }
    impl->requests.clear();
    impl->responses.clear();
    if (impl->multi)
        curl_multi_cleanup(impl->multi);
    curl_global_cleanup();
}

int CURLNetworkClient::post(const std::string& url, const std::vector<std::string>& headers,
                            const std::string& body) {
    std::string reason;
    if (!isAcceptableURL(url, reason)) {
        logger.error("[CURLNetworkClient] Rejected request URL: " + reason);
        return 0;
    }
    for (const auto& line : headers) {
        if (!isAcceptableHeaderLine(line)) {
            logger.error("[CURLNetworkClient] Rejected request header line with a CR, LF or NUL character");
            return 0;
        }
    }
    const TransferSettings settings = getTransferSettings();

    std::lock_guard<std::mutex> lock(impl->mutex);
    CURL* easy = impl->multi ? curl_easy_init() : nullptr;
    if (!easy) {
        logger.error("[CURLNetworkClient] Something went wrong: could not create curl handle");
        return 0;
    }
    const int id = ++impl->requestCounter;
    auto request = std::make_unique<CURLNetworkRequest>(id, url, headers, body);
    auto buffer = std::make_unique<CURLResponseBuffer>(id);
    if (!request->hasAllHeaders() || !configure(easy, *request, *buffer, settings)) {
        logger.error("[CURLNetworkClient] Something went wrong: could not configure curl handle");
        curl_easy_cleanup(easy);
        return 0;
    }
    impl->requests.emplace(easy, std::move(request));
    impl->responses.emplace(easy, std::move(buffer));
    impl->queued.push_back(easy);
    return id;
}

NetworkResponse* CURLNetworkClient::process() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (!impl->multi)
        return nullptr;

    while (!impl->queued.empty()) {
        CURL* easy = impl->queued.front();
        impl->queued.pop_front();
        const CURLMcode rc = curl_multi_add_handle(impl->multi, easy);
        if (rc != CURLM_OK) {
            const std::string text = "curl_multi_add_handle returned error code: " + std::to_string(rc);
            logger.error("[CURLNetworkClient] " + text);
            impl->responses.at(easy)->error = text;
            impl->failedToStart.push_back(easy);
        }
    }
    if (!impl->failedToStart.empty()) {
        CURL* easy = impl->failedToStart.front();
        impl->failedToStart.pop_front();
        return impl->finish(easy, false);
    }

    int running = 0;
    const CURLMcode rc = curl_multi_perform(impl->multi, &running);
    if (rc != CURLM_OK) {
        logger.error("[CURLNetworkClient] curl_multi_perform returned error code: " + std::to_string(rc));
        return nullptr;
    }

    int left = 0;
    CURLMsg* message = curl_multi_info_read(impl->multi, &left);
    if (!message || message->msg != CURLMSG_DONE)
        return nullptr;
    logger.trace("[CURLNetworkClient] Received curl handle done message");

    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    if (impl->requests.find(easy) == impl->requests.end()) {
        logger.error("[CURLNetworkClient] Finished curl handle not found in registered requests");
        return nullptr;
    }
    CURLResponseBuffer& buffer = *impl->responses.at(easy);
    if (result != CURLE_OK) {
        buffer.error = buffer.errorBuffer[0] != 0 ? std::string(buffer.errorBuffer) : curl_easy_strerror(result);
        logger.error("[CURLNetworkClient] Finished curl handle response error: " + buffer.error);
    } else {
        long statusCode = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &statusCode);
        buffer.statusCode = statusCode;
        if (traceEnabled())
            logger.trace("[CURLNetworkClient] Finished curl handle received " + std::to_string(statusCode) +
                         " HTTP status code");
    }
    return impl->finish(easy, true);
}

NetworkResponse* CURLNetworkClient::Impl::finish(CURL* easy, bool addedToMulti) {
    auto bufferEntry = responses.find(easy);
    CURLResponseBuffer& buffer = *bufferEntry->second;
    lastResponse.requestID = buffer.requestID;
    lastResponse.statusCode = buffer.statusCode;
    lastResponse.body = std::move(buffer.body);
    lastResponse.error = std::move(buffer.error);
    if (addedToMulti)
        curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    responses.erase(bufferEntry);
    requests.erase(easy);
    return &lastResponse;
}

std::size_t CURLNetworkClient::getNumberOfPendingRequests() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->requests.size();
}

void CURLNetworkClient::waitForActivity(std::chrono::milliseconds timeout) {
    // Deliberately outside the mutex: post() must not wait for this sleep.
    // Only the driving thread uses the multi handle, and curl_multi_wakeup is
    // made to be called from other threads.
    if (!impl->multi) {
        std::this_thread::sleep_for(timeout);
        return;
    }
    int ready = 0;
    curl_multi_poll(impl->multi, nullptr, 0, static_cast<int>(timeout.count()), &ready);
}

void CURLNetworkClient::wakeUp() {
    if (impl->multi)
        curl_multi_wakeup(impl->multi);
}

std::size_t CURLHeaderCallback(void*, std::size_t size, std::size_t count, void*) {
    const std::size_t n = size * count;
    if (traceEnabled())
        logger.trace("[CURLNetworkClient] HeaderCallback called with " + std::to_string(n) + " bytes.");
    return n;
}

std::size_t CURLWriteCallback(void* data, std::size_t size, std::size_t count, std::string* target) {
    const std::size_t n = size * count;
    if (traceEnabled())
        logger.trace("[CURLNetworkClient] WriteCallback called with " + std::to_string(n) + " bytes.");
    if (n > CURLNetworkClient::maxResponseBodyBytes - target->size()) {
        logger.error("[CURLNetworkClient] Response body exceeds " +
                     std::to_string(CURLNetworkClient::maxResponseBodyBytes) + " bytes; transfer aborted");
        return 0;
    }
    target->append(static_cast<const char*>(data), n);
    return n;
}

} // namespace networkclient
} // namespace orvanta
