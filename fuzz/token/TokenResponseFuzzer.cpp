// Arbitrary reply bytes through the token-reply handling: it must neither
// crash nor call back anything but exactly once per reply.

#include "OrvantaSDK/Logger.h"
#include "token/TokenResponse.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using orvanta::extensions::openai::handleTokenResponse;
using orvanta::networkclient::NetworkResponse;

namespace {

void deliverOnce(const NetworkResponse& response) {
    int calls = 0;
    handleTokenResponse(response, [&calls](const orvanta::Result<std::string>& result) {
        ++calls;
        // Exactly one side is there.
        if (result.hasValue() == result.hasError())
            std::abort();
    });
    if (calls != 1)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Debug level with a sink, so the masked log lines are built too.
    orvanta::Logger::setLevel(orvanta::Logger::Level::Debug);
    orvanta::Logger::setSink([](orvanta::Logger::Level, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    NetworkResponse reply;
    reply.requestID = 1;
    reply.statusCode = 200;
    reply.body = bytes;
    deliverOnce(reply);

    if (!bytes.empty()) {
        NetworkResponse failed;
        failed.requestID = 2;
        failed.error = bytes;
        deliverOnce(failed);
    }
    return 0;
}
