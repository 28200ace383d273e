#include "utils/Base64.h"
#include "utils/SHA1Hash.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using orvanta::base64::Base64;
using orvanta::sha1::SHA1Hash;

namespace {

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

void expectDecodeFailure(const std::string& text) {
    try {
        Base64::decode(text);
        ADD_FAILURE() << "decoded without error: \"" << text << "\"";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to decode Base64 string.") << "input \"" << text << "\"";
    }
}

} // namespace

TEST(Base64, KnownVectors) {
    // RFC 4648 section 10, plus every byte value once.
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {std::string("\xfb\xff\xbf", 3), "+/+/"}, {std::string("\0\0\0", 3), "AAAA"}};
    for (const auto& [plain, text] : vectors) {
        EXPECT_EQ(Base64::encode(plain), text);
        EXPECT_EQ(Base64::encode(bytes(plain)), text);
        EXPECT_EQ(Base64::decode(text), bytes(plain));
    }
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    const std::string allText = Base64::encode(all);
    EXPECT_EQ(allText.substr(0, 24), "AAECAwQFBgcICQoLDA0ODxAR");
    EXPECT_EQ(allText.substr(allText.size() - 12), "+fr7/P3+/w==");
}

TEST(Base64, RoundTripsRandomDataOfEveryLength) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t length = 0; length <= 300; ++length) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(byte(rng));
        const std::string text = Base64::encode(data);
        ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
        ASSERT_EQ(text.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        const auto padding = text.size() - text.find_last_not_of('=') - 1;
        ASSERT_EQ(padding, length == 0 ? text.size() : (3 - length % 3) % 3) << length;
        ASSERT_EQ(Base64::decode(text), data) << "length " << length;
    }
}

TEST(Base64, MalformedTextThrowsTheExactMessage) {
    for (const char* text : {"A", "AB", "ABC", "ABCDE", "Zm9vYg=", "Zm9vYg"})
        expectDecodeFailure(text);
    // Padding anywhere but the end of the last group, or too much of it.
    for (const char* text : {"====", "A===", "=AAA", "A=AA", "AB=C", "Zg==Zm9v", "Zm8=Zm9v", "Zm9v====", "Z=g="})
        expectDecodeFailure(text);
    // Whitespace, line breaks, URL-safe and other foreign characters, in any
    // position of a full or padded group.
    const std::string valid = "Zm9vYmFy";
    for (char bad : {' ', '\n', '\r', '\t', '-', '_', '.', '*', '\0', '\x80', '\xff'}) {
        for (std::size_t pos = 0; pos < valid.size(); ++pos) {
            std::string text = valid;
            text[pos] = bad;
            expectDecodeFailure(text);
        }
        expectDecodeFailure(std::string("Zg") + bad + "=");
        expectDecodeFailure(std::string("Z") + bad + "==");
    }
    expectDecodeFailure("Zm9v\r\nYmFy");
    EXPECT_TRUE(Base64::decode("").empty());
}

TEST(SHA1Hash, MatchesFipsVectorsAndPrintsLowerCaseHex) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
    for (const auto& [message, hex] : vectors) {
        const auto digest = SHA1Hash::hash(message);
        ASSERT_EQ(digest.size(), 20u);
        EXPECT_EQ(SHA1Hash::sha1ToString(digest), hex);
    }
    // The WebSocket accept key example of RFC 6455 section 1.3.
    EXPECT_EQ(Base64::encode(SHA1Hash::hash("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(SHA1Hash::sha1ToString({}), "");
    EXPECT_EQ(SHA1Hash::sha1ToString({0x0f, 0x00, 0xa0, 0xff}), "0f00a0ff");
}
