// Memory::PoolAllocator churn against glibc malloc, on 1 and 2 threads. Each thread keeps
// 4,096 live blocks of 16..512 bytes; each step frees a random one of its blocks and
// allocates a new one in its place (times are per free+allocate step, wall clock). One
// allocator serves all threads (thread safe). Paths:
//  - Glibc: malloc/free;
//  - Pool: PoolAllocator::Allocate/Free called directly;
//  - PoolRouted: Memory::Allocate/Free, the pool on top of the thread's allocator stack;
//  - PoolMalloc: the MemoryPoolMalloc the allocator embeds, alone (locked when shared),
//    the figure PoolAllocator's size classes are there to improve on.
// On a shared machine, compare medians of interleaved rounds:
//   --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
#include "corelib/memory/allocator-pool.h"
#include "corelib/memory/memory.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace
{
constexpr U32 kLiveBlocks = 4096;
constexpr U32 kSteps = 1 << 16; // precomputed random steps, reused cyclically
constexpr U64 kBlockSize = 256ull << 20;

struct Step
{
    U32 m_index;
    U32 m_size;
};

// The same request stream for every path; each thread starts at its own offset.
const std::vector<Step>& Steps()
{
    static const std::vector<Step> s_steps = []
    {
        std::mt19937 rng(7);
        std::vector<Step> steps(kSteps);
        for (Step& step : steps)
            step = {static_cast<U32>(rng() % kLiveBlocks), 16 + static_cast<U32>(rng() % (512 - 16 + 1))};
        return steps;
    }();
    return s_steps;
}

struct Shared
{
    Shared() : m_block(new U64[kBlockSize / 8]), m_poolBlock(new U64[kBlockSize / 8]), m_pool("BenchPool")
    {
        m_pool.Init(m_block.get(), kBlockSize, true);
        m_malloc.Init(m_poolBlock.get(), static_cast<I32>(kBlockSize));
        m_malloc.MakeThreadSafe();
    }
    std::unique_ptr<U64[]> m_block;
    std::unique_ptr<U64[]> m_poolBlock;
    Memory::PoolAllocator m_pool;
    MemoryPoolMalloc m_malloc;
};

Shared& Allocators()
{
    static Shared s_shared;
    return s_shared;
}

struct Glibc
{
    void* Alloc(U32 size) { return std::malloc(size); }
    void Free(void* p) { std::free(p); }
};

struct Pool
{
    void* Alloc(U32 size) { return m_pool.Allocate(size, 16, __FILE__, __LINE__, __func__); }
    void Free(void* p) { m_pool.Free(p, __FILE__, __LINE__, __func__); }
    Memory::PoolAllocator& m_pool = Allocators().m_pool;
};

struct PoolRouted
{
    PoolRouted()
    {
        Memory::InitializeThreadAllocStack();
        Memory::PushAllocator(&Allocators().m_pool, __FILE__, __LINE__, __func__);
    }
    ~PoolRouted()
    {
        Memory::PopAllocator();
        Memory::FreeThreadAllocStack();
    }
    void* Alloc(U32 size) { return Memory::Allocate(size, 16, __FILE__, __LINE__, __func__); }
    void Free(void* p) { Memory::Free(p, __FILE__, __LINE__, __func__); }
};

struct PoolMalloc
{
    void* Alloc(U32 size) { return m_malloc.Malloc(static_cast<I32>(size), 16, 0); }
    void Free(void* p) { m_malloc.Free(p); }
    MemoryPoolMalloc& m_malloc = Allocators().m_malloc;
};

template <class A>
void RunChurn(benchmark::State& state)
{
    Allocators();
    A allocator;
    const std::vector<Step>& steps = Steps();
    std::vector<void*> live(kLiveBlocks);
    U32 step = static_cast<U32>(state.thread_index()) * (kSteps / 2);
    for (U32 i = 0; i < kLiveBlocks; ++i)
        live[i] = allocator.Alloc(steps[(step + i) & (kSteps - 1)].m_size);
    for (auto _ : state)
    {
        const Step& s = steps[step];
        step = (step + 1) & (kSteps - 1);
        allocator.Free(live[s.m_index]);
        live[s.m_index] = allocator.Alloc(s.m_size);
        benchmark::DoNotOptimize(live[s.m_index]);
    }
    for (void* p : live)
        allocator.Free(p);
    state.SetItemsProcessed(state.iterations());
}

void BM_Churn_Glibc(benchmark::State& s)
{
    RunChurn<Glibc>(s);
}
void BM_Churn_Pool(benchmark::State& s)
{
    RunChurn<Pool>(s);
}
void BM_Churn_PoolRouted(benchmark::State& s)
{
    RunChurn<PoolRouted>(s);
}
void BM_Churn_PoolMalloc(benchmark::State& s)
{
    RunChurn<PoolMalloc>(s);
}

// Interleaved, so that a change of machine load touches every path alike.
BENCHMARK(BM_Churn_Glibc)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Churn_Pool)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Churn_PoolRouted)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Churn_PoolMalloc)->Threads(1)->Threads(2)->UseRealTime();
} // namespace

OX_BENCH_RATIOS("Churn of 16..512-byte blocks, 4,096 live per thread: speed-up over glibc malloc (same run; "
                "below 1 = slower):",
                {
                    {"BM_Churn_Pool/real_time/threads:1", "BM_Churn_Glibc/real_time/threads:1"},
                    {"BM_Churn_Pool/real_time/threads:2", "BM_Churn_Glibc/real_time/threads:2"},
                    {"BM_Churn_PoolRouted/real_time/threads:1", "BM_Churn_Glibc/real_time/threads:1"},
                    {"BM_Churn_PoolRouted/real_time/threads:2", "BM_Churn_Glibc/real_time/threads:2"},
                    {"BM_Churn_PoolMalloc/real_time/threads:1", "BM_Churn_Glibc/real_time/threads:1"},
                    {"BM_Churn_PoolMalloc/real_time/threads:2", "BM_Churn_Glibc/real_time/threads:2"},
                });
