// FixedSizeHeap Alloc/Free against an intrusive free list (pop on allocation, push on
// release) over the same 1,024 elements of 64 bytes. Churn: half of them in use, each
// step releases a random element in use and allocates one. Fill and drain: all are
// allocated, then all released in allocation order. Times are per step (one release and
// one allocation). Both loops keep the same frame: the live set is memory they must
// write, and each result passes through DoNotOptimize in a register before it is stored
// (handing DoNotOptimize the slot itself let GCC 12 drop the store in one loop and not
// the other).
#include "corelib/containers/fixedsizeheap.h"

#include "bench/bench-main.h"
#include "tests/memory/test-pool-allocator.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace
{
constexpr U32 kElements = 1024;
constexpr U32 kElementSize = 64;
constexpr U32 kSteps = 1 << 14;

const std::vector<U32>& Picks()
{
    static const std::vector<U32> picks = []
    {
        std::mt19937 rng(9);
        std::vector<U32> p(kSteps);
        for (U32& v : p)
            v = rng() % (kElements / 2);
        return p;
    }();
    return picks;
}

alignas(64) U8 s_elements[kElements * kElementSize];

// A FixedSizeHeap over s_elements, its usage bits from a small pool of their own.
struct BenchHeap
{
    BenchHeap()
    {
        m_scope.Register(Memory::kAllocAppCpu, &m_bits);
        m_heap.Init(kElements, kElementSize, s_elements, Memory::kAllocAppCpu, kAlign64, __FILE__, __LINE__,
                    __func__);
    }
    ~BenchHeap() { m_heap.Shutdown(); }

    TestMemoryScope m_scope;
    TestPoolAllocator m_bits{4096, "Bits"};
    FixedSizeHeap m_heap;
};

void BM_FixedSizeHeap(benchmark::State& state)
{
    BenchHeap bench;
    FixedSizeHeap& heap = bench.m_heap;
    std::vector<void*> live(kElements / 2);
    benchmark::DoNotOptimize(live.data()); // the live set is memory the loop must write
    for (void*& p : live)
        p = heap.Alloc();
    const std::vector<U32>& picks = Picks();
    U32 step = 0;
    for (auto _ : state)
    {
        void*& slot = live[picks[step]];
        step = (step + 1) & (kSteps - 1);
        heap.Free(slot);
        void* p = heap.Alloc();
        benchmark::DoNotOptimize(p);
        slot = p;
    }
    state.SetItemsProcessed(state.iterations());
}

struct FreeNode
{
    FreeNode* m_pNext;
};

// Every element on the free list, lowest address first.
FreeNode* LinkAllElements()
{
    FreeNode* pHead = nullptr;
    for (U32 i = kElements; i-- > 0;)
    {
        FreeNode* pNode = reinterpret_cast<FreeNode*>(s_elements + i * kElementSize);
        pNode->m_pNext = pHead;
        pHead = pNode;
    }
    return pHead;
}

void BM_FreeList(benchmark::State& state)
{
    FreeNode* pHead = LinkAllElements();
    benchmark::DoNotOptimize(&pHead);
    std::vector<void*> live(kElements / 2);
    benchmark::DoNotOptimize(live.data()); // the live set is memory the loop must write
    for (void*& p : live)
    {
        p = pHead;
        pHead = pHead->m_pNext;
    }
    const std::vector<U32>& picks = Picks();
    U32 step = 0;
    for (auto _ : state)
    {
        void*& slot = live[picks[step]];
        step = (step + 1) & (kSteps - 1);
        FreeNode* pFreed = static_cast<FreeNode*>(slot);
        pFreed->m_pNext = pHead;
        pHead = pFreed;
        void* p = pHead;
        pHead = pHead->m_pNext;
        benchmark::DoNotOptimize(p);
        slot = p;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FixedSizeHeapFillDrain(benchmark::State& state)
{
    BenchHeap bench;
    FixedSizeHeap& heap = bench.m_heap;
    std::vector<void*> live(kElements);
    for (auto _ : state)
    {
        for (void*& p : live)
            p = heap.Alloc();
        benchmark::DoNotOptimize(live.data());
        for (void* p : live)
            heap.Free(p);
    }
    state.SetItemsProcessed(state.iterations() * kElements);
}

void BM_FreeListFillDrain(benchmark::State& state)
{
    FreeNode* pHead = LinkAllElements();
    benchmark::DoNotOptimize(&pHead);
    std::vector<void*> live(kElements);
    for (auto _ : state)
    {
        for (void*& p : live)
        {
            p = pHead;
            pHead = pHead->m_pNext;
        }
        benchmark::DoNotOptimize(live.data());
        for (void* p : live)
        {
            FreeNode* pFreed = static_cast<FreeNode*>(p);
            pFreed->m_pNext = pHead;
            pHead = pFreed;
        }
        benchmark::DoNotOptimize(pHead);
    }
    state.SetItemsProcessed(state.iterations() * kElements);
}

BENCHMARK(BM_FixedSizeHeap);
BENCHMARK(BM_FreeList);
BENCHMARK(BM_FixedSizeHeapFillDrain);
BENCHMARK(BM_FreeListFillDrain);
} // namespace

OX_BENCH_RATIOS("FixedSizeHeap against a free list (same run; 0.50x = twice the time):",
                {{"BM_FixedSizeHeap", "BM_FreeList"}, {"BM_FixedSizeHeapFillDrain", "BM_FreeListFillDrain"}});
