#pragma once

#include "networkclient/NetworkResponse.h"

namespace orvanta {
namespace networkclient {

// A session's record of one pending request.
struct NetworkSessionRequest {
    int requestID = 0;
    void (*callback)(NetworkResponse, void*) = nullptr;
    void* userData = nullptr;
    // Frees userData when the response will never come (the session is
    // destroyed first); null when the caller owns userData.
    void (*releaseUserData)(void*) = nullptr;
};

} // namespace networkclient
} // namespace orvanta
