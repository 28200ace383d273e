#include "utils/Conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

// Built three times: against the library (the default vector path), and with utils/Conversion.cpp compiled in for
// AVX2 and for the scalar-only fallback. Every path is held to the reference formulas below, written here rather
// than taken from the library so that a fault in its scalar code shows too.

namespace conv = orvanta::conversion;

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float qnan = std::numeric_limits<float>::quiet_NaN();
constexpr int intMin = std::numeric_limits<int>::min();

float fromBits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

float clamp1(float x) { return x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x); }
short refF2S(float x) { return std::isnan(x) ? 0 : static_cast<short>(clamp1(x) * 32767.0f); }
int refF2I(float x) {
    const float scaled = clamp1(x) * 2147483648.0f;
    return std::isnan(x) ? 0 : (scaled >= 2147483648.0f ? std::numeric_limits<int>::max() : static_cast<int>(scaled));
}
float refI2F(int i) { return static_cast<float>(i) * 0x1p-31f; }
float refS2F(short s) { return static_cast<float>(s) / 32767.0f; }
int refS2I(short s) { return refF2I(refS2F(s)); }
float refS2FInPlace(short s) { return refI2F(refS2I(s)); }

// Runs `convert` on `count` items with the output `offset` items into guarded memory (in place: the input copied
// there first) and checks each item bit for bit against `ref`, and that no byte outside the items changed.
template <typename In, typename Out, typename Count, typename Ref>
void check(void (*convert)(const In*, Out*, Count), const In* in, std::size_t count, std::size_t offset, bool inPlace,
           Ref ref) {
    const std::size_t begin = offset * sizeof(Out);
    const std::size_t end = begin + count * (inPlace ? std::max(sizeof(In), sizeof(Out)) : sizeof(Out));
    std::vector<unsigned char> mem(end + 64, 0xa5);
    const std::vector<unsigned char> pristine = mem;
    unsigned char* at = mem.data() + begin;
    if (inPlace)
        std::memcpy(at, in, count * sizeof(In));
    convert(inPlace ? reinterpret_cast<const In*>(at) : in, reinterpret_cast<Out*>(at), static_cast<Count>(count));
    for (std::size_t k = 0; k < count; ++k) {
        Out got;
        std::memcpy(&got, at + k * sizeof(Out), sizeof got);
        const Out want = ref(in[k]);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "item " << k << " of " << count << ": " << +got
                                                            << " instead of " << +want << " for " << +in[k];
    }
    ASSERT_EQ(std::memcmp(mem.data(), pristine.data(), begin), 0) << "written before the output";
    ASSERT_EQ(std::memcmp(mem.data() + end, pristine.data() + end, mem.size() - end), 0) << "written past count";
}

using F2S = void (*)(const float*, short*, unsigned int);
using S2F = void (*)(const short*, float*, unsigned int);

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

// Pins the reference formulas (and the library's scalar ones) to numbers,
// then holds every path of this build to them.
TEST(Conversion, EveryPathGivesTheFormulasAndWritesOnlyItsItems) {
    EXPECT_STREQ(conv::vectorPath(), ORVANTA_EXPECTED_VECTOR_PATH);
    const std::pair<float, short> f2s[] = {{1.0f, 32767}, {-1.0f, -32767}, {1.5f, 32767},     {-1.5f, -32767},
                                           {-0.0f, 0},    {qnan, 0},       {0.99999f, 32766}, {inf, 32767},
                                           {-inf, -32767}, {0.5f, 16383},  {-0.5f, -16383}};
    for (const auto& [x, s] : f2s)
        EXPECT_EQ(std::make_pair(conv::floatToShortInt(x), refF2S(x)), std::make_pair(s, s)) << x;
    const std::pair<float, int> f2i[] = {{1.0f, 2147483647}, {7.0f, 2147483647}, {-1.0f, intMin}, {0.5f, 1 << 30}, {qnan, 0}};
    for (const auto& [x, i] : f2i)
        EXPECT_EQ(std::make_pair(conv::floatToInt(x), refF2I(x)), std::make_pair(i, i)) << x;
    const std::vector<float> pinned = {refS2F(32767), refS2F(-32767), refS2FInPlace(-32768), refI2F(intMin),
                                       refI2F(-(1 << 29))};
    EXPECT_EQ(pinned, (std::vector<float>{1.0f, -1.0f, -1.0f, -1.0f, -0.25f}));
    EXPECT_LT(refS2F(-32768), -1.0f); // not clamped out of place

    // Every short, awkward and random floats (NaNs, infinities, denormals, each truncation step near the ends),
    // every count 0..33 (the 16-, 8- and 4-item blocks and every tail) at two alignments, in place and not.
    std::vector<short> shorts;
    for (int v = -32768; v <= 32767; ++v)
        shorts.push_back(static_cast<short>(v));
    std::vector<float> floats = {0.0f, -0.0f, 1.0f, -1.0f, inf, -inf, qnan, -qnan, 3e9f, -3e9f,
                                 std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::lowest(), std::nextafter(1.0f, 2.0f)};
    floats.insert(floats.end(), {fromBits(0x7fa00001), fromBits(0xffc12345)}); // signalling NaN, negative quiet NaN
    for (int k : {1, 2, 16383, 16384, 32766, 32767})
        for (float x : {k / 32767.0f, std::nextafter(k / 32767.0f, 0.0f), std::nextafter(k / 32767.0f, 2.0f)})
            floats.insert(floats.end(), {x, -x});
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> nominal(-2.0f, 2.0f);
    std::vector<int> ints = {intMin, std::numeric_limits<int>::max(), 0, -1, 1 << 30};
    for (int i = 0; i < 100000; ++i) {
        floats.insert(floats.end(), {nominal(rng), fromBits(static_cast<std::uint32_t>(rng()))});
        ints.push_back(static_cast<int>(rng()));
    }
    const F2S f2sPaths[] = {conv::normalizeAndConvert, conv::floatToShortInt_Neon, conv::floatToShortInt};
    const S2F s2fPaths[] = {conv::normalizeAndConvert, conv::shortIntToFloat_Neon, conv::shortIntToFloat};
    for (std::size_t count = 0; count <= 34; ++count) {
        const std::size_t n = count <= 33 ? count : shorts.size(); // 34: the whole arrays
        const std::size_t nf = count <= 33 ? count : floats.size();
        for (std::size_t offset : {0, 1}) {
            SCOPED_TRACE("count " + std::to_string(count) + " offset " + std::to_string(offset));
            for (F2S path : f2sPaths)
                check(path, floats.data(), nf, offset, false, refF2S);
            for (S2F path : s2fPaths)
                check(path, shorts.data(), n, offset, false, refS2F);
            check(conv::floatToInt, floats.data(), nf, offset, false, refF2I);
            check(conv::intToFloat, ints.data(), std::min(nf, ints.size()), offset, false, refI2F);
            check(conv::shortIntToInt, shorts.data(), n, offset, false, refS2I);
            check(static_cast<F2S>(conv::floatToShortInt), floats.data(), nf, offset, true, refF2S);
            check(conv::floatToInt, floats.data(), nf, offset, true, refF2I);
            check(conv::intToFloat, ints.data(), std::min(nf, ints.size()), offset, true, refI2F);
            check(conv::shortIntToFloat, shorts.data(), n, offset, true, refS2FInPlace);
            check(conv::shortIntToInt, shorts.data(), n, offset, true, refS2I);
        }
    }
}
