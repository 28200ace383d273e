#include "utils/Base64.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

using orvanta::base64::Base64;

namespace {

constexpr std::size_t bytes = 48000; // one second of PCM16 at 24 kHz

std::vector<std::uint8_t> randomBytes() {
    std::vector<std::uint8_t> v(bytes);
    std::mt19937 rng(3);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

void Base64_Encode(benchmark::State& state) {
    const auto data = randomBytes();
    for (auto _ : state) {
        std::string text = Base64::encode(data);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * bytes));
}

void Base64_Decode(benchmark::State& state) {
    const std::string text = Base64::encode(randomBytes());
    for (auto _ : state) {
        auto data = Base64::decode(text);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * bytes)); // decoded bytes
}

void Memcpy_SameBytes(benchmark::State& state) {
    const auto data = randomBytes();
    for (auto _ : state) {
        // Allocates its destination like encode/decode do.
        std::vector<std::uint8_t> copy(bytes);
        std::memcpy(copy.data(), data.data(), bytes);
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * bytes));
}

} // namespace

BENCHMARK(Base64_Encode);
BENCHMARK(Base64_Decode);
BENCHMARK(Memcpy_SameBytes);
