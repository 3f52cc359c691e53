// The multiply-with-carry generator against std::mt19937, per 32-bit value and per float;
// the summary printed at the end gives the speed-ups measured in this run.
#include "corelib/math/random.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <random>

namespace
{
void BM_RandomStateNextU32(benchmark::State& state)
{
    RandomState random;
    random.Seed(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(random.NextU32());
}

void BM_Mt19937NextU32(benchmark::State& state)
{
    std::mt19937 random(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(random());
}

void BM_RandomStateNextFloat(benchmark::State& state)
{
    RandomState random;
    random.Seed(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(random.NextFloat());
}

void BM_Mt19937NextFloat(benchmark::State& state)
{
    std::mt19937 random(1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto _ : state)
        benchmark::DoNotOptimize(unit(random));
}

void BM_GlobalNextU32(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(GlobalNextU32());
}

} // namespace

BENCHMARK(BM_RandomStateNextU32);
BENCHMARK(BM_Mt19937NextU32);
BENCHMARK(BM_RandomStateNextFloat);
BENCHMARK(BM_Mt19937NextFloat);
BENCHMARK(BM_GlobalNextU32);

OX_BENCH_RATIOS("Speed-up against std::mt19937 (same run):",
                {
                    {"BM_RandomStateNextU32", "BM_Mt19937NextU32"},
                    {"BM_RandomStateNextFloat", "BM_Mt19937NextFloat"},
                    {"BM_GlobalNextU32", "BM_Mt19937NextU32"},
                });
