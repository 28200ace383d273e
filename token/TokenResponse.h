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
Result<std::string> interpretTokenResponse(const networkclient::NetworkResponse& response);

// Logs the reply (secrets masked) and calls `callback` exactly once with
// interpretTokenResponse's result. Runs on the delivery thread.
void handleTokenResponse(const networkclient::NetworkResponse& response, const TokenCallback& callback);

} // namespace orvanta::extensions::openai
