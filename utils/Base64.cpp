#include "utils/Base64.h"

#include <array>
#include <cstring>
#include <stdexcept>

namespace orvanta {
namespace base64 {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 12 input bits -> two output characters, so a 3-byte group costs two loads.
struct PairTable {
    char pairs[4096][2];
};

constexpr PairTable makePairTable() {
    PairTable t{};
    for (int i = 0; i < 4096; ++i) {
        t.pairs[i][0] = alphabet[i >> 6];
        t.pairs[i][1] = alphabet[i & 63];
    }
    return t;
}

constexpr PairTable pairTable = makePairTable();

// The two characters for the low 12 bits of `bits`, first character in the
// low byte.
inline std::uint16_t pair(std::uint64_t bits) {
    const char* p = pairTable.pairs[bits & 0xfff];
    return static_cast<std::uint16_t>(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8));
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && (defined(__GNUC__) || defined(__clang__))
inline std::uint64_t loadBigEndian64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}
inline void storeLittleEndian64(char* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }
#else
inline std::uint64_t loadBigEndian64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k)
        v = (v << 8) | p[k];
    return v;
}
inline void storeLittleEndian64(char* p, std::uint64_t v) {
    for (int k = 0; k < 8; ++k)
        p[k] = static_cast<char>(v >> (8 * k));
}
#endif

// Decoding: one table per position in a group of four, each holding the
// character's six bits already moved to where they land in the 24-bit output
// (byte 0 in the low bits). Characters outside the alphabet map to a value
// with bit 24 set, so one OR over the four lookups validates the group.
constexpr std::uint32_t invalid = 0x01000000u;

struct DecodeTables {
    std::uint32_t d0[256];
    std::uint32_t d1[256];
    std::uint32_t d2[256];
    std::uint32_t d3[256];
};

constexpr DecodeTables makeDecodeTables() {
    DecodeTables t{};
    for (int c = 0; c < 256; ++c) {
        t.d0[c] = t.d1[c] = t.d2[c] = t.d3[c] = invalid;
    }
    for (std::uint32_t v = 0; v < 64; ++v) {
        const auto c = static_cast<unsigned char>(alphabet[v]);
        t.d0[c] = v << 2;                                // byte 0, bits 7..2
        t.d1[c] = (v >> 4) | ((v & 0x0fu) << 12);        // byte 0 bits 1..0, byte 1 bits 7..4
        t.d2[c] = ((v >> 2) << 8) | ((v & 0x03u) << 22); // byte 1 bits 3..0, byte 2 bits 7..6
        t.d3[c] = v << 16;                               // byte 2, bits 5..0
    }
    return t;
}

constexpr DecodeTables decodeTables = makeDecodeTables();

[[noreturn]] void fail() { throw std::runtime_error("Failed to decode Base64 string."); }

} // namespace

std::string Base64::encode(const std::string& data) {
    return encode(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

std::string Base64::encode(const std::vector<std::uint8_t>& data) { return encode(data.data(), data.size()); }

std::string Base64::encode(const std::uint8_t* in, std::size_t size) {
    std::string result;
    if (size == 0)
        return result;
    result.resize(((size + 2) / 3) * 4);
    char* out = &result[0];

    std::size_t i = 0;
    // Two groups per step from one 64-bit window (6 of its 8 bytes used), the
    // eight characters leaving in one store.
    for (; i + 8 <= size; i += 6, out += 8) {
        const std::uint64_t w = loadBigEndian64(in + i);
        const std::uint64_t chars = std::uint64_t{pair(w >> 52)} | (std::uint64_t{pair(w >> 40)} << 16) |
                                    (std::uint64_t{pair(w >> 28)} << 32) | (std::uint64_t{pair(w >> 16)} << 48);
        storeLittleEndian64(out, chars);
    }
    for (; i + 3 <= size; i += 3, out += 4) {
        const std::uint32_t w = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out + 0, pairTable.pairs[w >> 12], 2);
        std::memcpy(out + 2, pairTable.pairs[w & 0xfff], 2);
    }
    const std::size_t rest = size - i;
    if (rest == 1) {
        const std::uint32_t w = std::uint32_t{in[i]} << 4;
        std::memcpy(out, pairTable.pairs[w], 2);
        out[2] = '=';
        out[3] = '=';
    } else if (rest == 2) {
        const std::uint32_t w = (std::uint32_t{in[i]} << 10) | (std::uint32_t{in[i + 1]} << 2);
        std::memcpy(out, pairTable.pairs[w >> 6], 2);
        out[2] = alphabet[w & 63];
        out[3] = '=';
    }
    return result;
}

std::vector<std::uint8_t> Base64::decode(const std::string& text) {
    std::vector<std::uint8_t> result;
    const std::size_t size = decodedSize(text.data(), text.size());
    result.reserve((text.size() / 4) * 3 + 4);
    result.resize(size);
    decode(text.data(), text.size(), result.data());
    return result;
}

std::size_t Base64::decodedSize(const char* text, std::size_t length) {
    if (length == 0)
        return 0;
    if (length % 4 != 0)
        fail();
    std::size_t padding = 0;
    if (text[length - 1] == '=')
        padding = text[length - 2] == '=' ? 2 : 1;
    return (length / 4) * 3 - padding;
}

void Base64::decode(const char* text, std::size_t length, std::uint8_t* out) {
    if (length == 0)
        return;
    const std::size_t padding = (length / 4) * 3 - decodedSize(text, length);
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const auto& t = decodeTables;
    const std::size_t fullGroups = length / 4 - (padding != 0 ? 1 : 0);
    std::uint32_t bad = 0;
    for (std::size_t g = 0; g < fullGroups; ++g, in += 4, out += 3) {
        const std::uint32_t w = t.d0[in[0]] | t.d1[in[1]] | t.d2[in[2]] | t.d3[in[3]];
        bad |= w;
        out[0] = static_cast<std::uint8_t>(w);
        out[1] = static_cast<std::uint8_t>(w >> 8);
        out[2] = static_cast<std::uint8_t>(w >> 16);
    }
    if (padding == 1) {
        const std::uint32_t w = t.d0[in[0]] | t.d1[in[1]] | t.d2[in[2]];
        bad |= w;
        out[0] = static_cast<std::uint8_t>(w);
        out[1] = static_cast<std::uint8_t>(w >> 8);
    } else if (padding == 2) {
        const std::uint32_t w = t.d0[in[0]] | t.d1[in[1]];
        bad |= w;
        out[0] = static_cast<std::uint8_t>(w);
    }
    // Checked once at the end: the group loop stays branch-free, and the
    // caller throws the partial result away with the exception.
    if (bad & invalid)
        fail();
}

} // namespace base64
} // namespace orvanta
