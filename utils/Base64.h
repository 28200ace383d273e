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
};

} // namespace base64
} // namespace orvanta
