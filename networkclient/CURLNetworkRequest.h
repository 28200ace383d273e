#pragma once

#include <string>
#include <vector>

struct curl_slist;

namespace orvanta {
namespace networkclient {

// One request's inputs. libcurl reads the body and the header list in place,
// so the object lives until its transfer has ended. Owned and used by
// CURLNetworkClient under its mutex.
class CURLNetworkRequest {
public:
    CURLNetworkRequest(int requestID, std::string url, std::vector<std::string> headers, std::string body);
    ~CURLNetworkRequest();
    CURLNetworkRequest(const CURLNetworkRequest&) = delete;
    CURLNetworkRequest& operator=(const CURLNetworkRequest&) = delete;

    int getRequestID() const { return requestID; }
    const std::string& getURL() const { return url; }
    const std::string& getBody() const { return body; }
    // Null when there are no header lines (or libcurl ran out of memory, which
    // hasAllHeaders() reports).
    curl_slist* getCURLHeaders() const { return curlHeaders; }
    bool hasAllHeaders() const { return allHeadersAppended; }

private:
    int requestID;
    std::string url;
    std::vector<std::string> headers;
    std::string body;
    curl_slist* curlHeaders = nullptr;
    bool allHeadersAppended = true;
};

} // namespace networkclient
} // namespace orvanta
