#pragma once

namespace orvanta {

namespace math {

// Clamp with the arguments in the order minimum, maximum, value. A NaN value
// comes back unchanged (both comparisons are false).
template <typename T>
constexpr T limit(T min, T max, T value) {
    return value < min ? min : (value > max ? max : value);
}

} // namespace math

// Sample conversions between the host's float form (nominal -1 .. 1) and
// 16-bit / 32-bit integers. The per-item results (the "formulas"):
//   F2S(x): clamp to -1 .. 1, times 32767.0f, truncate; NaN -> 0.
//   F2I(x): clamp to -1 .. 1, times 2^31, truncate, saturate; NaN -> 0.
//   I2F(i): float(i) times 2^-31; no clamping.
//   S2F(s): float(s) / 32767.0f; no clamping (-32768 -> about -1.0000305).
//   S2I(s): F2I(S2F(s)).
// Every array path, vector or scalar, gives exactly these values bit for bit.
//
// All functions are real-time safe (no allocation, lock, log or exception)
// and may run on any thread, the audio thread included. Output arrays hold
// `count` items and nothing past them is written. Input and output overlap
// only where a function says "in place", and then at the same address.
namespace conversion {

int floatToInt(float x);                                                // F2I
void floatToInt(const float* in, int* out, unsigned long count);        // F2I, in place allowed

short floatToShortInt(float x);                                         // F2S
void normalizeAndConvert(const float* in, short* out, unsigned int count);  // F2S, scalar loop; in place allowed
void floatToShortInt_Neon(const float* in, short* out, unsigned int count); // F2S, vector blocks + scalar tail
void floatToShortInt(const float* in, short* out, unsigned int count);      // F2S; in place allowed

void intToFloat(const int* in, float* out, unsigned long count);        // I2F, in place allowed

void normalizeAndConvert(const short* in, float* out, unsigned int count);  // S2F, scalar loop
void shortIntToFloat_Neon(const short* in, float* out, unsigned int count); // S2F, vector blocks + scalar tail
// Out of place: S2F. In place (the memory must have room for `count`
// floats): each item becomes I2F(S2I(s)), which is clamped, so -32768 gives
// exactly -1.0.
void shortIntToFloat(const short* in, float* out, unsigned int count);

// S2I; in place allowed (the memory must have room for `count` ints).
void shortIntToInt(const short* in, int* out, unsigned int count);

// Which instruction set the *_Neon vector paths were compiled for in this
// build: "avx2", "sse2", "neon" or "scalar".
const char* vectorPath();

} // namespace conversion
} // namespace orvanta
