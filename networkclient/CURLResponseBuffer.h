#pragma once

#include <string>

namespace orvanta {
namespace networkclient {

// Receive state of one transfer: libcurl writes the body and the error text
// into it on the driving thread. Owned by CURLNetworkClient.
struct CURLResponseBuffer {
    static constexpr int errorBufferSize = 256;  // libcurl's CURL_ERROR_SIZE

    explicit CURLResponseBuffer(int id) : requestID(id) { errorBuffer[0] = 0; }

    int requestID;
    long statusCode = 0;
    std::string body;
    char errorBuffer[errorBufferSize];
    std::string error;
};

} // namespace networkclient
} // namespace orvanta
