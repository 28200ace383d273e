// Decoding arbitrary text either succeeds with a result of the size the text promises, which survives a round
// trip, or throws exactly the one documented error; encoding arbitrary bytes always decodes back to them.
#include "utils/Base64.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

using orvanta::base64::Base64;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const std::vector<std::uint8_t> decoded = Base64::decode(text);
        const std::size_t padding = size == 0 || text[size - 1] != '=' ? 0 : (text[size - 2] == '=' ? 2 : 1);
        const std::string again = Base64::encode(decoded);
        if (size % 4 != 0 || decoded.size() != size / 4 * 3 - padding || again.size() != size ||
            Base64::decode(again) != decoded)
            std::abort();
    } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), "Failed to decode Base64 string.") != 0)
            std::abort();
    }
    const std::vector<std::uint8_t> bytes(data, data + size);
    if (Base64::decode(Base64::encode(bytes)) != bytes)
        std::abort();
    return 0;
}
