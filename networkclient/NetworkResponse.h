#pragma once

#include <string>

namespace orvanta {
namespace networkclient {

// The outcome of one request, handed to callbacks by value.
struct NetworkResponse {
    int requestID = 0;    // the id that post() returned
    long statusCode = 0;  // HTTP status; 0 when the transfer failed
    std::string body;     // response body bytes as received
    std::string error;    // empty on success, else the transfer error text
};

} // namespace networkclient
} // namespace orvanta
