#include "networkclient/CURLNetworkRequest.h"

#include <curl/curl.h>

namespace orvanta {
namespace networkclient {

CURLNetworkRequest::CURLNetworkRequest(int id, std::string requestURL, std::vector<std::string> headerLines,
                                       std::string requestBody)
    : requestID(id), url(std::move(requestURL)), headers(std::move(headerLines)), body(std::move(requestBody)) {
    for (const auto& line : headers) {
        // curl_slist_append returns null and leaves the list untouched when it
        // cannot allocate; keep the list and remember that it is incomplete.
        curl_slist* extended = curl_slist_append(curlHeaders, line.c_str());
        if (!extended) {
            allHeadersAppended = false;
            break;
        }
        curlHeaders = extended;
    }
}

CURLNetworkRequest::~CURLNetworkRequest() {
    curl_slist_free_all(curlHeaders);
}

} // namespace networkclient
} // namespace orvanta
