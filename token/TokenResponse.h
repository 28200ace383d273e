#pragma once

// Internal to the library; not installed.

#include "OrvantaSDK/Result.h"
#include "networkclient/NetworkResponse.h"

#include <functional>
#include <string>

namespace orvanta::extensions::openai {

using TokenCallback = std::function<void(const Result<std::string>&)>;

// The caller's result for one reply of the token service: the token, or an
// error saying whether the transfer failed, the service refused, or the reply
// could not be read. Logs the network error. Never throws.
//
// Its error texts reach logs, the node's "error" event and the application,
// so they never quote the reply: a reply that cannot be read is described by
// what is wrong with it (where the JSON breaks off, which member is missing or
// of which type), its HTTP status and its size. Only a refusal's "message" is
// shown, as the service's explanation: cut to a short length, without control
// characters, with `appSecret` (the service may echo the request) and
// anything shaped like an OpenAI key or client secret replaced by "***".
Result<std::string> interpretTokenResponse(const networkclient::NetworkResponse& response,
                                           const std::string& appSecret = std::string());

// Logs the reply (every string value masked) and calls `callback` exactly
// once with interpretTokenResponse's result. Runs on the delivery thread.
void handleTokenResponse(const networkclient::NetworkResponse& response, const TokenCallback& callback,
                         const std::string& appSecret = std::string());

} // namespace orvanta::extensions::openai
