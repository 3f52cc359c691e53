// Memory::PoolAllocator: blocks of every size and alignment stay inside the host's block
// and are freed one by one without loss; two or more threads allocate, free each other's
// blocks and validate cleanly (thread safe from Init or from SetThreadSafe); Memory::Free
// finds the owner on the stack and through the registry; trackers see every block; and
// the strict checks report each misuse with the caller's file and the allocation's site.
#include "corelib/memory/allocator-pool.h"

#include "corelib/memory/allocation-tracker.h"
#include "corelib/memory/memory.h"
#include "tests/memory/test-pool-allocator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using Memory::PoolAllocator;

namespace
{
// A pool over its own block with a little slack on both sides, so that a test can check
// that nothing outside the block was touched.
class HostBlock
{
public:
    static constexpr U64 kSlack = 64;
    static constexpr U8 kFence = 0xA5;

    explicit HostBlock(U64 size) : m_size(size), m_storage(new U8[size + 2 * kSlack + 8])
    {
        std::memset(m_storage.get(), kFence, size + 2 * kSlack + 8);
        // Deliberately not 16-byte aligned: the allocator aligns inside the block.
        m_pBlock = m_storage.get() + kSlack + 8;
    }
    void* Block() const { return m_pBlock; }
    U64 Size() const { return m_size; }
    bool FencesIntact() const
    {
        for (U64 i = 0; i < kSlack; ++i)
            if (m_pBlock[-1 - static_cast<I64>(i)] != kFence || m_pBlock[m_size + i] != kFence)
                return false;
        return true;
    }
    bool Contains(const void* p, U64 size) const
    {
        return static_cast<const U8*>(p) >= m_pBlock && static_cast<const U8*>(p) + size <= m_pBlock + m_size;
    }

private:
    U64 m_size;
    std::unique_ptr<U8[]> m_storage;
    U8* m_pBlock;
};

TEST(PoolAllocatorTest, BlocksOfEverySizeAndAlignmentStayInsideTheHostBlock)
{
    HostBlock host(4u << 20);
    PoolAllocator pool("Sizes");
    pool.Init(host.Block(), host.Size(), false);
    EXPECT_TRUE(pool.IsInitialized());
    EXPECT_EQ(pool.GetTotalSize(), host.Size());

    struct Case
    {
        U64 size;
        U64 alignment;
    };
    const Case cases[] = {{0, 8},     {1, 8},       {16, 16},   {17, 16},      {100, 8},
                          {511, 16},  {512, 16},    {513, 16},  {64, 64},      {200, 128},
                          {4096, 16}, {100000, 16}, {24, 4096}, {1u << 20, 16}};
    std::vector<std::pair<U8*, U64>> live;
    for (int round = 0; round < 3; ++round)
        for (const Case& c : cases)
        {
            U8* p = static_cast<U8*>(pool.Allocate(c.size, c.alignment, "sizes.cpp", 1, "F"));
            ASSERT_NE(p, nullptr) << c.size << " aligned " << c.alignment;
            EXPECT_TRUE(IsPointerAligned(p, c.alignment)) << c.size << " aligned " << c.alignment;
            EXPECT_TRUE(host.Contains(p, c.size));
            EXPECT_TRUE(pool.IsValidPtr(p));
            EXPECT_TRUE(pool.IsPtrInRange(p));
            EXPECT_GE(pool.GetAllocSize(p), c.size);
            std::memset(p, 0x3C, c.size);
            live.push_back({p, c.size});
        }
    EXPECT_EQ(pool.GetNumAllocations(), live.size());
    EXPECT_TRUE(pool.Validate());
    // Every block kept its contents: none overlaps another.
    for (auto& [p, size] : live)
        for (U64 i = 0; i < size; ++i)
            ASSERT_EQ(p[i], 0x3C);
    for (size_t i = 0; i < live.size(); i += 2)
    {
        pool.Free(live[i].first, "sizes.cpp", 2, "F");
        EXPECT_FALSE(pool.IsValidPtr(live[i].first));
        EXPECT_EQ(pool.GetAllocSize(live[i].first), 0u);
    }
    for (size_t i = 1; i < live.size(); i += 2)
        pool.Free(live[i].first, "sizes.cpp", 3, "F");
    EXPECT_EQ(pool.GetNumAllocations(), 0u);
    EXPECT_TRUE(pool.Validate());
    int local = 0;
    EXPECT_FALSE(pool.IsPtrInRange(&local));
    EXPECT_FALSE(pool.IsValidPtr(&local));
    EXPECT_TRUE(host.FencesIntact());
    pool.Shutdown();
    EXPECT_FALSE(pool.IsInitialized());
}

// Filling the block, freeing everything and filling it again, round after round, gives
// as much each time (give or take how the pool's free nodes happen to lie): the
// allocator loses nothing, however the sizes were mixed.
TEST(PoolAllocatorTest, FreeingEverythingGivesAllTheRoomBack)
{
    HostBlock host(1u << 20);
    PoolAllocator pool("Refill");
    pool.Init(host.Block(), host.Size(), false);
    std::mt19937 rng(5);
    std::vector<U32> sizes(20000);
    for (U32& size : sizes)
        size = rng() % 4 == 0 ? 600 + rng() % 3000 : 1 + rng() % 512;
    auto fill = [&]
    {
        std::vector<void*> blocks;
        for (U32 size : sizes)
        {
            void* p = pool.Allocate(size, 16, "refill.cpp", 1, "F");
            if (!p)
                break;
            EXPECT_TRUE(host.Contains(p, size));
            blocks.push_back(p);
        }
        return blocks;
    };
    pool.SetAssertOnFailure(false);
    std::vector<void*> first = fill();
    ASSERT_GT(first.size(), 500u);
    ASSERT_LT(first.size(), sizes.size()); // the block ran out
    std::shuffle(first.begin(), first.end(), rng);
    for (void* p : first)
        pool.Free(p, "refill.cpp", 2, "F");
    EXPECT_EQ(pool.GetNumAllocations(), 0u);
    for (int round = 0; round < 5; ++round)
    {
        std::vector<void*> again = fill();
        EXPECT_GE(again.size(), first.size() * 98 / 100);
        std::shuffle(again.begin(), again.end(), rng);
        for (void* p : again)
            pool.Free(p, "refill.cpp", 3, "F");
        EXPECT_EQ(pool.GetNumAllocations(), 0u);
    }
    EXPECT_TRUE(pool.Validate());
    EXPECT_TRUE(host.FencesIntact());
}

// Each thread allocates, then frees the blocks of its neighbour while allocating more;
// the blocks freed across threads return to their owners, and the pool stays consistent.
void ExchangeBlocksBetweenThreads(PoolAllocator& pool, U32 numThreads)
{
    constexpr U32 kBlocks = 3000;
    const U64 before = pool.GetNumAllocations();
    std::vector<std::vector<void*>> blocks(numThreads, std::vector<void*>(kBlocks));
    std::atomic<U32> ready{0};
    auto worker = [&](U32 t)
    {
        std::mt19937 rng(t + 1);
        for (void*& p : blocks[t])
        {
            const U32 size = 1 + rng() % (rng() % 8 == 0 ? 2000 : 512);
            p = pool.Allocate(size, 16, "exchange.cpp", t, "Worker");
            ASSERT_NE(p, nullptr);
            std::memset(p, static_cast<int>(t), size < 16 ? size : 16);
        }
        ready.fetch_add(1);
        while (ready.load() < numThreads)
            std::this_thread::yield();
        std::vector<void*>& theirs = blocks[(t + 1) % numThreads];
        for (U32 i = 0; i < kBlocks; ++i)
        {
            pool.Free(theirs[i], "exchange.cpp", 100 + t, "Worker");
            theirs[i] = nullptr;
            // And some churn of its own, which also takes back what others freed.
            if (i % 4 == 0)
                pool.Free(pool.Allocate(1 + rng() % 512, 16, "exchange.cpp", 200 + t, "Worker"),
                          "exchange.cpp", 300 + t, "Worker");
        }
    };
    std::vector<std::thread> threads;
    for (U32 t = 0; t < numThreads; ++t)
        threads.emplace_back(worker, t);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(pool.GetNumAllocations(), before);
    EXPECT_TRUE(pool.Validate());
}

TEST(PoolAllocatorTest, ThreadsFreeEachOthersBlocks)
{
    HostBlock host(32u << 20);
    PoolAllocator pool("Shared");
    pool.Init(host.Block(), host.Size(), true);
    EXPECT_TRUE(pool.IsThreadSafe());
    ExchangeBlocksBetweenThreads(pool, 2);
    ExchangeBlocksBetweenThreads(pool, 3);
    EXPECT_TRUE(host.FencesIntact());
}

TEST(PoolAllocatorTest, SetThreadSafeAfterInitMakesItSafe)
{
    HostBlock host(32u << 20);
    PoolAllocator pool("Made safe later");
    pool.Init(host.Block(), host.Size(), false);
    void* pEarly = pool.Allocate(48, 16, "early.cpp", 1, "F");
    pool.SetThreadSafe(true);
    ExchangeBlocksBetweenThreads(pool, 2);
    EXPECT_TRUE(pool.IsValidPtr(pEarly));
    pool.Free(pEarly, "early.cpp", 2, "F");
    EXPECT_EQ(pool.GetNumAllocations(), 0u);
}

// A thread that ends leaves its shard to the next thread: blocks freed meanwhile by
// others wait on the shard's remote list, and the next owner takes them back.
TEST(PoolAllocatorTest, AnEndedThreadsShardPassesToTheNextThread)
{
    HostBlock host(8u << 20);
    PoolAllocator pool("Handover");
    pool.Init(host.Block(), host.Size(), true);
    pool.Free(pool.Allocate(16, 16, "handover.cpp", 0, "F"), "handover.cpp", 0,
              "F"); // this thread's own shard
    std::vector<void*> blocks(2000);
    for (int round = 0; round < 3; ++round)
    {
        std::thread(
            [&]
            {
                for (size_t i = 0; i < blocks.size(); ++i)
                    blocks[i] = pool.Allocate(16 + i % 400, 16, "handover.cpp", 1, "F");
            })
            .join();
        for (void* p : blocks)
        {
            EXPECT_TRUE(pool.IsValidPtr(p));
            pool.Free(p, "handover.cpp", 2, "F"); // the owner has ended: a remote free
            EXPECT_FALSE(pool.IsValidPtr(p));
        }
        EXPECT_EQ(pool.GetNumAllocations(), 0u);
    }
    // Three rounds took back what the rounds before freed, rather than new pages each time.
    EXPECT_TRUE(pool.Validate());
    const U64 freeAfter = pool.GetFreeSize();
    std::thread(
        [&]
        {
            for (size_t i = 0; i < blocks.size(); ++i)
                blocks[i] = pool.Allocate(16 + i % 400, 16, "handover.cpp", 3, "F");
            for (void* p : blocks)
                pool.Free(p, "handover.cpp", 4, "F");
        })
        .join();
    EXPECT_GE(pool.GetFreeSize() + (64u << 10), freeAfter);
    EXPECT_TRUE(host.FencesIntact());
}

// Memory::Free finds the pool whether it is on the thread's stack or only registered,
// also when it was registered before Init gave it its range.
TEST(PoolAllocatorTest, RoutedThroughTheStackAndTheRegistry)
{
    TestMemoryScope scope;
    HostBlock host(1u << 20);
    PoolAllocator pool("Routed");
    scope.Register(Memory::kAllocAppCpu, &pool);
    pool.Init(host.Block(), host.Size(), true);

    Memory::PushAllocator(&pool, "routed.cpp", 1, "F");
    void* pSmall = Memory::Allocate(40, 16, "routed.cpp", 2, "F");
    void* pLarge = Memory::Allocate(40000, 64, "routed.cpp", 3, "F");
    EXPECT_EQ(Memory::FindAllocatorForPtr(pSmall), &pool);
    EXPECT_EQ(Memory::FindAllocatorForPtr(pLarge), &pool);
    Memory::PopAllocator();
    // Off the stack: the registry answers.
    EXPECT_EQ(Memory::FindAllocatorForPtr(pSmall), &pool);
    Memory::Free(pSmall, "routed.cpp", 4, "F");
    Memory::Free(pLarge, "routed.cpp", 5, "F");
    EXPECT_FALSE(pool.IsValidPtr(pSmall));
    EXPECT_EQ(pool.GetNumAllocations(), 0u);
    bool inSomeRange = false;
    EXPECT_EQ(Memory::FindAllocatorForPtr(pSmall, &inSomeRange), nullptr);
    EXPECT_TRUE(inSomeRange);

    void* pNew = new (Memory::kAllocAppCpu) U64[4];
    EXPECT_EQ(Memory::FindAllocatorForPtr(pNew), &pool);
    Memory::Free(pNew, "routed.cpp", 6, "F");
    pool.Shutdown();
    EXPECT_EQ(Memory::FindAllocatorForPtr(pSmall), nullptr);
}

// The embedded pool is the first member after the base: the validation switch finds it.
TEST(PoolAllocatorTest, ValidationSwitchChecksTheEmbeddedPool)
{
    TestMemoryScope scope;
    HostBlock host(1u << 20);
    PoolAllocator pool("Validated");
    pool.Init(host.Block(), host.Size(), false);
    scope.Register(Memory::kAllocAppCpu, &pool);
    MemoryPoolMalloc::SetValidationContext(Memory::kAllocAppCpu.GetValue());
    void* p = pool.Allocate(5000, 16, "v.cpp", 1, "F");
    *(static_cast<U8*>(p) - 8) ^= 0xFF; // stomp on the node's header (its magic)
    EXPECT_DEATH(pool.Allocate(6000, 16, "v.cpp", 2, "F"), "Magic.*corrupted");
    *(static_cast<U8*>(p) - 8) ^= 0xFF;
    pool.Free(p, "v.cpp", 3, "F");
    MemoryPoolMalloc::SetValidationContext(0);
}

TEST(PoolAllocatorTest, TrackerSeesEveryBlock)
{
    TestMemoryScope scope;
    TestPoolAllocator dev(1024 * 1024, "TestDevCpu"); // the tracker's own storage
    scope.Register(Memory::kAllocDevCpu, &dev);
    HostBlock host(1u << 20);
    PoolAllocator pool("Tracked");
    pool.Init(host.Block(), host.Size(), true);
    GenericAllocationTracker tracker("Pool Tracker", 64);
    pool.SetTracker(&tracker);
    std::vector<void*> blocks;
    for (U32 size : {8u, 100u, 512u, 513u, 5000u})
        blocks.push_back(pool.Allocate(size, 16, "tracked.cpp", size, "F"));
    EXPECT_EQ(tracker.GetNumAllocations(), 5u);
    EXPECT_EQ(tracker.GetCurrentBytes(), 8u + 100 + 512 + 513 + 5000);
    EXPECT_STREQ(tracker.GetAllocationFile(static_cast<U64>(reinterpret_cast<UPtr>(blocks[1]))),
                 "tracked.cpp");
    // The context form of new records its caller's position.
    scope.Register(Memory::kAllocAppCpu, &pool);
    U64* pNew = new (Memory::kAllocAppCpu) U64[2];
    const U32 newLine = __LINE__ - 1;
    const U64 newAddress = static_cast<U64>(reinterpret_cast<UPtr>(pNew));
    EXPECT_NE(std::strstr(tracker.GetAllocationFile(newAddress), "allocator-pool-test.cpp"), nullptr);
    EXPECT_EQ(tracker.GetAllocationLine(newAddress), newLine);
    blocks.push_back(pNew);
    for (void* p : blocks)
        pool.Free(p, "tracked.cpp", 1, "F");
    EXPECT_EQ(tracker.GetNumAllocations(), 0u);
    pool.RemoveTracker();
}

// Misuse under strict checks: each report names the caller's file and line, and where the
// block came from when that is known. One table, one fresh process per case.
class StrictChecksTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_pool.Init(m_host.Block(), m_host.Size(), true);
        m_scope.Register(Memory::kAllocAppCpu, &m_pool);
        Memory::PushAllocator(&m_pool, "strict.cpp", 1, "F");
        Memory::SetStrictChecks(true);
    }
    void TearDown() override
    {
        Memory::SetStrictChecks(false);
        Memory::PopAllocator();
    }
    TestMemoryScope m_scope;
    HostBlock m_host{1u << 20};
    PoolAllocator m_pool{"Strict"};
};

TEST_F(StrictChecksTest, MisuseIsReportedWithBothSites)
{
    struct Case
    {
        const char* name;
        void (*misuse)();
        const char* expected;
    };
    const Case cases[] = {
        {"double free of a small block",
         []
         {
             void* p = Memory::Allocate(40, 16, "game/alloc-site.cpp", 11, "F");
             Memory::Free(p, "game/first-free.cpp", 12, "F");
             Memory::Free(p, "game/second-free.cpp", 13, "F");
         },
         "was freed before, freed in second-free.cpp:13 \\(allocated in alloc-site.cpp:11\\)"},
        {"double free of a large block",
         []
         {
             void* p = Memory::Allocate(3000, 16, "game/alloc-site.cpp", 21, "F");
             Memory::Allocate(3000, 16, "game/keeps-neighbour.cpp", 1, "F");
             Memory::Free(p, "game/first-free.cpp", 22, "F");
             Memory::Free(p, "game/second-free.cpp", 23, "F");
         },
         "was freed before, freed in second-free.cpp:23 \\(allocated in alloc-site.cpp:21\\)"},
        {"free of a pointer no allocator owns",
         []
         {
             static U64 notFromAnyAllocator[4];
             Memory::Free(&notFromAnyAllocator[1], "game/foreign-free.cpp", 31, "F");
         },
         "which no allocator owns .* called from foreign-free.cpp:31"},
        {"free of an address inside a block",
         []
         {
             U8* p = static_cast<U8*>(Memory::Allocate(64, 16, "game/alloc-site.cpp", 41, "F"));
             Memory::Free(p + 8, "game/inner-free.cpp", 42, "F");
         },
         "is not a block it handed out, freed in inner-free.cpp:42"},
        {"1-byte overrun of a small block",
         []
         {
             U8* p = static_cast<U8*>(Memory::Allocate(40, 16, "game/alloc-site.cpp", 51, "F"));
             p[40] = 0;
             Memory::Free(p, "game/overrun-free.cpp", 52, "F");
         },
         "write past the end of the block at .*, found freeing it in overrun-free.cpp:52 \\(allocated in "
         "alloc-site.cpp:51\\)"},
        {"1-byte overrun of a large block",
         []
         {
             U8* p = static_cast<U8*>(Memory::Allocate(5000, 16, "game/alloc-site.cpp", 61, "F"));
             p[5000] = 0;
             Memory::Free(p, "game/overrun-free.cpp", 62, "F");
         },
         "write past the end of the block at .*, found freeing it in overrun-free.cpp:62 \\(allocated in "
         "alloc-site.cpp:61\\)"},
        {"allocation before the memory map is set",
         [] { Memory::Allocate(40, 16, "game/too-early.cpp", 71, "F"); },
         "Memory::Allocate before the memory map is set \\(called from too-early.cpp:71\\)"},
        {"allocation on a thread without an allocator stack",
         [] { std::thread([] { Memory::Allocate(40, 16, "game/bare-thread.cpp", 81, "F"); }).join(); },
         "Memory::Allocate on a thread without an allocator stack \\(called from bare-thread.cpp:81\\)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (std::strstr(c.name, "memory map") == nullptr)
        {
            static const Memory::MemoryMapEntry kMap[] = {{0, Memory::kAllocInvalid, 0, kAlign8, nullptr}};
            Memory::g_pMemoryMap = const_cast<Memory::MemoryMapEntry*>(kMap);
        }
        EXPECT_DEATH(c.misuse(), c.expected);
        Memory::g_pMemoryMap = nullptr;
    }
}

// Always, strict or not: a context without an allocator is named.
TEST(PoolAllocatorTest, ContextWithoutAllocatorIsNamed)
{
    TestMemoryScope scope;
    EXPECT_DEATH(static_cast<void>(new (Memory::kAllocAnimation) U64),
                 "No allocator is registered for memory context");
}

// Without strict checks, the silent paths stay: a double free through Memory::Free is
// counted, not reported.
TEST_F(StrictChecksTest, WithoutStrictChecksADoubleFreeIsOnlyCounted)
{
    Memory::SetStrictChecks(false);
    void* p = Memory::Allocate(40, 16, "quiet.cpp", 1, "F");
    Memory::Free(p, "quiet.cpp", 2, "F");
    const U64 strays = Memory::GetInRangeInvalidPtrCount();
    Memory::Free(p, "quiet.cpp", 3, "F");
    EXPECT_EQ(Memory::GetInRangeInvalidPtrCount(), strays + 1);
    EXPECT_EQ(m_pool.GetNumAllocations(), 0u);
}
} // namespace
