// String identifiers: hashing throughput of StringId64 against a plain FNV-1a loop over
// the same texts, and lookups in a cache of 10,000 texts against a std::unordered_map
// (with and without a std::mutex, since every cache lookup takes the cache lock). The
// summary at the end gives the ratios measured in this run.
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/stringid-cache.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{
constexpr int kNumTexts = 1024;
constexpr int kNumCached = 10000;

// Names shaped like the ones the program hashes: a path, a number, a suffix.
const std::vector<std::string>& Texts()
{
    static const std::vector<std::string> texts = []
    {
        std::vector<std::string> result;
        for (int i = 0; i < kNumTexts; ++i)
            result.push_back("characters/npc/guard_" + std::to_string(i * 7919) + "/idle");
        return result;
    }();
    return texts;
}

U64 TotalBytes()
{
    U64 bytes = 0;
    for (const std::string& text : Texts())
        bytes += text.size();
    return bytes;
}

// The textbook loop, written here so that the baseline owes nothing to the library.
U64 PlainFnv1a(const char* text)
{
    U64 hash = 0xCBF29CE484222325ull;
    for (; *text; ++text)
        hash = (hash ^ static_cast<unsigned char>(*text)) * 0x100000001B3ull;
    return hash;
}

void BM_StringIdHash(benchmark::State& state)
{
    const std::vector<std::string>& texts = Texts();
    for (auto _ : state)
    {
        for (const std::string& text : texts)
            benchmark::DoNotOptimize(StringId64(kInvalidStringId64, text.c_str(), false));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalBytes()));
}

void BM_PlainFnv1aHash(benchmark::State& state)
{
    const std::vector<std::string>& texts = Texts();
    for (auto _ : state)
    {
        for (const std::string& text : texts)
            benchmark::DoNotOptimize(PlainFnv1a(text.c_str()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalBytes()));
}

// A host set up just enough for a cache: development memory, a memory map entry for the
// cache block and an allocator stack on the calling thread.
struct CacheHost
{
    CacheHost()
    {
        static const Memory::MemoryMapEntry map[] = {
            {0x3A, Memory::kAllocDevCpu, 1024 * 1024, kAlign16, "SIDs"},
            {0, Memory::kAllocInvalid, 0, kAlign8, nullptr},
        };
        Memory::SetMemoryMap(map, nullptr);
        Memory::InitializeThreadAllocStack();
        m_dev.Init(m_memory.data(), m_memory.size());
        Memory::RegisterAllocator(Memory::kAllocDevCpu, &m_dev);
        StringIdInit(0.0f, nullptr);
        for (int i = 0; i < kNumCached; ++i)
        {
            const std::string text = "cached/entry_" + std::to_string(i);
            m_ids.push_back(StringId64(kInvalidStringId64, text.c_str(), true));
        }
        // Lookups in a random order, so that the table is not walked in insertion order.
        std::mt19937 random(7);
        for (int i = 0; i < 4096; ++i)
            m_order.push_back(m_ids[random() % m_ids.size()]);
    }

    std::vector<U8> m_memory = std::vector<U8>(8 * 1024 * 1024);
    HeapAllocator m_dev{"BenchDevCpu"};
    std::vector<StringId64> m_ids;
    std::vector<StringId64> m_order;
};

CacheHost& Host()
{
    static CacheHost host;
    return host;
}

void BM_StringIdCacheLookup(benchmark::State& state)
{
    CacheHost& host = Host();
    if (GetLocalSidCacheCount() != kNumCached)
        state.SkipWithError("the cache does not hold every text");
    for (auto _ : state)
    {
        for (StringId64 id : host.m_order)
            benchmark::DoNotOptimize(StringIdToString(id));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * host.m_order.size()));
}

std::unordered_map<U64, const char*>& BaselineMap()
{
    static std::unordered_map<U64, const char*> map = []
    {
        std::unordered_map<U64, const char*> result;
        static std::vector<std::string> texts;
        for (int i = 0; i < kNumCached; ++i)
            texts.push_back("cached/entry_" + std::to_string(i));
        for (const std::string& text : texts)
            result.emplace(StringId64(text.c_str()).GetValue(), text.c_str());
        return result;
    }();
    return map;
}

void BM_UnorderedMapLookup(benchmark::State& state)
{
    CacheHost& host = Host();
    std::unordered_map<U64, const char*>& map = BaselineMap();
    for (auto _ : state)
    {
        for (StringId64 id : host.m_order)
            benchmark::DoNotOptimize(map.find(id.GetValue())->second);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * host.m_order.size()));
}

void BM_LockedUnorderedMapLookup(benchmark::State& state)
{
    CacheHost& host = Host();
    std::unordered_map<U64, const char*>& map = BaselineMap();
    std::mutex mutex;
    for (auto _ : state)
    {
        for (StringId64 id : host.m_order)
        {
            std::lock_guard<std::mutex> lock(mutex);
            benchmark::DoNotOptimize(map.find(id.GetValue())->second);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * host.m_order.size()));
}
} // namespace

BENCHMARK(BM_StringIdHash);
BENCHMARK(BM_PlainFnv1aHash);
BENCHMARK(BM_StringIdCacheLookup);
BENCHMARK(BM_UnorderedMapLookup);
BENCHMARK(BM_LockedUnorderedMapLookup);

OX_BENCH_RATIOS("Speed against the baselines (same run; above 1 is faster):",
                {
                    {"BM_StringIdHash", "BM_PlainFnv1aHash"},
                    {"BM_StringIdCacheLookup", "BM_LockedUnorderedMapLookup"},
                    {"BM_StringIdCacheLookup", "BM_UnorderedMapLookup"},
                });
