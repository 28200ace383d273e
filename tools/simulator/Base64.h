#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The simulator is a peer of the library, not a user of it, so it carries
// its own codec rather than linking the library's.
namespace orvanta::simulator::base64 {

/// RFC 4648 standard alphabet with padding.
std::string encode(const uint8_t* data, std::size_t size);
/// Strict decode: nullopt on a foreign character, bad padding or a length
/// that is not a multiple of four.
std::optional<std::vector<uint8_t>> decode(const std::string& text);

}  // namespace orvanta::simulator::base64
