#include "corelib/containers/hashtable.h"

#include "tests/memory/test-pool-allocator.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <unordered_map>
#include <vector>

namespace
{
// Every key in one chain, so that chain order is visible.
struct OneBucketTraits
{
    static U32 Hash(const U32&) { return 7; }
    static bool Equal(const U32& a, const U32& b) { return a == b; }
};

using Table = HashTable<U32, U64>;
using OneBucketTable = HashTable<U32, U64, 0, OneBucketTraits>;

class HashTableTest : public ::testing::Test
{
protected:
    void SetUp() override { m_scope.Register(Memory::kAllocAppCpu, &m_pool); }

    template <class T>
    void Init(T& table, U32 numBuckets, U32 numNodes)
    {
        table.Init(numBuckets, numNodes, Memory::kAllocAppCpu, __FILE__, __LINE__, __func__);
    }

    TestMemoryScope m_scope;
    TestPoolAllocator m_pool{256 * 1024, "Tables"};
};

TEST(HashTableTraitsTest, HashIsFnv1aOverTheKeyBytes)
{
    using Key = std::array<char, 6>;
    const Key foobar = {'f', 'o', 'o', 'b', 'a', 'r'};
    EXPECT_EQ((HashTableTraits<Key, int>::Hash(foobar)), 0xBF9CF968u);
    const std::array<char, 1> a = {'a'};
    EXPECT_EQ((HashTableTraits<std::array<char, 1>, int>::Hash(a)), 0xE40C292Cu);
}

TEST_F(HashTableTest, InsertFindAndInsertModes)
{
    Table table;
    Init(table, 16, 32);
    EXPECT_EQ(table.Find(5), table.end());
    table.Insert(5, 50);
    table.Insert(21, 210);
    EXPECT_EQ(table.GetCount(), 2u);
    ASSERT_NE(table.Find(5), table.end());
    EXPECT_EQ(table.Find(5)->m_value, 50u);

    // Mode 1 keeps the old value; any other mode replaces it. The count stays.
    auto it = table.Insert(5, 51, kHashTableKeepExisting);
    EXPECT_EQ(it->m_value, 50u);
    it = table.Insert(5, 52, kHashTableReplace);
    EXPECT_EQ(it->m_value, 52u);
    it = table.Insert(5, 53, 7);
    EXPECT_EQ(it->m_value, 53u);
    EXPECT_EQ(table.GetCount(), 2u);
    EXPECT_EQ(table.Find(21)->m_value, 210u);
}

TEST_F(HashTableTest, NewestKeysComeFirstInTheirChainAndEraseKeepsTheRest)
{
    OneBucketTable table;
    Init(table, 4, 8);
    for (U32 key = 1; key <= 4; ++key)
        table.Insert(key, key * 10);
    std::vector<U32> order;
    for (auto it = table.begin(); it != table.end(); it = table.Next(it))
        order.push_back(it->m_key);
    EXPECT_EQ(order, (std::vector<U32>{4, 3, 2, 1}));

    // Erasing the head, a middle node and the tail; each returns the following node.
    auto next = table.Erase(table.Find(4));
    EXPECT_EQ(next->m_key, 3u);
    next = table.Erase(table.Find(2));
    EXPECT_EQ(next->m_key, 1u);
    next = table.Erase(table.Find(1));
    EXPECT_EQ(next, table.end()) << "the last node of the last chain is followed by end()";
    EXPECT_EQ(table.GetCount(), 1u);
    EXPECT_EQ(table.begin()->m_key, 3u);
    EXPECT_EQ(table.Find(2), table.end());
}

TEST_F(HashTableTest, EraseMovesOnToTheNextNonEmptyBucket)
{
    Table table;
    Init(table, 64, 64);
    for (U32 key = 0; key < 20; ++key)
        table.Insert(key, key);
    // Erasing every node through the returned iterators visits each exactly once.
    std::vector<bool> seen(20, false);
    U32 erased = 0;
    for (auto it = table.begin(); it != table.end(); ++erased)
    {
        EXPECT_FALSE(seen[it->m_key]);
        seen[it->m_key] = true;
        it = table.Erase(it);
    }
    EXPECT_EQ(erased, 20u);
    EXPECT_EQ(table.GetCount(), 0u);
    EXPECT_EQ(table.begin(), table.end());
    EXPECT_EQ(table.GetHighWaterMark(), 20u) << "the high-water mark survives erasures";
    table.Insert(99, 1);
    EXPECT_EQ(table.GetHighWaterMark(), 20u);
}

TEST_F(HashTableTest, EndIsTheSentinelBehindTheLastBucket)
{
    Table table;
    Init(table, 8, 8);
    const auto end = table.end();
    EXPECT_EQ(end.m_pNode->m_pNext, end.m_pNode);
    EXPECT_EQ(end.m_pNode->m_pPrev, end.m_pNode);
    EXPECT_EQ(*end.m_pBucket, end.m_pNode);
    EXPECT_EQ(table.Next(end), end);
}

TEST_F(HashTableTest, CallerMemoryAndShutdown)
{
    using T = HashTable<U64, const void*>;
    alignas(16) static U8 buckets[T::GetBucketMemorySize(32)];
    alignas(16) static U8 nodes[16 * sizeof(T::Node)];
    const U32 allocationsBefore = m_pool.m_numAllocations;
    {
        T table;
        table.Init(32, 16, buckets, nodes, Memory::kAllocAppCpu, __FILE__, __LINE__, __func__);
        EXPECT_EQ(m_pool.m_numAllocations, allocationsBefore + 1) << "only the node usage bits";
        for (U64 key = 0; key < 16; ++key)
            table.Insert(key << 40, &buckets[key]);
        EXPECT_EQ(table.Find(U64{9} << 40)->m_value, &buckets[9]);
        EXPECT_GE(reinterpret_cast<U8*>(table.Find(0).m_pNode), nodes);
    }
    EXPECT_EQ(m_pool.GetPool().GetAllocSize(), 0u) << "destruction released everything";
}

TEST_F(HashTableTest, AgreesWithUnorderedMapUnderRandomUse)
{
    Table table;
    Init(table, 61, 256);
    std::unordered_map<U32, U64> reference;
    std::mt19937 rng(3);
    for (int step = 0; step < 20000; ++step)
    {
        const U32 key = rng() % 400;
        const U32 op = rng() % 3;
        if (op == 0 && reference.size() < 256)
        {
            table.Insert(key, step);
            reference[key] = step;
        }
        else if (op == 1)
        {
            EXPECT_EQ(table.Erase(key), reference.erase(key) == 1);
        }
        else
        {
            const auto it = table.Find(key);
            const auto ref = reference.find(key);
            ASSERT_EQ(it == table.end(), ref == reference.end());
            if (ref != reference.end())
            {
                EXPECT_EQ(it->m_value, ref->second);
            }
        }
        ASSERT_EQ(table.GetCount(), reference.size());
    }
    U64 visited = 0;
    for (auto it = table.begin(); it != table.end(); it = table.Next(it))
        ++visited;
    EXPECT_EQ(visited, reference.size());
}

TEST_F(HashTableTest, OverflowAndUseBeforeInit)
{
    Table table;
    EXPECT_DEATH(table.Find(1), "m_initialized");
    EXPECT_DEATH(table.Insert(1, 1), "m_initialized");
    Init(table, 512, 512);
    for (U32 key = 0; key < 512; ++key)
        table.Insert(key, key);
    EXPECT_EQ(table.GetCount(), 512u);
    table.Insert(7, 70); // an existing key needs no node
    EXPECT_DEATH(table.Insert(512, 1), "Hash table overflow");
    EXPECT_DEATH(table.Erase(table.end()), "m_pSentinel");
}
} // namespace
