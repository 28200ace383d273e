// Differential: the hand-written splitter must agree with the RFC 3986,
// appendix B expression on every input, and throw exactly when it fails.
#include "websocket/URL.h"

#include <cstdint>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    bool threw = false;
    orvanta::websocket::URL url;
    try {
        url = orvanta::websocket::URL::parse(input);
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    // std::regex recurses per character; keep the reference to short inputs.
    if (size > 512) return 0;
    static const std::regex pattern(R"(^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?)");
    std::smatch m;
    const bool matched = std::regex_match(input, m, pattern);
    if (matched == threw) std::abort();
    if (!matched) return 0;
    std::string host = m[4].str(), port;
    const auto colon = host.rfind(':');
    if (colon != std::string::npos && colon + 1 < host.size() &&
        host.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    if (url.getScheme() != m[2].str() || url.getHost() != host || url.getPort() != port ||
        url.getPath() != m[5].str() || url.getQuery() != m[7].str() || url.getFragment() != m[9].str()) {
        std::abort();
    }
    return 0;
}
