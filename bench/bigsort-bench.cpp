// QuickSort against std::sort on 10,000 records of 16 and 32 bytes, already sorted,
// reversed and random (arguments 0, 1, 2). QuickSort runs through its outer form, with
// its scratch from a scoped temporary allocator, and a function-pointer comparison as its
// callers use it; std::sort gets an inlined key comparison, as a caller would write it.
// Each iteration copies the unsorted input back first, the same cost on both sides. The
// summary at the end gives std::sort's time divided by QuickSort's (above 1: QuickSort
// is faster).
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/util/bigsort-scratch.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace
{
constexpr U32 kCount = 10000;

struct Record16
{
    U64 m_key;
    U64 m_payload;
};

struct Record32
{
    U64 m_key;
    U64 m_payload[3];
};

template <typename T>
int CompareKeys(const T* pA, const T* pB)
{
    return pA->m_key < pB->m_key ? -1 : (pA->m_key > pB->m_key ? 1 : 0);
}

// Argument 0: already sorted; 1: reversed; 2: random.
template <typename T>
std::vector<T> MakeInput(I64 shape)
{
    std::mt19937_64 random(99);
    std::vector<T> records(kCount);
    for (U32 i = 0; i < kCount; ++i)
    {
        std::memset(&records[i], 0, sizeof(T));
        records[i].m_key = shape == 0 ? i : (shape == 1 ? kCount - i : random());
    }
    return records;
}

template <typename T>
void BM_QuickSort(benchmark::State& state)
{
    const std::vector<T> input = MakeInput<T>(state.range(0));
    std::vector<T> records(kCount);
    for (auto _ : state)
    {
        std::memcpy(records.data(), input.data(), kCount * sizeof(T));
        QuickSort(records.data(), kCount, CompareKeys<T>);
        benchmark::DoNotOptimize(records.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

template <typename T>
void BM_StdSort(benchmark::State& state)
{
    const std::vector<T> input = MakeInput<T>(state.range(0));
    std::vector<T> records(kCount);
    for (auto _ : state)
    {
        std::memcpy(records.data(), input.data(), kCount * sizeof(T));
        std::sort(records.begin(), records.end(), [](const T& a, const T& b) { return a.m_key < b.m_key; });
        benchmark::DoNotOptimize(records.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
} // namespace

BENCHMARK_TEMPLATE(BM_QuickSort, Record16)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_TEMPLATE(BM_StdSort, Record16)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_TEMPLATE(BM_QuickSort, Record32)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_TEMPLATE(BM_StdSort, Record32)->Arg(0)->Arg(1)->Arg(2);

namespace
{
// QuickSort's outer form draws its scratch from the scoped temporary allocator system:
// one 1 MiB block (10,000 records need 320,000 bytes of scratch), with the system's
// bookkeeping in a small heap of its own.
struct ScratchMemory
{
    ScratchMemory()
    {
        Memory::InitializeThreadAllocStack();
        m_bookkeeping.Init(m_bookkeepingBlock, sizeof(m_bookkeepingBlock));
        Memory::RegisterAllocator(Memory::kAllocSystemDirect, &m_bookkeeping);
        InitializeScopedTempAllocSystem(m_scratch.data(), m_scratch.size() * sizeof(U64), 1);
    }
    ~ScratchMemory()
    {
        ShutdownScopedTempAllocSystem();
        Memory::RegisterAllocator(Memory::kAllocSystemDirect, nullptr);
        Memory::FreeThreadAllocStack();
    }

    alignas(16) U8 m_bookkeepingBlock[4096];
    HeapAllocator m_bookkeeping{"BenchBookkeeping"};
    std::vector<U64> m_scratch = std::vector<U64>((1 << 20) / sizeof(U64));
};

std::optional<ScratchMemory> s_scratchMemory;
} // namespace

BenchProgram DescribeBenchProgram()
{
    BenchProgram program;
    program.m_title = "std::sort time / QuickSort time (same run; /0 sorted, /1 reversed, /2 random):";
    for (const char* record : {"Record16", "Record32"})
    {
        for (const char* shape : {"0", "1", "2"})
        {
            program.m_pairs.emplace_back(std::string("BM_QuickSort<") + record + ">/" + shape,
                                         std::string("BM_StdSort<") + record + ">/" + shape);
        }
    }
    program.m_pSetUp = [] { s_scratchMemory.emplace(); };
    program.m_pTearDown = [] { s_scratchMemory.reset(); };
    return program;
}
