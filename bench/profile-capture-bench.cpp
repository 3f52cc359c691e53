// The cost of a profiler marker pair (BeginProfileEvent + EndProfileEvent): with no block
// (no capture running), with the caller's own block, and inside a running capture
// (blocks lent under the stop guard), against an empty call and a counter read in the
// same run.
#include "corelib/system/platform/platform.h"
#include "corelib/system/profile-capture.h"
#include "corelib/system/profiler-events.h"
#include "corelib/system/timing.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace
{
OX_NOINLINE void EmptyCall(const char* name)
{
    benchmark::DoNotOptimize(name);
}

void BM_EmptyCallPair(benchmark::State& state)
{
    for (auto _ : state)
    {
        EmptyCall("Step");
        EmptyCall(nullptr);
    }
}

void BM_CounterRead(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(GetTimeNow());
}

void BM_MarkerPairNoCapture(benchmark::State& state)
{
    for (auto _ : state)
    {
        BeginProfileEvent("Step");
        EndProfileEvent();
    }
}

// Rewinds the block when it fills, so that the pair always writes.
U64 s_rewindWords[4096 + kProfileEventBlockSlackWords];
U64 RewindBlock(ProfileEventBlock* pBlock)
{
    pBlock->m_pDestination = s_rewindWords;
    return GetTimeNow();
}

void BM_MarkerPairOwnBlock(benchmark::State& state)
{
    ProfileEventBlock block{s_rewindWords, s_rewindWords + 4096};
    SetProfileEventReplaceBlock(RewindBlock);
    ProfileEventBlock* pPrevious = SetProfileEventBlock(&block);
    for (auto _ : state)
    {
        BeginProfileEvent("Step");
        EndProfileEvent();
    }
    SetProfileEventBlock(pPrevious);
    SetProfileEventReplaceBlock(nullptr);
}

// A capture with room for every pair of the run: restarted whenever it nears its end.
void BM_MarkerPairCapture(benchmark::State& state)
{
    std::vector<U64> buffer(64 * 1024 * 1024 / sizeof(U64));
    U64 pairs = 0;
    StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64));
    JoinProfileCapture();
    for (auto _ : state)
    {
        BeginProfileEvent("Step");
        EndProfileEvent();
        if (++pairs == 1000000)
        {
            state.PauseTiming();
            StopProfileCapture();
            StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64));
            JoinProfileCapture();
            pairs = 0;
            state.ResumeTiming();
        }
    }
    StopProfileCapture();
}

BENCHMARK(BM_EmptyCallPair);
BENCHMARK(BM_CounterRead);
BENCHMARK(BM_MarkerPairNoCapture);
BENCHMARK(BM_MarkerPairOwnBlock);
BENCHMARK(BM_MarkerPairCapture);
} // namespace

OX_BENCH_RATIOS("Marker pair, times faster than the baseline (same run):",
                {{"BM_MarkerPairNoCapture", "BM_EmptyCallPair"},
                 {"BM_MarkerPairOwnBlock", "BM_CounterRead"},
                 {"BM_MarkerPairCapture", "BM_CounterRead"},
                 {"BM_MarkerPairCapture", "BM_MarkerPairOwnBlock"}});
