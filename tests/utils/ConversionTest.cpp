#include "utils/Conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

// Built three times: against the library (the default vector path), and
// with utils/Conversion.cpp compiled in directly for AVX2 and for the
// scalar-only fallback, so every vector flavour this machine can run is held
// to the same scalar formulas.

namespace conv = orvanta::conversion;
using orvanta::math::limit;

namespace {

std::uint32_t bitsOf(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float floatFromBits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float qnan = std::numeric_limits<float>::quiet_NaN();
constexpr short guardShort = 0x5a5a;
constexpr std::uint32_t guardBits = 0xdeadbeef;

// The scalar single-item functions define every array result.
float s2f(short s) { return static_cast<float>(s) / 32767.0f; }
float s2fInPlace(short s) { return static_cast<float>(conv::floatToInt(s2f(s))) * 0x1p-31f; }

std::vector<float> interestingFloats() {
    std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 1.5f, -1.5f, inf, -inf, qnan, -qnan,
                            floatFromBits(0x7fa00001), // signalling NaN with payload
                            floatFromBits(0xffc12345), std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min(), floatFromBits(0x007fffff),
                            std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::lowest(), 0.99999f, 0.5f, -0.5f,
                            std::nextafter(1.0f, 0.0f), std::nextafter(-1.0f, 0.0f), std::nextafter(1.0f, 2.0f),
                            1.0f / 32767.0f, -1.0f / 32767.0f, 3e9f, -3e9f};
    // Around every truncation step near the ends of the range and zero.
    for (int k : {1, 2, 3, 16383, 16384, 32765, 32766, 32767}) {
        const float f = static_cast<float>(k) / 32767.0f;
        for (float x : {f, std::nextafter(f, 0.0f), std::nextafter(f, 2.0f)}) {
            v.push_back(x);
            v.push_back(-x);
        }
    }
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> nominal(-2.0f, 2.0f);
    std::uniform_int_distribution<std::uint32_t> anyBits;
    for (int i = 0; i < 200000; ++i) {
        v.push_back(nominal(rng));
        v.push_back(floatFromBits(anyBits(rng)));
    }
    return v;
}

#if defined(__AVX2__) && (defined(__GNUC__) || defined(__clang__))
struct RequireAvx2 : ::testing::Environment {
    void SetUp() override {
        if (!__builtin_cpu_supports("avx2"))
            GTEST_SKIP() << "this CPU has no AVX2";
    }
};
const auto* const requireAvx2 = ::testing::AddGlobalTestEnvironment(new RequireAvx2);
#endif

} // namespace

TEST(Conversion, VectorPathIsTheOneThisBuildAskedFor) {
    EXPECT_STREQ(conv::vectorPath(), ORVANTA_EXPECTED_VECTOR_PATH);
}

TEST(Conversion, ScalarFormulasAtTheirEdges) {
    EXPECT_EQ(limit(-1.0f, 1.0f, -1.0f), -1.0f);
    EXPECT_EQ(limit(-1.0f, 1.0f, 1.0f), 1.0f);
    EXPECT_EQ(limit(-1.0f, 1.0f, 3.0f), 1.0f);
    EXPECT_EQ(limit<short>(-5, 5, -9), -5);
    EXPECT_TRUE(std::isnan(limit(-1.0f, 1.0f, qnan)));

    const std::pair<float, short> f2s[] = {{1.0f, 32767},  {-1.0f, -32767}, {1.5f, 32767}, {-1.5f, -32767},
                                           {-0.0f, 0},     {0.99999f, 32766}, {qnan, 0},    {inf, 32767},
                                           {-inf, -32767}, {0.5f, 16383},   {-0.5f, -16383}};
    for (const auto& [x, s] : f2s)
        EXPECT_EQ(conv::floatToShortInt(x), s) << x;

    EXPECT_EQ(conv::floatToInt(1.0f), 2147483647);
    EXPECT_EQ(conv::floatToInt(-1.0f), std::numeric_limits<int>::min());
    EXPECT_EQ(conv::floatToInt(0.5f), 1073741824);
    EXPECT_EQ(conv::floatToInt(qnan), 0);
    EXPECT_EQ(conv::floatToInt(7.0f), 2147483647);

    const short s[4] = {32767, 0, -32768, -32767};
    float f[4];
    conv::shortIntToFloat(s, f, 4);
    EXPECT_EQ(f[0], 1.0f);
    EXPECT_EQ(bitsOf(f[1]), 0u);
    EXPECT_LT(f[2], -1.0f);
    EXPECT_EQ(f[3], -1.0f);

    int i[4];
    conv::shortIntToInt(s, i, 4);
    EXPECT_EQ(i[0], 2147483647);
    EXPECT_EQ(i[1], 0);
    EXPECT_EQ(i[2], std::numeric_limits<int>::min());
    EXPECT_EQ(i[3], std::numeric_limits<int>::min());

    const int ints[3] = {std::numeric_limits<int>::min(), 1 << 30, 0};
    conv::intToFloat(ints, f, 3);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.5f);
    EXPECT_EQ(f[2], 0.0f);
}

TEST(Conversion, EveryShortConvertsExactlyOnEveryPath) {
    std::vector<short> all;
    for (int v = -32768; v <= 32767; ++v)
        all.push_back(static_cast<short>(v));
    const auto n = static_cast<unsigned int>(all.size());

    std::vector<float> viaScalar(n), viaVector(n), viaDispatch(n);
    conv::normalizeAndConvert(all.data(), viaScalar.data(), n);
    conv::shortIntToFloat_Neon(all.data(), viaVector.data(), n);
    conv::shortIntToFloat(all.data(), viaDispatch.data(), n);

    // In place: the shorts sit at the start of memory that holds n floats.
    std::vector<float> inPlace(n);
    std::memcpy(inPlace.data(), all.data(), n * sizeof(short));
    conv::shortIntToFloat(reinterpret_cast<const short*>(inPlace.data()), inPlace.data(), n);

    std::vector<int> ints(n), intsInPlace(n);
    conv::shortIntToInt(all.data(), ints.data(), n);
    std::memcpy(intsInPlace.data(), all.data(), n * sizeof(short));
    conv::shortIntToInt(reinterpret_cast<const short*>(intsInPlace.data()), intsInPlace.data(), n);

    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t expected = bitsOf(s2f(all[k]));
        ASSERT_EQ(bitsOf(viaScalar[k]), expected) << all[k];
        ASSERT_EQ(bitsOf(viaVector[k]), expected) << all[k];
        ASSERT_EQ(bitsOf(viaDispatch[k]), expected) << all[k];
        ASSERT_EQ(bitsOf(inPlace[k]), bitsOf(s2fInPlace(all[k]))) << all[k];
        ASSERT_EQ(ints[k], conv::floatToInt(s2f(all[k]))) << all[k];
        ASSERT_EQ(intsInPlace[k], ints[k]) << all[k];
    }
    EXPECT_EQ(inPlace.front(), -1.0f); // in place the result is clamped
    EXPECT_EQ(inPlace.back(), 1.0f);
}

TEST(Conversion, AwkwardFloatsGiveTheScalarResultOnEveryPath) {
    const std::vector<float> in = interestingFloats();
    const auto n = static_cast<unsigned int>(in.size());
    std::vector<short> viaScalar(n), viaVector(n), viaDispatch(n);
    conv::normalizeAndConvert(in.data(), viaScalar.data(), n);
    conv::floatToShortInt_Neon(in.data(), viaVector.data(), n);
    conv::floatToShortInt(in.data(), viaDispatch.data(), n);
    std::vector<float> inPlace = in;
    conv::floatToShortInt(inPlace.data(), reinterpret_cast<short*>(inPlace.data()), n);
    std::vector<short> inPlaceShorts(n);
    std::memcpy(inPlaceShorts.data(), inPlace.data(), n * sizeof(short));

    std::vector<int> ints(n);
    conv::floatToInt(in.data(), ints.data(), n);

    for (std::size_t k = 0; k < n; ++k) {
        const short expected = conv::floatToShortInt(in[k]);
        ASSERT_EQ(viaScalar[k], expected) << "bits 0x" << std::hex << bitsOf(in[k]);
        ASSERT_EQ(viaVector[k], expected) << "bits 0x" << std::hex << bitsOf(in[k]);
        ASSERT_EQ(viaDispatch[k], expected) << "bits 0x" << std::hex << bitsOf(in[k]);
        ASSERT_EQ(inPlaceShorts[k], expected) << "bits 0x" << std::hex << bitsOf(in[k]);
        ASSERT_EQ(ints[k], conv::floatToInt(in[k])) << "bits 0x" << std::hex << bitsOf(in[k]);
    }
}

// Every count 0..33 at two alignments: each item converted, nothing past
// `count` touched. Covers the 16-, 8- and 4-item blocks and every tail.
TEST(Conversion, ArraysOfEveryShortLengthStopAtCount) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.2f, 1.2f);
    for (unsigned int offset = 0; offset < 2; ++offset) {
        for (unsigned int count = 0; count <= 33; ++count) {
            SCOPED_TRACE("count " + std::to_string(count) + " offset " + std::to_string(offset));
            std::vector<float> floats(offset + count + 8);
            std::vector<short> shorts(offset + count + 8);
            for (auto& f : floats)
                f = dist(rng);
            for (auto& s : shorts)
                s = static_cast<short>(dist(rng) * 30000.0f);
            const float* fin = floats.data() + offset;
            const short* sin = shorts.data() + offset;

            using F2S = void (*)(const float*, short*, unsigned int);
            for (F2S f2s : {static_cast<F2S>(conv::normalizeAndConvert), static_cast<F2S>(conv::floatToShortInt_Neon),
                            static_cast<F2S>(conv::floatToShortInt)}) {
                std::vector<short> out(offset + count + 8, guardShort);
                f2s(fin, out.data() + offset, count);
                for (unsigned int k = 0; k < offset; ++k)
                    ASSERT_EQ(out[k], guardShort);
                for (unsigned int k = 0; k < count; ++k)
                    ASSERT_EQ(out[offset + k], conv::floatToShortInt(fin[k])) << k;
                for (unsigned int k = offset + count; k < out.size(); ++k)
                    ASSERT_EQ(out[k], guardShort) << k;
            }

            using S2F = void (*)(const short*, float*, unsigned int);
            for (S2F s2fArray : {static_cast<S2F>(conv::normalizeAndConvert), static_cast<S2F>(conv::shortIntToFloat_Neon),
                                 static_cast<S2F>(conv::shortIntToFloat)}) {
                std::vector<float> out(offset + count + 8, floatFromBits(guardBits));
                s2fArray(sin, out.data() + offset, count);
                for (unsigned int k = 0; k < count; ++k)
                    ASSERT_EQ(bitsOf(out[offset + k]), bitsOf(s2f(sin[k]))) << k;
                for (unsigned int k = offset + count; k < out.size(); ++k)
                    ASSERT_EQ(bitsOf(out[k]), guardBits) << k;
            }

            // In place, both directions: only the first `count` floats of
            // memory may change.
            std::vector<float> mem(count + 4, floatFromBits(guardBits));
            std::memcpy(mem.data(), sin, count * sizeof(short));
            conv::shortIntToFloat(reinterpret_cast<const short*>(mem.data()), mem.data(), count);
            for (unsigned int k = 0; k < count; ++k)
                ASSERT_EQ(bitsOf(mem[k]), bitsOf(s2fInPlace(sin[k]))) << k;
            for (unsigned int k = count; k < mem.size(); ++k)
                ASSERT_EQ(bitsOf(mem[k]), guardBits) << k;

            std::vector<float> fmem(fin, fin + count);
            fmem.resize(count + 4, floatFromBits(guardBits));
            conv::floatToShortInt(fmem.data(), reinterpret_cast<short*>(fmem.data()), count);
            for (unsigned int k = 0; k < count; ++k) {
                short got;
                std::memcpy(&got, reinterpret_cast<const unsigned char*>(fmem.data()) + k * sizeof(short), sizeof got);
                ASSERT_EQ(got, conv::floatToShortInt(fin[k])) << k;
            }
            for (unsigned int k = count; k < fmem.size(); ++k)
                ASSERT_EQ(bitsOf(fmem[k]), guardBits) << k;
        }
    }
}
