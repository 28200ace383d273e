#include "utils/Conversion.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace conv = orvanta::conversion;

namespace {

constexpr unsigned int samples = 24000; // one second at the service rate

std::vector<float> randomFloats() {
    std::vector<float> v(samples);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.1f, 1.1f);
    for (auto& f : v)
        f = dist(rng);
    return v;
}

std::vector<short> randomShorts() {
    std::vector<short> v(samples);
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> dist(-32768, 32767);
    for (auto& s : v)
        s = static_cast<short>(dist(rng));
    return v;
}

template <void (*Convert)(const float*, short*, unsigned int)>
void floatToShort(benchmark::State& state) {
    const auto in = randomFloats();
    std::vector<short> out(samples);
    for (auto _ : state) {
        Convert(in.data(), out.data(), samples);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * samples);
    state.SetLabel(conv::vectorPath());
}

template <void (*Convert)(const short*, float*, unsigned int)>
void shortToFloat(benchmark::State& state) {
    const auto in = randomShorts();
    std::vector<float> out(samples);
    for (auto _ : state) {
        Convert(in.data(), out.data(), samples);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * samples);
    state.SetLabel(conv::vectorPath());
}


void F2S_Scalar(benchmark::State& s) { floatToShort<conv::normalizeAndConvert>(s); }
void F2S_Vector(benchmark::State& s) { floatToShort<conv::floatToShortInt_Neon>(s); }
void S2F_Scalar(benchmark::State& s) { shortToFloat<conv::normalizeAndConvert>(s); }
void S2F_Vector(benchmark::State& s) { shortToFloat<conv::shortIntToFloat_Neon>(s); }

} // namespace

BENCHMARK(F2S_Scalar);
BENCHMARK(F2S_Vector);
BENCHMARK(S2F_Scalar);
BENCHMARK(S2F_Vector);
