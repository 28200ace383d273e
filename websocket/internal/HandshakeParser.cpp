#include "websocket/internal/HandshakeParser.h"

#include "websocket/Handshake.h"

#include <cstring>
#include <sstream>

namespace orvanta {
namespace websocket {
namespace internal {

namespace {

// RFC 7230, section 3.2.6.
bool isTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

// RFC 3986 reg-name and IP-literal characters: what a Host header may hold.
bool isHostChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("-._~!$&'()*+,;=:%[]", c) != nullptr && c != 0;
}

// Anything visible is fine in a request target; a blank or a control
// character would end the request line or start a header.
bool isTargetChar(unsigned char c) { return c > 0x20 && c < 0x7F; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive search for `name` anywhere in `line`; on a hit `value`
// is the rest of the line up to the first carriage return.
bool findHeader(const std::string& line, const char* name, std::string& value) {
    const std::size_t n = std::strlen(name);
    if (line.size() < n) return false;
    for (std::size_t i = 0; i + n <= line.size(); ++i) {
        std::size_t j = 0;
        while (j < n && lower(line[i + j]) == lower(name[j])) ++j;
        if (j == n) {
            const std::size_t start = i + n;
            const std::size_t cr = line.find('\r', start);
            value = line.substr(start, cr == std::string::npos ? std::string::npos : cr - start);
            return true;
        }
    }
    return false;
}

} // namespace

std::string validateRequestInputs(const std::string& host, const std::string& path,
                                  const std::vector<std::string>& protocols) {
    if (host.empty()) return "Invalid host: empty";
    for (unsigned char c : host) {
        if (!isHostChar(c)) return "Invalid host: contains a character not allowed in a host name";
    }
    for (unsigned char c : path) {
        if (!isTargetChar(c)) return "Invalid request path: contains a blank or a control character";
    }
    for (std::size_t i = 0; i < protocols.size(); ++i) {
        const std::string& p = protocols[i];
        bool ok = !p.empty();
        for (unsigned char c : p) ok = ok && isTokenChar(c);
        if (!ok) {
            return "Invalid subprotocol #" + std::to_string(i + 1) +
                   ": empty or contains a character not allowed in a header token";
        }
    }
    return {};
}

std::string buildHandshakeRequest(const std::string& host, const std::string& path,
                                  const std::vector<std::string>& protocols, const std::string& key) {
    std::string request;
    request.reserve(256);
    request += "GET " + path + " HTTP/1.1\r\n";
    request += "Host: " + host + "\r\n";
    request += "Upgrade: websocket\r\n";
    request += "Connection: keep-alive, Upgrade\r\n";
    request += "Sec-WebSocket-Key: " + key + "\r\n";
    request += "Sec-WebSocket-Version: 13\r\n";
    if (!protocols.empty()) {
        request += "Sec-WebSocket-Protocol: ";
        for (std::size_t i = 0; i < protocols.size(); ++i) {
            if (i > 0) request += ", ";
            request += protocols[i];
        }
        request += "\r\n";
    }
    request += "\r\n";
    return request;
}

std::size_t findHeaderBlockEnd(const char* data, std::size_t size, std::size_t limit) {
    const std::size_t end = size < limit ? size : limit;
    for (std::size_t i = 0; i + 4 <= end; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') return i + 4;
    }
    return 0;
}

HandshakeResponse parseHandshakeResponse(const std::string& headerBlock, const std::string& key) {
    HandshakeResponse result;
    std::istringstream in(headerBlock);
    std::string version;
    std::string status;
    std::string reason;
    in >> version >> status;
    std::getline(in, reason);
    if (version.size() < 5 || version.compare(0, 5, "HTTP/") != 0 || status != "101") {
        result.error = "Handshake validation error: Invalid HTTP response or status code: " + version + " " + status +
                       " " + reason;
        return result;
    }

    std::string line;
    while (std::getline(in, line) && line != "\r") {
        std::string value;
        if (findHeader(line, "Sec-WebSocket-Accept: ", value)) {
            result.accept = value;
        } else if (findHeader(line, "Sec-WebSocket-Protocol: ", value)) {
            result.negotiatedProtocol = value;
            result.protocolNamed = true;
        }
    }

    if (result.accept.empty()) {
        result.error = "Handshake validation error: Missing Sec-WebSocket-Accept in response";
        return result;
    }
    const std::string expected = generateAcceptKey(key);
    if (result.accept != expected) {
        result.error = "Handshake validation error: Invalid Sec-WebSocket-Accept: " + result.accept +
                       " expected: " + expected;
        return result;
    }
    result.valid = true;
    return result;
}

} // namespace internal
} // namespace websocket
} // namespace orvanta
