#include "utils/Conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

// Built three times: against the library (the default vector path), and with
// utils/Conversion.cpp compiled in for AVX2 and for the scalar-only fallback.
// Every path is held to the reference formulas below, written here rather
// than taken from the library so that a fault in its scalar code shows too.

namespace conv = orvanta::conversion;

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
constexpr std::uint32_t guard = 0xdeadbeef;

float clamp1(float x) { return x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x); }
short refF2S(float x) { return std::isnan(x) ? 0 : static_cast<short>(clamp1(x) * 32767.0f); }
int refF2I(float x) {
    if (std::isnan(x))
        return 0;
    const float scaled = clamp1(x) * 2147483648.0f;
    return scaled >= 2147483648.0f ? std::numeric_limits<int>::max() : static_cast<int>(scaled);
}
float refS2F(short s) { return static_cast<float>(s) / 32767.0f; }
float refS2FInPlace(short s) { return static_cast<float>(refF2I(refS2F(s))) * 0x1p-31f; }

using F2S = void (*)(const float*, short*, unsigned int);
using S2F = void (*)(const short*, float*, unsigned int);
const F2S f2sPaths[] = {static_cast<F2S>(conv::normalizeAndConvert), conv::floatToShortInt_Neon,
                        static_cast<F2S>(conv::floatToShortInt)};
const S2F s2fPaths[] = {static_cast<S2F>(conv::normalizeAndConvert), conv::shortIntToFloat_Neon, conv::shortIntToFloat};

// True when bytes [from, to) of `mem` still hold the guard pattern.
bool guarded(const std::vector<std::uint32_t>& mem, std::size_t from, std::size_t to) {
    const std::vector<std::uint32_t> pristine(mem.size(), guard);
    return std::memcmp(reinterpret_cast<const char*>(mem.data()) + from,
                       reinterpret_cast<const char*>(pristine.data()) + from, to - from) == 0;
}

template <typename T>
T itemAt(const void* base, std::size_t k) {
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + k * sizeof(T), sizeof value);
    return value;
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

// Pins the reference formulas (and the library's) to numbers.
TEST(Conversion, FormulasAtTheirEdges) {
    EXPECT_EQ(orvanta::math::limit<short>(-5, 5, -9), -5);
    EXPECT_EQ(orvanta::math::limit(-1.0f, 1.0f, 3.0f), 1.0f);
    EXPECT_TRUE(std::isnan(orvanta::math::limit(-1.0f, 1.0f, qnan)));
    const std::pair<float, short> f2s[] = {{1.0f, 32767},     {-1.0f, -32767}, {1.5f, 32767},  {-1.5f, -32767},
                                           {-0.0f, 0},        {0.99999f, 32766}, {qnan, 0},    {inf, 32767},
                                           {-inf, -32767},    {0.5f, 16383},   {-0.5f, -16383}};
    for (const auto& [x, s] : f2s) {
        EXPECT_EQ(conv::floatToShortInt(x), s) << x;
        EXPECT_EQ(refF2S(x), s) << x;
    }
    const std::pair<float, int> f2i[] = {{1.0f, 2147483647}, {7.0f, 2147483647}, {-1.0f, std::numeric_limits<int>::min()},
                                         {0.5f, 1073741824}, {qnan, 0}};
    for (const auto& [x, i] : f2i) {
        EXPECT_EQ(conv::floatToInt(x), i) << x;
        EXPECT_EQ(refF2I(x), i) << x;
    }
    const short s[4] = {32767, 0, -32768, -32767};
    float f[4];
    conv::shortIntToFloat(s, f, 4);
    EXPECT_EQ(f[0], 1.0f);
    EXPECT_EQ(bitsOf(f[1]), 0u);
    EXPECT_LT(f[2], -1.0f); // not clamped out of place
    EXPECT_EQ(f[3], -1.0f);
    const int ints[3] = {std::numeric_limits<int>::min(), 1 << 30, -(1 << 29)};
    conv::intToFloat(ints, f, 3);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.5f);
    EXPECT_EQ(f[2], -0.25f);
}

TEST(Conversion, EveryShortOnEveryPathAndInPlace) {
    std::vector<short> all;
    for (int v = -32768; v <= 32767; ++v)
        all.push_back(static_cast<short>(v));
    const auto n = static_cast<unsigned int>(all.size());
    for (S2F path : s2fPaths) {
        std::vector<float> out(n);
        path(all.data(), out.data(), n);
        for (std::size_t k = 0; k < n; ++k)
            ASSERT_EQ(bitsOf(out[k]), bitsOf(refS2F(all[k]))) << all[k];
    }
    // In place the shorts sit at the start of memory that holds n floats/ints.
    std::vector<float> inPlace(n);
    std::memcpy(inPlace.data(), all.data(), n * sizeof(short));
    conv::shortIntToFloat(reinterpret_cast<const short*>(inPlace.data()), inPlace.data(), n);
    std::vector<int> ints(n), intsInPlace(n);
    conv::shortIntToInt(all.data(), ints.data(), n);
    std::memcpy(intsInPlace.data(), all.data(), n * sizeof(short));
    conv::shortIntToInt(reinterpret_cast<const short*>(intsInPlace.data()), intsInPlace.data(), n);
    for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(bitsOf(inPlace[k]), bitsOf(refS2FInPlace(all[k]))) << all[k];
        ASSERT_EQ(ints[k], refF2I(refS2F(all[k]))) << all[k];
        ASSERT_EQ(intsInPlace[k], ints[k]) << all[k];
    }
    EXPECT_EQ(inPlace.front(), -1.0f); // in place the result is clamped
}

TEST(Conversion, AwkwardFloatsOnEveryPathAndInPlace) {
    std::vector<float> in = {0.0f, -0.0f, 1.0f, -1.0f, inf, -inf, qnan, -qnan, floatFromBits(0x7fa00001),
                             floatFromBits(0xffc12345), std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest(),
                             std::nextafter(1.0f, 2.0f), std::nextafter(-1.0f, 0.0f), 3e9f, -3e9f};
    // Around every truncation step near the ends of the range and zero.
    for (int k : {1, 2, 16383, 16384, 32766, 32767})
        for (float x : {k / 32767.0f, std::nextafter(k / 32767.0f, 0.0f), std::nextafter(k / 32767.0f, 2.0f)})
            in.insert(in.end(), {x, -x});
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> nominal(-2.0f, 2.0f);
    for (int i = 0; i < 100000; ++i)
        in.insert(in.end(), {nominal(rng), floatFromBits(static_cast<std::uint32_t>(rng()))});
    const auto n = static_cast<unsigned int>(in.size());
    for (F2S path : f2sPaths) {
        std::vector<short> out(n);
        path(in.data(), out.data(), n);
        for (std::size_t k = 0; k < n; ++k)
            ASSERT_EQ(out[k], refF2S(in[k])) << "bits 0x" << std::hex << bitsOf(in[k]);
    }
    std::vector<float> inPlace = in;
    conv::floatToShortInt(inPlace.data(), reinterpret_cast<short*>(inPlace.data()), n);
    std::vector<int> ints(in.size());
    conv::floatToInt(in.data(), ints.data(), n);
    for (std::size_t k = 0; k < n; ++k) {
        short got;
        std::memcpy(&got, reinterpret_cast<const char*>(inPlace.data()) + k * sizeof(short), sizeof got);
        ASSERT_EQ(got, refF2S(in[k])) << "bits 0x" << std::hex << bitsOf(in[k]);
        ASSERT_EQ(ints[k], refF2I(in[k])) << "bits 0x" << std::hex << bitsOf(in[k]);
    }
}

// Every count 0..33 at two alignments covers the 16-, 8- and 4-item blocks
// and every tail: each item converted, nothing outside [0, count) written.
TEST(Conversion, ArraysOfEveryShortLengthStopAtCount) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.2f, 1.2f);
    for (unsigned int offset = 0; offset < 2; ++offset) {
        for (unsigned int count = 0; count <= 33; ++count) {
            SCOPED_TRACE("count " + std::to_string(count) + " offset " + std::to_string(offset));
            std::vector<float> floats(offset + count);
            std::vector<short> shorts(offset + count);
            for (unsigned int k = offset; k < offset + count; ++k) {
                floats[k] = dist(rng);
                shorts[k] = static_cast<short>(dist(rng) * 30000.0f);
            }
            const float* fin = floats.data() + offset;
            const short* sin = shorts.data() + offset;
            const std::size_t bytes = (offset + count + 4) * 4;
            for (F2S path : f2sPaths) {
                std::vector<std::uint32_t> mem(bytes / 4, guard);
                path(fin, reinterpret_cast<short*>(mem.data()) + offset, count);
                for (unsigned int k = 0; k < count; ++k)
                    ASSERT_EQ(itemAt<short>(mem.data(), offset + k), refF2S(fin[k])) << k;
                EXPECT_TRUE(guarded(mem, 0, offset * 2));
                EXPECT_TRUE(guarded(mem, (offset + count) * 2, bytes));
            }
            for (S2F path : s2fPaths) {
                std::vector<std::uint32_t> mem(bytes / 4, guard);
                path(sin, reinterpret_cast<float*>(mem.data()) + offset, count);
                for (unsigned int k = 0; k < count; ++k)
                    ASSERT_EQ(mem[offset + k], bitsOf(refS2F(sin[k]))) << k;
                EXPECT_TRUE(guarded(mem, 0, offset * 4));
                EXPECT_TRUE(guarded(mem, (offset + count) * 4, bytes));
            }
            // In place, both directions: only the first `count` items change.
            std::vector<std::uint32_t> mem(bytes / 4, guard);
            std::memcpy(mem.data(), sin, count * sizeof(short));
            conv::shortIntToFloat(reinterpret_cast<const short*>(mem.data()), reinterpret_cast<float*>(mem.data()), count);
            for (unsigned int k = 0; k < count; ++k)
                ASSERT_EQ(mem[k], bitsOf(refS2FInPlace(sin[k]))) << k;
            EXPECT_TRUE(guarded(mem, count * 4, bytes));
            std::fill(mem.begin(), mem.end(), guard);
            std::memcpy(mem.data(), fin, count * sizeof(float));
            float* f = reinterpret_cast<float*>(mem.data());
            conv::floatToShortInt(f, reinterpret_cast<short*>(f), count);
            for (unsigned int k = 0; k < count; ++k)
                ASSERT_EQ(itemAt<short>(mem.data(), k), refF2S(fin[k])) << k;
            EXPECT_TRUE(guarded(mem, count * 4, bytes));
        }
    }
}
