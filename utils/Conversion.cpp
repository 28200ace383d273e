#include "utils/Conversion.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

// One vector flavour per build, chosen by what the compiler targets. Every
// flavour must give the scalar formulas bit for bit.
#if !defined(ORVANTA_CONVERSION_SCALAR_ONLY)
#if defined(__AVX2__)
#include <immintrin.h>
#define ORVANTA_CONVERSION_AVX2 1
#define ORVANTA_CONVERSION_SSE2 1
#elif defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ORVANTA_CONVERSION_SSE2 1
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#define ORVANTA_CONVERSION_NEON 1
#endif
#endif

namespace orvanta {
namespace conversion {
namespace {

constexpr float shortScale = 32767.0f;
constexpr float intScale = 2147483648.0f; // 2^31
constexpr float intInverse = 0x1p-31f;    // exact

inline short f2s(float x) {
    const float c = math::limit(-1.0f, 1.0f, x);
    if (c != c) // NaN survives the clamp; converting it would be undefined
        return 0;
    return static_cast<short>(c * shortScale);
}

inline int f2i(float x) {
    const float c = math::limit(-1.0f, 1.0f, x);
    if (c != c)
        return 0;
    const float scaled = c * intScale;
    if (scaled >= intScale) // only +1.0 gets here; 2^31 does not fit
        return std::numeric_limits<int>::max();
    return static_cast<int>(scaled);
}

inline float s2f(short s) { return static_cast<float>(s) / shortScale; }

// Loops that may run in place go through memcpy: the same bytes are read as
// one type and written as another, which typed pointer access would not
// allow, and memcpy keeps the compiler from reordering across the overlap.
template <typename T>
inline T loadAt(const void* base, std::size_t index) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(base) + index * sizeof(T), sizeof(T));
    return value;
}

template <typename T>
inline void storeAt(void* base, std::size_t index, T value) {
    std::memcpy(static_cast<unsigned char*>(base) + index * sizeof(T), &value, sizeof(T));
}

inline bool sameAddress(const void* a, const void* b) { return a == b; }

#if defined(ORVANTA_CONVERSION_SSE2)
// NaN lanes are zeroed first: minps/maxps return an operand rather than
// propagating NaN, and cvttps would turn NaN into 0x80000000.
inline __m128i f2sQuad(__m128 x) {
    x = _mm_and_ps(x, _mm_cmpord_ps(x, x));
    x = _mm_max_ps(_mm_min_ps(x, _mm_set1_ps(1.0f)), _mm_set1_ps(-1.0f));
    return _mm_cvttps_epi32(_mm_mul_ps(x, _mm_set1_ps(shortScale)));
}

// Division, not multiplication by a rounded 1/32767: IEEE division is exact
// in every lane, so the vector blocks agree with the scalar tail.
inline __m128 s2fQuad(__m128i widened) { return _mm_div_ps(_mm_cvtepi32_ps(widened), _mm_set1_ps(shortScale)); }

inline __m128i widenLow(__m128i v) { return _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16); }
inline __m128i widenHigh(__m128i v) { return _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16); }
#endif

#if defined(ORVANTA_CONVERSION_AVX2)
inline __m256i f2sOct(__m256 x) {
    x = _mm256_and_ps(x, _mm256_cmp_ps(x, x, _CMP_ORD_Q));
    x = _mm256_max_ps(_mm256_min_ps(x, _mm256_set1_ps(1.0f)), _mm256_set1_ps(-1.0f));
    return _mm256_cvttps_epi32(_mm256_mul_ps(x, _mm256_set1_ps(shortScale)));
}

inline __m256 s2fOct(__m128i shorts) {
    return _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(shorts)), _mm256_set1_ps(shortScale));
}
#endif

#if defined(ORVANTA_CONVERSION_NEON)
inline int32x4_t f2sQuad(float32x4_t x) {
    x = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(x), vceqq_f32(x, x)));
    x = vmaxq_f32(vminq_f32(x, vdupq_n_f32(1.0f)), vdupq_n_f32(-1.0f));
    return vcvtq_s32_f32(vmulq_f32(x, vdupq_n_f32(shortScale)));
}
#if defined(__aarch64__)
#define ORVANTA_CONVERSION_NEON_DIVIDE 1
inline float32x4_t s2fQuad(int16x4_t s) { return vdivq_f32(vcvtq_f32_s32(vmovl_s16(s)), vdupq_n_f32(shortScale)); }
#endif
#endif

} // namespace

int floatToInt(float x) { return f2i(x); }

void floatToInt(const float* in, int* out, unsigned long count) {
    for (std::size_t i = 0; i < count; ++i)
        storeAt<int>(out, i, f2i(loadAt<float>(in, i)));
}

short floatToShortInt(float x) { return f2s(x); }

void normalizeAndConvert(const float* in, short* out, unsigned int count) {
    // Forward is safe in place: item i's two bytes land on input already read.
    for (std::size_t i = 0; i < count; ++i)
        storeAt<short>(out, i, f2s(loadAt<float>(in, i)));
}

void floatToShortInt_Neon(const float* in, short* out, unsigned int count) {
    std::size_t i = 0;
    const std::size_t n = count;
#if defined(ORVANTA_CONVERSION_AVX2)
    for (; i + 16 <= n; i += 16) {
        const __m256i a = f2sOct(_mm256_loadu_ps(in + i));
        const __m256i b = f2sOct(_mm256_loadu_ps(in + i + 8));
        // packs works per 128-bit lane; restore item order across lanes.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
#endif
#if defined(ORVANTA_CONVERSION_SSE2)
    for (; i + 8 <= n; i += 8) {
        const __m128i a = f2sQuad(_mm_loadu_ps(in + i));
        const __m128i b = f2sQuad(_mm_loadu_ps(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a, b));
    }
    if (i + 4 <= n) {
        const __m128i a = f2sQuad(_mm_loadu_ps(in + i));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a, a));
        i += 4;
    }
#elif defined(ORVANTA_CONVERSION_NEON)
    for (; i + 8 <= n; i += 8) {
        const int32x4_t a = f2sQuad(vld1q_f32(in + i));
        const int32x4_t b = f2sQuad(vld1q_f32(in + i + 4));
        vst1q_s16(out + i, vcombine_s16(vqmovn_s32(a), vqmovn_s32(b)));
    }
    if (i + 4 <= n) {
        vst1_s16(out + i, vqmovn_s32(f2sQuad(vld1q_f32(in + i))));
        i += 4;
    }
#endif
    for (; i < n; ++i)
        out[i] = f2s(in[i]);
}

void floatToShortInt(const float* in, short* out, unsigned int count) {
    if (sameAddress(in, out))
        normalizeAndConvert(in, out, count);
    else
        floatToShortInt_Neon(in, out, count);
}

void intToFloat(const int* in, float* out, unsigned long count) {
    for (std::size_t i = 0; i < count; ++i)
        storeAt<float>(out, i, static_cast<float>(loadAt<int>(in, i)) * intInverse);
}

void normalizeAndConvert(const short* in, float* out, unsigned int count) {
    for (std::size_t i = 0; i < count; ++i)
        out[i] = s2f(in[i]);
}

void shortIntToFloat_Neon(const short* in, float* out, unsigned int count) {
    std::size_t i = 0;
    const std::size_t n = count;
#if defined(ORVANTA_CONVERSION_AVX2)
    for (; i + 16 <= n; i += 16) {
        _mm256_storeu_ps(out + i, s2fOct(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i))));
        _mm256_storeu_ps(out + i + 8, s2fOct(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8))));
    }
#endif
#if defined(ORVANTA_CONVERSION_SSE2)
    for (; i + 8 <= n; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_ps(out + i, s2fQuad(widenLow(v)));
        _mm_storeu_ps(out + i + 4, s2fQuad(widenHigh(v)));
    }
    if (i + 4 <= n) {
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_ps(out + i, s2fQuad(widenLow(v)));
        i += 4;
    }
#elif defined(ORVANTA_CONVERSION_NEON_DIVIDE)
    for (; i + 8 <= n; i += 8) {
        const int16x8_t v = vld1q_s16(in + i);
        vst1q_f32(out + i, s2fQuad(vget_low_s16(v)));
        vst1q_f32(out + i + 4, s2fQuad(vget_high_s16(v)));
    }
    if (i + 4 <= n) {
        vst1q_f32(out + i, s2fQuad(vld1_s16(in + i)));
        i += 4;
    }
#endif
    for (; i < n; ++i)
        out[i] = s2f(in[i]);
}

void shortIntToFloat(const short* in, float* out, unsigned int count) {
    if (sameAddress(in, out)) {
        // Widening in place needs a backward walk; going through 32-bit
        // integers first is the established in-place result (clamped).
        shortIntToInt(in, reinterpret_cast<int*>(out), count);
        intToFloat(reinterpret_cast<const int*>(out), out, count);
    } else {
        shortIntToFloat_Neon(in, out, count);
    }
}

void shortIntToInt(const short* in, int* out, unsigned int count) {
    if (sameAddress(in, out)) {
        // Item i's four bytes cover shorts 2i and 2i+1, which a backward walk
        // has already read.
        for (std::size_t i = count; i-- > 0;)
            storeAt<int>(out, i, f2i(s2f(loadAt<short>(in, i))));
    } else {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = f2i(s2f(in[i]));
    }
}

const char* vectorPath() {
#if defined(ORVANTA_CONVERSION_AVX2)
    return "avx2";
#elif defined(ORVANTA_CONVERSION_SSE2)
    return "sse2";
#elif defined(ORVANTA_CONVERSION_NEON)
    return "neon";
#else
    return "scalar";
#endif
}

} // namespace conversion
} // namespace orvanta
