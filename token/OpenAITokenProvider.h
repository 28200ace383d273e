#pragma once

#include "OrvantaSDK/Result.h"

#include <functional>
#include <memory>
#include <string>

namespace orvanta::extensions::openai {

// Obtains short-lived client secrets for the realtime service from the
// vendor's token service, authenticated with the application's credentials
// (host configuration section "orvanta", keys "appID" and "appSecret").
class OpenAITokenProvider {
public:
    // Any thread. Created on first use, destroyed at process exit.
    static OpenAITokenProvider& shared();

    // Any thread. Starts one token request for `sessionConfig` (JSON text) and
    // calls `callback` exactly once: with the token, or with an error whose
    // message says what failed. Failures found before anything is sent (the
    // configuration is not JSON, a credential is missing from the host
    // configuration, the request cannot be started) are reported on the
    // calling thread before getToken returns; a reply, or a failed transfer,
    // is reported on a new thread of its own. Credentials missing earlier are
    // looked up again on every call. The callback should not throw; on a
    // reply's thread an exception from it is logged and dropped.
    void getToken(std::function<void(const Result<std::string>&)> callback, const std::string& sessionConfig);

    ~OpenAITokenProvider();
    OpenAITokenProvider(const OpenAITokenProvider&) = delete;
    OpenAITokenProvider& operator=(const OpenAITokenProvider&) = delete;
    OpenAITokenProvider(OpenAITokenProvider&&) = delete;
    OpenAITokenProvider& operator=(OpenAITokenProvider&&) = delete;

private:
    OpenAITokenProvider();

    struct Internals;
    std::unique_ptr<Internals> internals;
};

} // namespace orvanta::extensions::openai
