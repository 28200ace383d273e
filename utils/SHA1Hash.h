#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta {
namespace sha1 {

// SHA-1 (FIPS 180-4) through the platform's routine. Stateless, any thread.
class SHA1Hash {
public:
    static constexpr std::size_t digestSize = 20;

    // The 20 digest bytes of the string's bytes, in natural order.
    static std::vector<std::uint8_t> hash(const std::string& data);

    // Two lower-case hex digits per byte, no separators; any length.
    static std::string sha1ToString(const std::vector<std::uint8_t>& digest);
};

} // namespace sha1
} // namespace orvanta
