#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta {
namespace base64 {

// Standard Base64 (RFC 4648 section 4: standard alphabet, "=" padding, no
// line breaks). Stateless and thread-safe; allocates only the result.
class Base64 {
public:
    static std::string encode(const std::string& data);
    static std::string encode(const std::vector<std::uint8_t>& data);
    static std::string encode(const std::uint8_t* data, std::size_t size);

    // Strict: the length must be a multiple of 4, every character must be in
    // the standard alphabet, and "=" may only end the last group ("x=" or
    // "xx=" there). Anything else throws std::runtime_error with
    // "Failed to decode Base64 string." and returns nothing partial.
    static std::vector<std::uint8_t> decode(const std::string& text);

    // The same decoding into a caller's buffer, for callers that want the
    // bytes somewhere else than a fresh vector (audio samples, say).
    // decodedSize() gives the byte count of `length` characters of text and
    // throws as decode() does when the length is not a multiple of 4;
    // decode() writes that many bytes to `out` or throws, leaving `out`
    // partly written.
    static std::size_t decodedSize(const char* text, std::size_t length);
    static void decode(const char* text, std::size_t length, std::uint8_t* out);
};

} // namespace base64
} // namespace orvanta
