// MemoryPoolMalloc against glibc malloc and a bump pointer, on three workloads:
//  - churn: a live set of 10,000 blocks of 16..4,096 bytes; each step frees a random
//    block and allocates a new one in its place (times are per free+allocate step);
//  - churn with a quarter of the requests aligned to 64 or 128 bytes;
//  - LIFO frames: 1,000 blocks of 16..256 bytes allocated, then freed in reverse (times
//    are per frame of 1,000 allocations and 1,000 frees).
// The bump pointer never frees; it restarts when its block is used up. The summary gives
// each allocator's speed-up over glibc measured in the same run.
#include "corelib/memory/bigmalloc.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

// Looks into the pool to explain churn times: how long the free list is and how many of
// its nodes a request looks at before one fits.
class MemoryPoolMallocTestAccess
{
public:
    static U32 NodesVisited(const MemoryPoolMalloc& pool, I32 size, U64 alignment)
    {
        U32 visited = 0;
        for (const MemoryPoolMalloc::Node* pNode = pool.m_freeList.m_pNext;
             pNode->m_header.m_size != MemoryPoolMalloc::kSentinel; pNode = pNode->m_pNext)
        {
            ++visited;
            if (pool.FitsInFreeNode(pNode, static_cast<U64>(size < 16 ? 16 : size),
                                    alignment < 8 ? 8 : alignment))
                break;
        }
        return visited;
    }
};

namespace
{
constexpr U32 kLiveBlocks = 10000;
constexpr U32 kSteps = 1 << 16; // precomputed random steps, reused cyclically
constexpr U32 kFrameBlocks = 1000;

struct Request
{
    U32 index; // churn: which live block to replace
    I32 size;
    U32 alignment;
};

// The same request streams for every allocator.
struct Workload
{
    std::vector<Request> initial;
    std::vector<Request> steps;
};

Workload MakeChurn(bool aligned, U32 minSize, U32 maxSize, U32 numInitial, U32 seed)
{
    std::mt19937 rng(seed);
    auto request = [&](U32 index)
    {
        Request r{index, static_cast<I32>(minSize + rng() % (maxSize - minSize + 1)), 8};
        if (aligned && rng() % 4 == 0)
            r.alignment = rng() % 2 ? 64 : 128;
        return r;
    };
    Workload w;
    for (U32 i = 0; i < numInitial; ++i)
        w.initial.push_back(request(i));
    for (U32 i = 0; i < kSteps; ++i)
        w.steps.push_back(request(rng() % (numInitial ? numInitial : 1)));
    return w;
}

const Workload& Churn()
{
    static const Workload w = MakeChurn(false, 16, 4096, kLiveBlocks, 1);
    return w;
}

const Workload& AlignedChurn()
{
    static const Workload w = MakeChurn(true, 16, 4096, kLiveBlocks, 2);
    return w;
}

const Workload& Frames()
{
    static const Workload w = MakeChurn(false, 16, 256, 0, 3);
    return w;
}

// The three allocators behind one interface the workloads call.
struct PoolAlloc
{
    static constexpr U32 kSize = 96u << 20;
    PoolAlloc() : m_storage(new U64[kSize / 8]) { m_pool.Init(m_storage.get(), kSize); }
    void* Alloc(I32 size, U32 alignment) { return m_pool.Malloc(size, alignment, 0); }
    void Free(void* p) { m_pool.Free(p); }
    std::unique_ptr<U64[]> m_storage;
    MemoryPoolMalloc m_pool;
};

struct GlibcAlloc
{
    void* Alloc(I32 size, U32 alignment)
    {
        return alignment <= 16 ? std::malloc(static_cast<size_t>(size))
                               : std::aligned_alloc(alignment, (static_cast<size_t>(size) + alignment - 1) &
                                                                   ~static_cast<size_t>(alignment - 1));
    }
    void Free(void* p) { std::free(p); }
};

struct BumpAlloc
{
    static constexpr U64 kSize = 256u << 20;
    BumpAlloc() : m_storage(new U64[kSize / 8]), m_pCurrent(reinterpret_cast<U8*>(m_storage.get())) {}
    void* Alloc(I32 size, U32 alignment)
    {
        UPtr p = (reinterpret_cast<UPtr>(m_pCurrent) + alignment - 1) & ~static_cast<UPtr>(alignment - 1);
        if (p + static_cast<U32>(size) > reinterpret_cast<UPtr>(m_storage.get()) + kSize)
            p = reinterpret_cast<UPtr>(m_storage.get());
        m_pCurrent = reinterpret_cast<U8*>(p + static_cast<U32>(size));
        return reinterpret_cast<void*>(p);
    }
    void Free(void*) {}
    std::unique_ptr<U64[]> m_storage;
    U8* m_pCurrent;
};

template <class A>
void RunChurn(benchmark::State& state, const Workload& w)
{
    A allocator;
    std::vector<void*> live(w.initial.size());
    for (const Request& r : w.initial)
        live[r.index] = allocator.Alloc(r.size, r.alignment);
    U32 step = 0;
    for (auto _ : state)
    {
        const Request& r = w.steps[step];
        step = (step + 1) & (kSteps - 1);
        allocator.Free(live[r.index]);
        live[r.index] = allocator.Alloc(r.size, r.alignment);
        benchmark::DoNotOptimize(live[r.index]);
    }
    if constexpr (std::is_same_v<A, struct PoolAlloc>)
    {
        U64 visited = 0;
        for (U32 i = 0; i < 1000; ++i)
            visited += MemoryPoolMallocTestAccess::NodesVisited(allocator.m_pool, w.steps[i].size,
                                                                w.steps[i].alignment);
        state.counters["freeNodes"] = allocator.m_pool.GetNumFreeAllocationUnits();
        state.counters["nodesPerMalloc"] = static_cast<double>(visited) / 1000.0;
    }
    for (void* p : live)
        allocator.Free(p);
    state.SetItemsProcessed(state.iterations());
}

template <class A>
void RunFrames(benchmark::State& state)
{
    const Workload& w = Frames();
    A allocator;
    void* blocks[kFrameBlocks];
    U32 step = 0;
    for (auto _ : state)
    {
        for (U32 i = 0; i < kFrameBlocks; ++i)
        {
            const Request& r = w.steps[(step + i) & (kSteps - 1)];
            blocks[i] = allocator.Alloc(r.size, r.alignment);
        }
        benchmark::DoNotOptimize(blocks);
        for (U32 i = kFrameBlocks; i-- > 0;)
            allocator.Free(blocks[i]);
        step = (step + kFrameBlocks) & (kSteps - 1);
    }
    state.SetItemsProcessed(state.iterations() * kFrameBlocks * 2);
}

void BM_Churn_Pool(benchmark::State& s)
{
    RunChurn<PoolAlloc>(s, Churn());
}
void BM_Churn_Glibc(benchmark::State& s)
{
    RunChurn<GlibcAlloc>(s, Churn());
}
void BM_Churn_Bump(benchmark::State& s)
{
    RunChurn<BumpAlloc>(s, Churn());
}
void BM_AlignedChurn_Pool(benchmark::State& s)
{
    RunChurn<PoolAlloc>(s, AlignedChurn());
}
void BM_AlignedChurn_Glibc(benchmark::State& s)
{
    RunChurn<GlibcAlloc>(s, AlignedChurn());
}
void BM_AlignedChurn_Bump(benchmark::State& s)
{
    RunChurn<BumpAlloc>(s, AlignedChurn());
}
void BM_LifoFrames_Pool(benchmark::State& s)
{
    RunFrames<PoolAlloc>(s);
}
void BM_LifoFrames_Glibc(benchmark::State& s)
{
    RunFrames<GlibcAlloc>(s);
}
void BM_LifoFrames_Bump(benchmark::State& s)
{
    RunFrames<BumpAlloc>(s);
}

BENCHMARK(BM_Churn_Pool);
BENCHMARK(BM_Churn_Glibc);
BENCHMARK(BM_Churn_Bump);
BENCHMARK(BM_AlignedChurn_Pool);
BENCHMARK(BM_AlignedChurn_Glibc);
BENCHMARK(BM_AlignedChurn_Bump);
BENCHMARK(BM_LifoFrames_Pool);
BENCHMARK(BM_LifoFrames_Glibc);
BENCHMARK(BM_LifoFrames_Bump);
} // namespace

OX_BENCH_RATIOS("Speed-up over glibc malloc (same run):",
                {
                    {"BM_Churn_Pool", "BM_Churn_Glibc"},
                    {"BM_Churn_Bump", "BM_Churn_Glibc"},
                    {"BM_AlignedChurn_Pool", "BM_AlignedChurn_Glibc"},
                    {"BM_AlignedChurn_Bump", "BM_AlignedChurn_Glibc"},
                    {"BM_LifoFrames_Pool", "BM_LifoFrames_Glibc"},
                    {"BM_LifoFrames_Bump", "BM_LifoFrames_Glibc"},
                });
