#include "utils/SHA1Hash.h"

#if defined(__APPLE__)
#include <CommonCrypto/CommonDigest.h>
#include <algorithm>
#include <limits>
#else
#include <openssl/sha.h>
#endif

namespace orvanta {
namespace sha1 {

std::vector<std::uint8_t> SHA1Hash::hash(const std::string& data) {
    std::vector<std::uint8_t> digest(digestSize);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
#if defined(__APPLE__)
    // CC_LONG is 32 bits: feed longer inputs in pieces instead of letting the
    // length wrap.
    CC_SHA1_CTX context;
    CC_SHA1_Init(&context);
    std::size_t remaining = data.size();
    while (remaining > 0) {
        const std::size_t piece = std::min<std::size_t>(remaining, std::numeric_limits<CC_LONG>::max());
        CC_SHA1_Update(&context, bytes, static_cast<CC_LONG>(piece));
        bytes += piece;
        remaining -= piece;
    }
    CC_SHA1_Final(digest.data(), &context);
#else
    SHA1(bytes, data.size(), digest.data());
#endif
    return digest;
}

std::string SHA1Hash::sha1ToString(const std::vector<std::uint8_t>& digest) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string text(digest.size() * 2, '\0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    return text;
}

} // namespace sha1
} // namespace orvanta
