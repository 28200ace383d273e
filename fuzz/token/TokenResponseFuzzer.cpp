// Arbitrary reply bytes through the token-reply handling: it must neither
// crash nor call back anything but exactly once per reply, and what it says
// about a reply must never carry the application's secret or a control
// character. The log masking of a valid JSON reply must leave valid JSON
// whose every string value is masked.

#include "OrvantaSDK/Logger.h"
#include "networkclient/SecretMask.h"
#include "token/TokenResponse.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

using orvanta::extensions::openai::handleTokenResponse;
using orvanta::networkclient::NetworkResponse;

namespace {

// Seeds in the corpus carry it, so the fuzzer can move it around a reply.
const std::string appSecret = "s3cr3t-Canary";

void deliverOnce(const NetworkResponse& response) {
    int calls = 0;
    handleTokenResponse(
        response,
        [&](const orvanta::Result<std::string>& result) {
            ++calls;
            if (result.hasValue() == result.hasError()) std::abort();  // exactly one side is there
            // A transfer error is libcurl's own text, not the reply's.
            if (result.hasError() && response.error.empty()) {
                const std::string& message = result.getError().getMessage();
                if (message.find(appSecret) != std::string::npos) std::abort();
                for (const char c : message)
                    if (static_cast<unsigned char>(c) < 0x20) std::abort();
            }
        },
        appSecret);
    if (calls != 1) std::abort();
}

void checkMasking(const std::string& body) {
    // Short enough that the masked text is never cut off. The JSON library
    // stops at a NUL byte; the masking refuses such a body as a whole.
    if (body.size() > 400 || body.find('\0') != std::string::npos || !nlohmann::json::accept(body))
        return;
    const std::string masked = orvanta::networkclient::maskForLog(body);
    bool onlyMasked = true;
    const auto parsed = nlohmann::json::parse(
        masked,
        [&](int, nlohmann::json::parse_event_t event, nlohmann::json& value) {
            if (event == nlohmann::json::parse_event_t::value && value.is_string() && value != "***")
                onlyMasked = false;
            return true;
        },
        false);
    if (parsed.is_discarded() || !onlyMasked) std::abort();
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

    deliverOnce({1, 200, bytes, ""});
    checkMasking(bytes);
    if (!bytes.empty()) deliverOnce({2, 0, "", bytes});  // a failed transfer
    return 0;
}
