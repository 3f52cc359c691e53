// HeapArena::Allocate against a raw bump pointer (aligned increment plus the end test),
// both inlined into the same loop: frames of 1,024 requests of 16..128 bytes with
// alignments 8 or 16, rewound after each frame. Times are per frame.
#include "corelib/memory/heaparena.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace
{
constexpr U32 kFrame = 1024;

struct Request
{
    U32 size;
    U32 alignment;
};

const std::vector<Request>& Requests()
{
    static const std::vector<Request> requests = []
    {
        std::mt19937 rng(5);
        std::vector<Request> r(kFrame);
        for (Request& q : r)
            q = {static_cast<U32>(16 + rng() % 113), rng() % 2 ? 8u : 16u};
        return r;
    }();
    return requests;
}

alignas(64) U8 s_block[kFrame * 160];

struct RawBump
{
    U8* m_pBase;
    U8* m_pCurrent;
    U8* m_pEnd;
    void* Allocate(U64 size, U64 alignment)
    {
        const UPtr p = (reinterpret_cast<UPtr>(m_pCurrent) + alignment - 1) & ~(alignment - 1);
        if (p + size > reinterpret_cast<UPtr>(m_pEnd))
            return nullptr;
        m_pCurrent = reinterpret_cast<U8*>(p + size);
        return reinterpret_cast<void*>(p);
    }
};

void BM_HeapArena(benchmark::State& state)
{
    const std::vector<Request>& requests = Requests();
    HeapArena arena;
    arena.Init(s_block, sizeof(s_block));
    for (auto _ : state)
    {
        for (const Request& r : requests)
            benchmark::DoNotOptimize(arena.Allocate(r.size, r.alignment, __FILE__, __LINE__, __func__));
        arena.Reset();
    }
    state.SetItemsProcessed(state.iterations() * kFrame);
}

void BM_RawBump(benchmark::State& state)
{
    const std::vector<Request>& requests = Requests();
    RawBump bump{s_block, s_block, s_block + sizeof(s_block)};
    // Like the arena (and any allocator that outlives one function), the bump pointer
    // lives in memory: its address escapes, so it is not kept in a register.
    benchmark::DoNotOptimize(&bump);
    for (auto _ : state)
    {
        for (const Request& r : requests)
            benchmark::DoNotOptimize(bump.Allocate(r.size, r.alignment));
        bump.m_pCurrent = bump.m_pBase;
    }
    state.SetItemsProcessed(state.iterations() * kFrame);
}

BENCHMARK(BM_HeapArena);
BENCHMARK(BM_RawBump);
} // namespace

OX_BENCH_RATIOS("HeapArena against a raw bump pointer (same run; 1.00x = equal speed):",
                {{"BM_HeapArena", "BM_RawBump"}});
