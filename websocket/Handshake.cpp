#include "websocket/Handshake.h"

#include "utils/Base64.h"
#include "utils/SHA1Hash.h"

#include <cstdint>
#include <vector>

namespace orvanta {
namespace websocket {

std::string generateNonce(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> material(16);
    for (auto& b : material) b = static_cast<uint8_t>(byte(rng));
    return base64::Base64::encode(material);
}

std::string generateAcceptKey(const std::string& key) {
    return base64::Base64::encode(sha1::SHA1Hash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}

} // namespace websocket
} // namespace orvanta
