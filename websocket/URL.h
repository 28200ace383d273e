#pragma once

#include <ostream>
#include <string>

namespace orvanta {
namespace websocket {

// The six textual parts of a URL, split by the pattern of RFC 3986,
// appendix B. No decoding, no normalisation, no default port. Any thread.
class URL {
public:
    // Throws std::invalid_argument("Invalid URL format: " + url) when the
    // text does not match as a whole (a line break inside the fragment).
    static URL parse(const std::string& url);

    const std::string& getScheme() const { return scheme; }
    const std::string& getHost() const { return host; }
    const std::string& getPort() const { return port; }
    const std::string& getPath() const { return path; }
    const std::string& getQuery() const { return query; }
    const std::string& getFragment() const { return fragment; }

private:
    std::string scheme;
    std::string host;
    std::string port;
    std::string path;
    std::string query;
    std::string fragment;
};

std::ostream& operator<<(std::ostream& out, const URL& url);

} // namespace websocket
} // namespace orvanta
