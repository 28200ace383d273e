#include "utils/Base64.h"
#include "utils/SHA1Hash.h"

#include <gmock/gmock.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using orvanta::base64::Base64;
using orvanta::sha1::SHA1Hash;
using testing::ThrowsMessage;

TEST(Base64, KnownVectorsAndRandomDataOfEveryLengthRoundTrip) {
    // RFC 4648 section 10, plus the last two alphabet characters and zeros.
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {std::string("\xfb\xff\xbf", 3), "+/+/"}, {std::string("\0\0\0", 3), "AAAA"}};
    for (const auto& [plain, text] : vectors) {
        EXPECT_EQ(Base64::encode(plain), text);
        EXPECT_EQ(Base64::decode(text), std::vector<std::uint8_t>(plain.begin(), plain.end()));
    }
    // Long enough for the encoder's eight-byte blocks; every length pads differently and must decode back.
    std::mt19937 rng(1234);
    for (std::size_t length = 0; length <= 300; ++length) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        const std::string text = Base64::encode(data);
        ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
        ASSERT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        const auto padding = text.size() - text.find_last_not_of('=') - 1;
        ASSERT_EQ(padding, length == 0 ? 0 : (3 - length % 3) % 3) << length;
        ASSERT_EQ(Base64::decode(text), data) << "length " << length;
    }
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(Base64::encode(all).substr(0, 24), "AAECAwQFBgcICQoLDA0ODxAR");
    EXPECT_EQ(Base64::encode(all).substr(332), "+fr7/P3+/w==");
}

TEST(Base64, MalformedTextThrowsTheExactMessage) {
    std::vector<std::string> bad = {"A", "AB", "ABC", "ABCDE", "Zm9vYg=", "Zm9vYg", "====", "A===", "=AAA", "A=AA",
                                    "AB=C", "Zg==Zm9v", "Zm8=Zm9v", "Zm9v====", "Z=g=", "Zm9v\r\nYmFy"};
    // A foreign character in every position of a full group and a padded one.
    for (char c : {' ', '\n', '\r', '\t', '-', '_', '.', '*', '\0', '\x80', '\xff'}) {
        for (std::size_t pos = 0; pos < 8; ++pos)
            bad.push_back(std::string("Zm9vYmFy").replace(pos, 1, 1, c));
        bad.push_back(std::string("Zg") + c + "=");
        bad.push_back(std::string("Z") + c + "==");
    }
    for (const auto& text : bad)
        EXPECT_THAT([&] { Base64::decode(text); }, ThrowsMessage<std::runtime_error>("Failed to decode Base64 string."))
            << text;
}

// The digest is the platform's; the hex text is ours (the accept key's bytes are the handshake tests').
TEST(SHA1Hash, DigestAsLowerCaseHex) {
    EXPECT_EQ(SHA1Hash::sha1ToString(SHA1Hash::hash("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
}
