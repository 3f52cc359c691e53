// BitArrayT searches against a plain bit-by-bit scan of the same blocks. Each pair of
// benchmarks runs the same queries; the summary printed at the end gives the speed-ups
// measured in this run. Set-bit walks run over a dense run pattern (argument 0) and a
// sparse array (argument 1).
#include "corelib/util/bit-array.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace
{
// A realistic occupancy pattern: runs of used and free slots of varied length.
template <U64 N>
void FillPattern(BitArray<N>& bits, U32 seed)
{
    std::mt19937 rng(seed);
    U64 i = 0;
    bool used = true;
    while (i < N)
    {
        U64 length = 1 + rng() % (used ? 48 : 24);
        U64 end = std::min<U64>(N, i + length);
        if (used)
            bits.SetBitRange(i, end - 1);
        i = end;
        used = !used;
    }
}

// Few slots in use: each bit set with probability 1/32.
template <U64 N>
void FillSparse(BitArray<N>& bits, U32 seed)
{
    std::mt19937 rng(seed);
    for (U64 i = 0; i < N; ++i)
    {
        if (rng() % 32 == 0)
            bits.SetBit(i);
    }
}

// Argument 0: the run pattern (about two thirds in use); 1: sparse.
template <U64 N>
void FillForWalk(BitArray<N>& bits, I64 kind)
{
    if (kind == 0)
        FillPattern(bits, 12);
    else
        FillSparse(bits, 12);
}

bool TestBit(const U64* pBlocks, U64 i)
{
    return (pBlocks[i / 64] >> (i % 64)) & 1;
}

I64 ScanClearRun(const U64* pBlocks, U64 numBits, U64 n)
{
    U64 run = 0;
    for (U64 i = 0; i < numBits; ++i)
    {
        run = TestBit(pBlocks, i) ? 0 : run + 1;
        if (run == n)
            return static_cast<I64>(i + 1 - n);
    }
    return kBitNotFound;
}

I64 ScanNextSet(const U64* pBlocks, U64 numBits, U64 current)
{
    for (U64 i = current + 1; i < numBits; ++i)
    {
        if (TestBit(pBlocks, i))
            return static_cast<I64>(i);
    }
    return kBitNotFound;
}

// Run lengths asked for: short ones (slots) and long ones (address ranges).
const U64 kRunLengths[] = {1, 3, 8, 20, 40, 70};

template <U64 N>
void BM_FindFirstNClearBitsByBlock(benchmark::State& state)
{
    BitArray<N> bits;
    FillPattern(bits, 11);
    U32 lastBlock = bits.GetNumBlocks() - 1;
    U64 q = 0;
    for (auto _ : state)
    {
        U64 n = kRunLengths[q++ % 6];
        benchmark::DoNotOptimize(bits.FindFirstNClearBitsByBlock(n, 0, lastBlock));
    }
}

template <U64 N>
void BM_ScanClearRun(benchmark::State& state)
{
    BitArray<N> bits;
    FillPattern(bits, 11);
    U64 q = 0;
    for (auto _ : state)
    {
        U64 n = kRunLengths[q++ % 6];
        benchmark::DoNotOptimize(ScanClearRun(bits.GetBlocks(), N, n));
    }
}

// Walks every set bit, as owners do when they visit used slots.
template <U64 N>
void BM_FindNextSetBit(benchmark::State& state)
{
    BitArray<N> bits;
    FillForWalk(bits, state.range(0));
    for (auto _ : state)
    {
        U64 count = 0;
        for (I64 i = bits.IsBitSet(0) ? 0 : bits.FindNextSetBit(0); i != kBitNotFound;
             i = (static_cast<U64>(i) + 1 < N) ? bits.FindNextSetBit(static_cast<U64>(i)) : kBitNotFound)
            ++count;
        benchmark::DoNotOptimize(count);
    }
}

template <U64 N>
void BM_ScanNextSet(benchmark::State& state)
{
    BitArray<N> bits;
    FillForWalk(bits, state.range(0));
    for (auto _ : state)
    {
        U64 count = 0;
        for (I64 i = TestBit(bits.GetBlocks(), 0) ? 0 : ScanNextSet(bits.GetBlocks(), N, 0);
             i != kBitNotFound; i = ScanNextSet(bits.GetBlocks(), N, static_cast<U64>(i)))
            ++count;
        benchmark::DoNotOptimize(count);
    }
}

} // namespace

BENCHMARK_TEMPLATE(BM_FindFirstNClearBitsByBlock, 512);
BENCHMARK_TEMPLATE(BM_ScanClearRun, 512);
BENCHMARK_TEMPLATE(BM_FindFirstNClearBitsByBlock, 2048);
BENCHMARK_TEMPLATE(BM_ScanClearRun, 2048);
BENCHMARK_TEMPLATE(BM_FindNextSetBit, 512)->Arg(0)->Arg(1);
BENCHMARK_TEMPLATE(BM_ScanNextSet, 512)->Arg(0)->Arg(1);
BENCHMARK_TEMPLATE(BM_FindNextSetBit, 2048)->Arg(0)->Arg(1);
BENCHMARK_TEMPLATE(BM_ScanNextSet, 2048)->Arg(0)->Arg(1);

OX_BENCH_RATIOS("Speed-up against the bit-by-bit scan (same run):",
                {
                    {"BM_FindFirstNClearBitsByBlock<512>", "BM_ScanClearRun<512>"},
                    {"BM_FindFirstNClearBitsByBlock<2048>", "BM_ScanClearRun<2048>"},
                    {"BM_FindNextSetBit<512>/0", "BM_ScanNextSet<512>/0"},
                    {"BM_FindNextSetBit<512>/1", "BM_ScanNextSet<512>/1"},
                    {"BM_FindNextSetBit<2048>/0", "BM_ScanNextSet<2048>/0"},
                    {"BM_FindNextSetBit<2048>/1", "BM_ScanNextSet<2048>/1"},
                });
