// HashTable against std::unordered_map at 512 entries (the job-name table's size: 512
// buckets, 512 nodes, 32-bit keys): finds of present keys, finds of absent keys, and
// erase+insert steps that keep the table full. Times are per operation.
#include "corelib/containers/hashtable.h"

#include "bench/bench-main.h"
#include "tests/memory/test-pool-allocator.h"

#include <benchmark/benchmark.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace
{
constexpr U32 kEntries = 512;
constexpr U32 kQueries = 1 << 12;

struct Keys
{
    std::vector<U32> present; // the 512 keys in the tables
    std::vector<U32> queries; // kQueries picks among them
    std::vector<U32> absent;  // kQueries keys not in the tables
};

const Keys& GetKeys()
{
    static const Keys keys = []
    {
        std::mt19937 rng(11);
        Keys k;
        for (U32 i = 0; i < kEntries; ++i)
            k.present.push_back(rng() | 1); // odd keys present, even keys absent
        for (U32 i = 0; i < kQueries; ++i)
        {
            k.queries.push_back(k.present[rng() % kEntries]);
            k.absent.push_back(rng() & ~1u);
        }
        return k;
    }();
    return keys;
}

using Table = HashTable<U32, const void*>;

// The table over a pool allocator for its buckets and nodes.
struct TableFixture
{
    TableFixture()
    {
        m_scope.Register(Memory::kAllocAppCpu, &m_pool);
        m_table.Init(kEntries, kEntries, Memory::kAllocAppCpu, __FILE__, __LINE__, __func__);
        for (U32 key : GetKeys().present)
            m_table.Insert(key, &m_table);
    }
    TestMemoryScope m_scope;
    TestPoolAllocator m_pool{128 * 1024, "Table"};
    Table m_table;
};

std::unordered_map<U32, const void*> MakeMap()
{
    std::unordered_map<U32, const void*> map;
    map.reserve(kEntries);
    for (U32 key : GetKeys().present)
        map[key] = &map;
    return map;
}

void BM_Find_HashTable(benchmark::State& state)
{
    TableFixture f;
    const std::vector<U32>& queries = state.range(0) ? GetKeys().queries : GetKeys().absent;
    U32 i = 0;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(f.m_table.Find(queries[i]).m_pNode);
        i = (i + 1) & (kQueries - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Find_UnorderedMap(benchmark::State& state)
{
    auto map = MakeMap();
    const std::vector<U32>& queries = state.range(0) ? GetKeys().queries : GetKeys().absent;
    U32 i = 0;
    for (auto _ : state)
    {
        auto it = map.find(queries[i]);
        benchmark::DoNotOptimize(it);
        i = (i + 1) & (kQueries - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EraseInsert_HashTable(benchmark::State& state)
{
    TableFixture f;
    const std::vector<U32>& queries = GetKeys().queries;
    U32 i = 0;
    for (auto _ : state)
    {
        const U32 key = queries[i];
        f.m_table.Erase(key);
        benchmark::DoNotOptimize(f.m_table.Insert(key, &f).m_pNode);
        i = (i + 1) & (kQueries - 1);
    }
    state.SetItemsProcessed(state.iterations() * 2);
}

void BM_EraseInsert_UnorderedMap(benchmark::State& state)
{
    auto map = MakeMap();
    const std::vector<U32>& queries = GetKeys().queries;
    U32 i = 0;
    for (auto _ : state)
    {
        const U32 key = queries[i];
        map.erase(key);
        benchmark::DoNotOptimize(map.emplace(key, &map).first);
        i = (i + 1) & (kQueries - 1);
    }
    state.SetItemsProcessed(state.iterations() * 2);
}

BENCHMARK(BM_Find_HashTable)->Arg(1)->Arg(0);
BENCHMARK(BM_Find_UnorderedMap)->Arg(1)->Arg(0);
BENCHMARK(BM_EraseInsert_HashTable);
BENCHMARK(BM_EraseInsert_UnorderedMap);
} // namespace

OX_BENCH_RATIOS("HashTable speed-up over std::unordered_map (same run; argument 1 = present keys):",
                {{"BM_Find_HashTable/1", "BM_Find_UnorderedMap/1"},
                 {"BM_Find_HashTable/0", "BM_Find_UnorderedMap/0"},
                 {"BM_EraseInsert_HashTable", "BM_EraseInsert_UnorderedMap"}});
