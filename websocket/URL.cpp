#include "websocket/URL.h"

#include <stdexcept>

namespace orvanta {
namespace websocket {

// A direct scan that gives exactly the groups of the RFC 3986, appendix B
// expression
//   ^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?
// under ECMAScript rules. std::regex would recurse once per input character
// and can exhaust the stack on a long URL; this cannot.
URL URL::parse(const std::string& url) {
    URL result;
    std::size_t pos = 0;
    const std::size_t n = url.size();

    // Scheme: a non-empty run free of ":/?#" that ends in ':'.
    const std::size_t firstDelimiter = url.find_first_of(":/?#");
    if (firstDelimiter != std::string::npos && firstDelimiter > 0 && url[firstDelimiter] == ':') {
        result.scheme = url.substr(0, firstDelimiter);
        pos = firstDelimiter + 1;
    }

    std::string authority;
    if (url.compare(pos, 2, "//") == 0) {
        const std::size_t start = pos + 2;
        std::size_t end = url.find_first_of("/?#", start);
        if (end == std::string::npos) end = n;
        authority = url.substr(start, end - start);
        pos = end;
    }

    std::size_t pathEnd = url.find_first_of("?#", pos);
    if (pathEnd == std::string::npos) pathEnd = n;
    result.path = url.substr(pos, pathEnd - pos);
    pos = pathEnd;

    if (pos < n && url[pos] == '?') {
        std::size_t queryEnd = url.find('#', pos + 1);
        if (queryEnd == std::string::npos) queryEnd = n;
        result.query = url.substr(pos + 1, queryEnd - pos - 1);
        pos = queryEnd;
    }

    if (pos < n) {  // url[pos] == '#'
        // ECMAScript '.' matches neither line feed nor carriage return, so
        // the whole-input match fails on either inside the fragment.
        if (url.find_first_of("\r\n", pos + 1) != std::string::npos) {
            throw std::invalid_argument("Invalid URL format: " + url);
        }
        result.fragment = url.substr(pos + 1);
    }

    result.host = authority;
    const auto colon = authority.rfind(':');
    if (colon != std::string::npos) {
        const std::string digits = authority.substr(colon + 1);
        bool allDigits = !digits.empty();
        for (char c : digits) {
            if (c < '0' || c > '9') {
                allDigits = false;
                break;
            }
        }
        if (allDigits) {
            result.host = authority.substr(0, colon);
            result.port = digits;
        }
    }
    return result;
}

std::ostream& operator<<(std::ostream& out, const URL& url) {
    out << "Scheme: '" << url.getScheme() << "'\n"
        << "Host: '" << url.getHost() << "'\n"
        << "Port: '" << url.getPort() << "'\n"
        << "Path: '" << url.getPath() << "'\n"
        << "Query: '" << url.getQuery() << "'\n"
        << "Fragment: '" << url.getFragment() << "'\n";
    return out;
}

} // namespace websocket
} // namespace orvanta
