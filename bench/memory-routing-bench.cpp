// Cost of allocation routing: Memory::Allocate/Free through the thread's allocator stack
// and through the registry, against calling the same allocator directly and against
// malloc/free, all on 64-byte blocks freed right after allocation.
#include "corelib/memory/memory.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace
{
// Fixed 64-byte blocks from a free list: cheap enough that routing shows.
class BlockAllocator : public Memory::Allocator
{
public:
    static constexpr U64 kBlockSize = 64;
    static constexpr U64 kNumBlocks = 1024;

    BlockAllocator() : Memory::Allocator("Blocks"), m_memory(kBlockSize * kNumBlocks), m_used(kNumBlocks, 0)
    {
        for (U64 i = 0; i < kNumBlocks; ++i)
            m_free.push_back(i);
    }
    void Reset(bool) override {}
    void* Allocate(U64, U64, const char* file, U32 line, const char* function) override
    {
        void* p = nullptr;
        if (!m_free.empty())
        {
            const U64 index = m_free.back();
            m_free.pop_back();
            m_used[index] = 1;
            p = m_memory.data() + index * kBlockSize;
        }
        PostAllocate(p, kBlockSize, 16, 0, file, line, function);
        return p;
    }
    void Free(void* p, const char* file, U32 line, const char* function) override
    {
        const U64 index = Index(p);
        m_used[index] = 0;
        m_free.push_back(index);
        PostFree(p, file, line, function, kBlockSize);
    }
    bool IsInitialized() override { return true; }
    bool IsPtrInRange(const void* p) override
    {
        const U8* b = static_cast<const U8*>(p);
        return b >= m_memory.data() && b < m_memory.data() + m_memory.size();
    }
    bool IsValidPtr(const void* p) override { return IsPtrInRange(p) && m_used[Index(p)]; }

private:
    U64 Index(const void* p) const { return (static_cast<const U8*>(p) - m_memory.data()) / kBlockSize; }

    std::vector<U8> m_memory;
    std::vector<U8> m_used;
    std::vector<U64> m_free;
};

BlockAllocator& Blocks()
{
    static BlockAllocator s_blocks;
    return s_blocks;
}

void BM_Malloc(benchmark::State& state)
{
    for (auto _ : state)
    {
        void* p = malloc(64);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}
BENCHMARK(BM_Malloc);

void BM_DirectCall(benchmark::State& state)
{
    Memory::Allocator* pAllocator = &Blocks();
    for (auto _ : state)
    {
        void* p = pAllocator->Allocate(64, 16, __FILE__, __LINE__, __func__);
        benchmark::DoNotOptimize(p);
        pAllocator->Free(p, __FILE__, __LINE__, __func__);
    }
}
BENCHMARK(BM_DirectCall);

void BM_RoutedThroughStack(benchmark::State& state)
{
    Memory::InitializeThreadAllocStack();
    Memory::PushAllocator(&Blocks(), __FILE__, __LINE__, __func__);
    for (auto _ : state)
    {
        void* p = Memory::Allocate(64, 16, __FILE__, __LINE__, __func__);
        benchmark::DoNotOptimize(p);
        Memory::Free(p, __FILE__, __LINE__, __func__);
    }
    Memory::PopAllocator();
    Memory::FreeThreadAllocStack();
}
BENCHMARK(BM_RoutedThroughStack);

// Allocated from the stack, released by a thread that has only the registry to ask: the
// lookup walks the registry from its top slot down to the allocator's.
void BM_FreeFoundInRegistry(benchmark::State& state)
{
    Memory::RegisterAllocator(Memory::kAllocAppCpu, &Blocks());
    Memory::InitializeThreadAllocStack();
    for (auto _ : state)
    {
        Memory::PushAllocator(&Blocks(), __FILE__, __LINE__, __func__);
        void* p = Memory::Allocate(64, 16, __FILE__, __LINE__, __func__);
        Memory::PopAllocator();
        benchmark::DoNotOptimize(p);
        Memory::Free(p, __FILE__, __LINE__, __func__);
    }
    Memory::FreeThreadAllocStack();
    Memory::RegisterAllocator(Memory::kAllocAppCpu, nullptr);
}
BENCHMARK(BM_FreeFoundInRegistry);

void BM_NewInContext(benchmark::State& state)
{
    Memory::RegisterAllocator(Memory::kAllocAppCpu, &Blocks());
    for (auto _ : state)
    {
        U8* p = new (Memory::kAllocAppCpu) U8[64];
        benchmark::DoNotOptimize(p);
        Memory::FreeInContext(p, Memory::kAllocAppCpu, __FILE__, __LINE__, __func__);
    }
    Memory::RegisterAllocator(Memory::kAllocAppCpu, nullptr);
}
BENCHMARK(BM_NewInContext);
} // namespace

OX_BENCH_RATIOS("Allocation routing, speed relative to baseline (above 1 = faster):",
                {{"BM_RoutedThroughStack", "BM_DirectCall"},
                 {"BM_RoutedThroughStack", "BM_Malloc"},
                 {"BM_FreeFoundInRegistry", "BM_DirectCall"},
                 {"BM_NewInContext", "BM_DirectCall"}});
