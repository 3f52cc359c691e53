#include "corelib/memory/bigmalloc.h"

#include "corelib/util/msg.h"
#include "tests/memory/memory-pool-driver.h"
#include "tests/memory/test-pool-allocator.h"
#include "tests/support/breakpoint-catcher.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace
{
using Node = MemoryPoolMalloc::Node;

// A pool over its own 4 KiB-aligned block, so that node addresses are predictable.
class PoolFixture : public ::testing::Test
{
protected:
    static constexpr U32 kPoolSize = 4096;

    void SetUp() override { m_pool.Init(m_mem, kPoolSize); }
    void TearDown() override { m_pool.Shutdown(); }

    U8* Mem() { return m_mem; }
    U8* UserAt(U32 nodeOffset) { return m_mem + nodeOffset + 16; }
    Node* NodeOf(void* p) { return reinterpret_cast<Node*>(static_cast<U8*>(p) - 16); }

    void ExpectFresh()
    {
        EXPECT_EQ(m_pool.GetFreeSize(), kPoolSize - 32);
        EXPECT_EQ(m_pool.GetAllocSize(), 0u);
        EXPECT_EQ(m_pool.GetOverheadSize(), 64u);
        EXPECT_EQ(m_pool.GetNumAllocationUnits(), 1);
        EXPECT_EQ(m_pool.GetNumFreeAllocationUnits(), 1);
        EXPECT_EQ(m_pool.CalculateLargestFreeBlock(), kPoolSize - 32);
        EXPECT_TRUE(m_pool.Validate());
    }

    alignas(4096) U8 m_mem[kPoolSize];
    MemoryPoolMalloc m_pool;
};

TEST(MemoryPoolInit, OneMegabytePoolIsOneFreeNodeAndTheEndNode)
{
    std::vector<U64> storage(1 << 17);
    MemoryPoolMalloc pool;
    pool.Init(storage.data(), 1 << 20);
    EXPECT_EQ(pool.CalculateFreeSize(), (1u << 20) - 32);
    EXPECT_EQ(pool.CalculateLargestFreeBlock(), (1u << 20) - 32);
    EXPECT_EQ(pool.GetOverheadSize(), 64u);
    EXPECT_EQ(pool.GetNumAllocationUnits(), 1);
    EXPECT_EQ(pool.GetNumFreeAllocationUnits(), 1);
    EXPECT_NE(pool.GetMagic(), 0u);

    const Node* pFree = reinterpret_cast<const Node*>(storage.data());
    const Node* pEnd =
        reinterpret_cast<const Node*>(reinterpret_cast<const U8*>(storage.data()) + (1 << 20) - 32);
    EXPECT_EQ(pFree->m_header.m_prevSize, MemoryPoolMalloc::kSentinel);
    EXPECT_EQ(pFree->m_header.m_size, (1 << 20) - 32);
    EXPECT_EQ(pFree->m_pNext, pEnd);
    EXPECT_EQ(pEnd->m_header.m_prevSize, (1 << 20) - 32);
    EXPECT_EQ(pEnd->m_header.m_size, MemoryPoolMalloc::kSentinel);
    EXPECT_EQ(pEnd->m_pNext, nullptr);
    EXPECT_EQ(pEnd->m_pPrev, pFree);
    EXPECT_TRUE(pool.Validate());

    // Each Init draws a new magic word.
    const U32 firstMagic = pool.GetMagic();
    pool.Reinit();
    EXPECT_NE(pool.GetMagic(), firstMagic);
    pool.Shutdown();
    EXPECT_EQ(pool.GetMemory(), nullptr);
    EXPECT_EQ(pool.CalculateFreeSize(), 0u);
}

TEST_F(PoolFixture, SmallRequestsTakeA32ByteNodeFromTheEnd)
{
    // Sizes 1, 0 and negative all become 16 user bytes: a 32-byte node carved from the
    // end of the free node, one below the other.
    const I32 sizes[] = {1, 0, -5, 16};
    for (U32 i = 0; i < 4; ++i)
    {
        void* p = m_pool.Malloc(sizes[i], 8, 0);
        EXPECT_EQ(p, UserAt(kPoolSize - 32 - 32 * (i + 1))) << "request " << sizes[i];
        EXPECT_EQ(m_pool.GetAllocSize(p), 32u);
    }
    EXPECT_EQ(m_pool.GetAllocSize(), 4 * 32u);
    EXPECT_EQ(m_pool.GetOverheadSize(), 64u + 4 * 16);
    EXPECT_EQ(m_pool.GetPeakAllocSize(), 4 * 32u);
    EXPECT_TRUE(m_pool.Validate());
}

TEST_F(PoolFixture, AlignedRequestsStartAtTheHighestAlignedAddress)
{
    struct Case
    {
        I32 size;
        U64 alignment;
    };
    const Case cases[] = {{24, 8}, {24, 16}, {100, 64}, {1, 128}, {200, 256}, {5, 1}, {5, 4}};
    for (const Case& c : cases)
    {
        void* p = m_pool.Malloc(c.size, c.alignment, 7);
        ASSERT_NE(p, nullptr);
        const U64 alignment = std::max<U64>(c.alignment, 8);
        EXPECT_TRUE(IsPointerAligned(p, alignment)) << c.size << "/" << c.alignment;
        // Carved from the end: the block ends exactly where the node ends, rounded to the
        // alignment, and no more than one alignment step of slack was taken.
        const U32 nodeSize = m_pool.GetAllocSize(p);
        const U64 userBytes = nodeSize - 16;
        EXPECT_GE(userBytes, static_cast<U64>(std::max(c.size, 16)));
        EXPECT_LT(userBytes, static_cast<U64>(std::max(c.size, 16)) + alignment);
        EXPECT_EQ(m_pool.GetUserDataForAllocation(p), 7u);
    }
    EXPECT_TRUE(m_pool.Validate());
}

TEST_F(PoolFixture, SmallRemainderTakesTheWholeNodeOnlyWhenItsAddressIsAligned)
{
    // A (top), B, C are 96-byte nodes; freeing B leaves a 96-byte free node between two
    // allocated ones at offset 3872 (user address 3888: aligned to 16, not to 32).
    void* a = m_pool.Malloc(80, 8, 0);
    void* b = m_pool.Malloc(80, 8, 0);
    void* c = m_pool.Malloc(80, 8, 0);
    ASSERT_EQ(b, UserAt(3872));
    m_pool.Free(b);
    ASSERT_EQ(m_pool.GetNumFreeAllocationUnits(), 2);

    // 48 bytes leave a remainder of 32: the whole 96-byte node is taken.
    void* whole = m_pool.Malloc(48, 8, 0);
    EXPECT_EQ(whole, b);
    EXPECT_EQ(m_pool.GetAllocSize(whole), 96u);
    EXPECT_EQ(m_pool.GetNumFreeAllocationUnits(), 1);
    m_pool.Free(whole);

    // Aligned to 16 the remainder is still 32 and 3888 is aligned: taken whole again.
    whole = m_pool.Malloc(48, 16, 0);
    EXPECT_EQ(whole, b);
    m_pool.Free(whole);

    // Aligned to 32 the remainder is 16 but 3888 is not aligned: the search moves on to
    // the big node at the front of the block.
    void* moved = m_pool.Malloc(48, 32, 0);
    EXPECT_LT(static_cast<U8*>(moved), static_cast<U8*>(c));
    EXPECT_TRUE(IsPointerAligned(moved, 32));
    EXPECT_EQ(m_pool.GetNumFreeAllocationUnits(), 2);
    EXPECT_TRUE(m_pool.Validate());
    (void)a;
}

TEST_F(PoolFixture, FreeingThreeNeighboursInAnyOrderRestoresAFreshPool)
{
    std::array<int, 3> order = {0, 1, 2};
    do
    {
        void* blocks[3];
        for (void*& p : blocks)
            p = m_pool.Malloc(100, 8, 0);
        for (int index : order)
        {
            m_pool.Free(blocks[index]);
            EXPECT_TRUE(m_pool.Validate());
        }
        ExpectFresh();
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(PoolFixture, FreedBlocksEnterTheListAtTheFrontAndAreReusedFirst)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 6; ++i)
        blocks.push_back(m_pool.Malloc(64, 8, 0));
    // Free two non-adjacent blocks; the one freed last is found first.
    m_pool.Free(blocks[1]);
    m_pool.Free(blocks[3]);
    EXPECT_EQ(m_pool.Malloc(64, 8, 0), blocks[3]);
    EXPECT_EQ(m_pool.Malloc(64, 8, 0), blocks[1]);
}

TEST_F(PoolFixture, PointerQueries)
{
    void* p = m_pool.Malloc(40, 8, 0);
    EXPECT_TRUE(m_pool.IsPtrInRange(p));
    EXPECT_TRUE(m_pool.IsValidPtr(p));
    EXPECT_FALSE(m_pool.IsValidPtr(static_cast<U8*>(p) + 8)) << "inside a block, not its start";
    EXPECT_FALSE(m_pool.IsValidPtr(nullptr));
    EXPECT_TRUE(m_pool.IsPtrInRange(Mem()));
    EXPECT_FALSE(m_pool.IsPtrInRange(Mem() + kPoolSize));
    EXPECT_FALSE(m_pool.IsValidPtr(Mem() + 8)) << "its header would lie before the block";
    int local = 0;
    EXPECT_FALSE(m_pool.IsValidPtr(&local));
    EXPECT_EQ(m_pool.GetAllocSize(&local), 0u);
    EXPECT_EQ(m_pool.GetAllocSize(nullptr), 0u);

    m_pool.SetUserDataForAllocation(p, 0xC0FFEE);
    EXPECT_EQ(m_pool.GetUserDataForAllocation(p), 0xC0FFEEu);

    m_pool.Free(p);
    EXPECT_FALSE(m_pool.IsValidPtr(p));
    EXPECT_EQ(m_pool.GetAllocSize(p), 0u);
}

TEST_F(PoolFixture, ResizeInPlace)
{
    // P's neighbour after it is X (allocated first, so above P).
    void* x = m_pool.Malloc(200, 8, 0);
    void* p = m_pool.Malloc(100, 8, 0);
    const U32 node = m_pool.GetAllocSize(p); // 104 user bytes + 16
    ASSERT_EQ(node, 120u);

    // Shrinking by less than 64 bytes changes nothing.
    EXPECT_TRUE(m_pool.ResizeAlloc(p, 50));
    EXPECT_EQ(m_pool.GetAllocSize(p), node);
    // Growing into an allocated neighbour fails and leaves the block as it was.
    EXPECT_FALSE(m_pool.ResizeAlloc(p, 300));
    EXPECT_EQ(m_pool.GetAllocSize(p), node);

    // Free X: P can now grow into it, leaving the rest of X as a free node.
    m_pool.Free(x);
    const U32 freeBefore = m_pool.GetFreeSize();
    EXPECT_TRUE(m_pool.ResizeAlloc(p, 150));
    EXPECT_EQ(m_pool.GetAllocSize(p), 152u + 16);
    EXPECT_EQ(m_pool.GetFreeSize(), freeBefore - (168 - node));
    EXPECT_TRUE(m_pool.Validate());

    // Growing by more than the free neighbour holds fails without change.
    EXPECT_FALSE(m_pool.ResizeAlloc(p, 1000));
    EXPECT_EQ(m_pool.GetAllocSize(p), 168u);

    // Growing so that less than 64 bytes would remain absorbs the whole neighbour.
    const U32 neighbour = 216 - (168 - 120); // what is left of X's 216-byte node
    EXPECT_TRUE(m_pool.ResizeAlloc(p, static_cast<I32>(168 - 16 + neighbour - 40)));
    EXPECT_EQ(m_pool.GetAllocSize(p), 168u + neighbour);
    EXPECT_TRUE(m_pool.Validate());

    // Shrinking by 64 or more frees the tail, merged with a free follower if any.
    EXPECT_TRUE(m_pool.ResizeAlloc(p, 16));
    EXPECT_EQ(m_pool.GetAllocSize(p), 32u);
    EXPECT_TRUE(m_pool.Validate());
    m_pool.Free(p);
    ExpectFresh();
}

TEST_F(PoolFixture, Realloc)
{
    void* p = m_pool.Malloc(64, 64, 0);
    std::memset(p, 0x5A, 64);

    // A pointer that does not meet the requested alignment is refused.
    EXPECT_EQ(m_pool.Realloc(p, 64, 4096), nullptr);
    EXPECT_TRUE(m_pool.IsValidPtr(p));

    // Shrinking stays in place.
    EXPECT_EQ(m_pool.Realloc(p, 32, 64), p);

    // Growing with an allocated neighbour moves the data.
    void* blocker = m_pool.Malloc(32, 8, 0);
    (void)blocker;
    void* q = m_pool.Malloc(64, 8, 0);
    std::memset(q, 0x33, 64);
    m_pool.SetUserDataForAllocation(q, 99);
    void* moved = m_pool.Realloc(q, 1000, 8);
    ASSERT_NE(moved, nullptr);
    ASSERT_NE(moved, q);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(static_cast<U8*>(moved)[i], 0x33);
    EXPECT_EQ(m_pool.GetUserDataForAllocation(moved), 0u) << "the user word is not carried over";
    EXPECT_FALSE(m_pool.IsValidPtr(q));

    // A request that cannot fit anywhere keeps the old block.
    EXPECT_EQ(m_pool.Realloc(moved, kPoolSize, 8), nullptr);
    EXPECT_TRUE(m_pool.IsValidPtr(moved));
    EXPECT_EQ(m_pool.Realloc(moved, 0x80000000u, 8), nullptr);
    EXPECT_TRUE(m_pool.Validate());
}

TEST_F(PoolFixture, CanAllocAgreesWithMalloc)
{
    EXPECT_TRUE(m_pool.CanAlloc(kPoolSize - 48, 8));
    EXPECT_FALSE(m_pool.CanAlloc(kPoolSize - 47, 8));
    EXPECT_FALSE(m_pool.CanAlloc(kPoolSize - 48, 8192));
    // A 48-byte free node between allocated ones, user address aligned to 16 but not 64.
    void* top = m_pool.Malloc(kPoolSize - 32 - 48 - 96 - 16, 8, 0);
    void* mid = m_pool.Malloc(32, 8, 0);
    void* low = m_pool.Malloc(80, 8, 0);
    ASSERT_NE(low, nullptr);
    ASSERT_EQ(m_pool.GetFreeSize(), 0u);
    (void)top;
    // Freeing the middle node: it fits 32 bytes aligned to 8, not 40, nor 32 aligned to 4096.
    EXPECT_TRUE(m_pool.FreeCheckCanAlloc(mid, 32, 8));
    EXPECT_TRUE(m_pool.CanAlloc(32, 8));
    EXPECT_FALSE(m_pool.CanAlloc(40, 8));
    EXPECT_FALSE(m_pool.CanAlloc(32, 4096));
    EXPECT_EQ(m_pool.Malloc(40, 8, 0), nullptr);
    EXPECT_EQ(m_pool.Malloc(32, 8, 0), mid);
}

TEST_F(PoolFixture, VisitAllNodesWalksInAddressOrder)
{
    void* a = m_pool.Malloc(100, 8, 0);
    void* b = m_pool.Malloc(100, 8, 0);
    m_pool.Malloc(100, 8, 0);
    m_pool.Free(b);
    (void)a;
    struct Visit
    {
        std::vector<std::pair<U32, bool>> nodes;
        I32 numFree = 0;
        I32 numAllocated = 0;
    } visit;
    m_pool.VisitAllNodes(
        [](void* pNode, U32 size, U32 freeOverhead, U32 allocOverhead, bool isFree, I32 numFree,
           I32 numAllocated, void* pArg)
        {
            auto* v = static_cast<Visit*>(pArg);
            EXPECT_EQ(freeOverhead, 32u);
            EXPECT_EQ(allocOverhead, 16u);
            v->nodes.emplace_back(size, isFree);
            v->numFree = numFree;
            v->numAllocated = numAllocated;
        },
        &visit);
    const std::vector<std::pair<U32, bool>> expected = {
        {kPoolSize - 32 - 3 * 120, true}, {120, false}, {120, true}, {120, false}};
    EXPECT_EQ(visit.nodes, expected);
    EXPECT_EQ(visit.numFree, 2);
    EXPECT_EQ(visit.numAllocated, 2);
}

TEST(MemoryPoolThreads, ThreadSafePoolSurvivesConcurrentUse)
{
    std::vector<U64> storage(1 << 15);
    MemoryPoolMalloc pool;
    pool.Init(storage.data(), 1 << 18);
    pool.MakeThreadSafe();
    auto churn = [&pool](U32 seed)
    {
        std::mt19937 rng(seed);
        std::vector<void*> live;
        for (int i = 0; i < 3000; ++i)
        {
            if (live.size() < 32 && (rng() & 1))
            {
                void* p = pool.Malloc(static_cast<I32>(rng() % 512), 16, seed);
                if (p)
                    live.push_back(p);
            }
            else if (!live.empty())
            {
                const size_t index = rng() % live.size();
                EXPECT_EQ(pool.GetUserDataForAllocation(live[index]), seed);
                pool.Free(live[index]);
                live[index] = live.back();
                live.pop_back();
            }
        }
        for (void* p : live)
            pool.Free(p);
    };
    std::thread t1(churn, 1u);
    std::thread t2(churn, 2u);
    t1.join();
    t2.join();
    EXPECT_TRUE(pool.Validate());
    EXPECT_EQ(pool.GetAllocSize(), 0u);
    EXPECT_EQ(pool.GetNumFreeAllocationUnits(), 1);
}

// ---- Validation and misuse ----------------------------------------------------------

TEST_F(PoolFixture, ValidationReportNamesTheNodeAndTheCheck)
{
    DoutCapture capture;
    SetMsgOutput(kMsgChannelError, &capture);
    m_pool.Malloc(64, 8, 0);
    Node* pNode = reinterpret_cast<Node*>(Mem());
    const U32 magic = pNode->m_header.m_magic;
    pNode->m_header.m_magic ^= 1;
    {
        ScopedBreakpointCatcher catcher;
        EXPECT_FALSE(m_pool.Validate());
        EXPECT_EQ(ScopedBreakpointCatcher::GetCaughtCount(), 1);
    }
    pNode->m_header.m_magic = magic;
    SetMsgOutput(kMsgChannelError, nullptr);
    char expected[128];
    std::snprintf(expected, sizeof(expected),
                  "###### ERROR WHEN VALIDATING MEMORY POOL NODE @ %012" PRIX64 " (Magic corrupted)######",
                  static_cast<U64>(reinterpret_cast<UPtr>(pNode)));
    EXPECT_NE(capture.m_text.find(expected), std::string::npos) << capture.m_text;
    EXPECT_NE(capture.m_text.find("ERROR: "), std::string::npos);
    EXPECT_EQ(MemoryPoolMalloc::GetValidationContext(), 0u) << "the switch is restored";
}

// Each corruption and the check that must catch it.
struct Corruption
{
    const char* name;
    void (*corrupt)(MemoryPoolMalloc& pool, U8* mem, void* allocated, void* freed);
    const char* message;
};

Node* HeaderOf(void* p)
{
    return reinterpret_cast<Node*>(static_cast<U8*>(p) - 16);
}

const Corruption kCorruptions[] = {
    {"magic",
     [](MemoryPoolMalloc&, U8* mem, void*, void*) { reinterpret_cast<Node*>(mem)->m_header.m_magic += 1; },
     "Magic corrupted"},
    {"prev size", [](MemoryPoolMalloc&, U8*, void* a, void*) { HeaderOf(a)->m_header.m_prevSize -= 8; },
     "PrevSize != PrevNode->Size"},
    {"size zero", [](MemoryPoolMalloc&, U8*, void* a, void*) { HeaderOf(a)->m_header.m_size = 0; },
     "Size is 0"},
    {"size into the next node",
     [](MemoryPoolMalloc&, U8*, void* a, void*) { HeaderOf(a)->m_header.m_size += 8; },
     "NextNode Magic is corrupted"},
    // Off the node grid (a free node before an allocated one): the validator must not read
    // a header at the unaligned address.
    {"size off the node grid",
     [](MemoryPoolMalloc&, U8*, void*, void* f) { HeaderOf(f)->m_header.m_size += 3; },
     "NextNode Magic is corrupted"},
    {"free node marked allocated",
     [](MemoryPoolMalloc&, U8*, void*, void* f)
     {
         Node* n = HeaderOf(f);
         n->m_header.m_size = -n->m_header.m_size;
         // Keep the chain consistent so that only the totals disagree.
         reinterpret_cast<Node*>(reinterpret_cast<U8*>(n) - n->m_header.m_size)->m_header.m_prevSize =
             n->m_header.m_size;
     },
     "AllocSize != m_allocSize"},
    {"free list link",
     [](MemoryPoolMalloc&, U8*, void*, void* f) { HeaderOf(f)->m_pNext = HeaderOf(f)->m_pPrev; },
     "\\(Trav\\) FreeNodes != FreeNodesTraversed"},
};

class PoolCorruption : public PoolFixture, public ::testing::WithParamInterface<Corruption>
{
};

TEST_P(PoolCorruption, ValidateReportsIt)
{
    const Corruption& c = GetParam();
    EXPECT_DEATH(
        {
            void* a = m_pool.Malloc(64, 8, 0);
            void* f = m_pool.Malloc(64, 8, 0);
            m_pool.Malloc(64, 8, 0);
            m_pool.Free(f);
            c.corrupt(m_pool, Mem(), a, f);
            m_pool.Validate();
        },
        c.message);
}

INSTANTIATE_TEST_SUITE_P(All, PoolCorruption, ::testing::ValuesIn(kCorruptions),
                         [](const ::testing::TestParamInfo<Corruption>& info)
                         {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST_F(PoolFixture, DebugValidationSwitchNeedsAnEmbeddingAllocator)
{
    // The switch only acts on the pool embedded in the context's allocator; with no
    // allocator registered, operations run as usual.
    MemoryPoolMalloc::SetValidationContext(5);
    void* p = m_pool.Malloc(64, 8, 0);
    EXPECT_NE(p, nullptr);
    m_pool.Free(p);
    MemoryPoolMalloc::SetValidationContext(0);
}

// Counts the memory reports it is asked for.
class ReportCounter : public IAllocationTracker
{
public:
    void Clear() override {}
    void SetAllocator(Memory::Allocator*) override {}
    AllocationEntry* FindAllocation(U64) override { return nullptr; }
    const AllocationEntry* FindAllocation(U64) const override { return nullptr; }
    const char* GetAllocationFile(U64) const override { return nullptr; }
    U32 GetAllocationLine(U64) const override { return 0; }
    U32 GetNumAllocations() const override { return 0; }
    void PrintMemoryReport() override
    {
        ++m_reports;
        m_switchDuringReport = MemoryPoolMalloc::GetValidationContext();
    }
    void TrackAllocation(const char*, U32, const char*, U32, U32, U32, U64) override {}
    void TrackDeallocation(const char*, U32, const char*, U64, U32) override {}
    void FreeToMarker(const Memory::Marker&) override {}
    const char* GetName() const override { return "Reports"; }
    U64 GetNameId() const override { return 0; }
    void SetLeakDetectionMarker() override {}
    void PrintLeakDetectionReport() override {}
    int m_reports = 0;
    U32 m_switchDuringReport = 99;
};

TEST(MemoryPoolValidationSwitch, ValidatesThePoolOfTheContextsAllocatorAroundEachOperation)
{
    TestMemoryScope scope;
    TestPoolAllocator allocator(8192);
    ReportCounter tracker;
    allocator.SetTracker(&tracker);
    scope.Register(Memory::kAllocAppCpu, &allocator);
    MemoryPoolMalloc& pool = allocator.GetPool();
    void* p = pool.Malloc(64, 8, 0);
    // A stomped header is found by the validation before the operation even starts.
    reinterpret_cast<Node*>(static_cast<U8*>(p) - 16)->m_header.m_magic ^= 4;
    MemoryPoolMalloc::SetValidationContext(Memory::kAllocAppCpu.GetValue());
    {
        ScopedBreakpointCatcher catcher;
        pool.Malloc(16, 8, 0);
        EXPECT_GE(ScopedBreakpointCatcher::GetCaughtCount(), 1);
    }
    MemoryPoolMalloc::SetValidationContext(0);
    // Trackers of contexts 5 (twice) and 14 print their reports, with the switch off.
    EXPECT_GE(tracker.m_reports, 2);
    EXPECT_EQ(tracker.m_reports % 2, 0);
    EXPECT_EQ(tracker.m_switchDuringReport, 0u);
    reinterpret_cast<Node*>(static_cast<U8*>(p) - 16)->m_header.m_magic ^= 4;
    allocator.RemoveTracker();
    EXPECT_DEATH(
        {
            MemoryPoolMalloc::SetValidationContext(Memory::kAllocAppCpu.GetValue());
            reinterpret_cast<Node*>(static_cast<U8*>(p) - 16)->m_header.m_prevSize += 8;
            pool.Free(p);
        },
        "PrevSize != PrevNode->Size");
}

using MemoryPoolDeathTest = PoolFixture;

TEST_F(MemoryPoolDeathTest, DoubleFree)
{
    void* a = m_pool.Malloc(64, 8, 0);
    void* b = m_pool.Malloc(64, 8, 0);
    m_pool.Malloc(64, 8, 0);
    // b's neighbours are allocated: its header survives as a free node.
    m_pool.Free(b);
    EXPECT_DEATH(m_pool.Free(b), "pNodeToFree->m_header.m_size < 0");
    // a merges into the free node below it: its header loses the magic.
    m_pool.Free(a);
    EXPECT_DEATH(m_pool.Free(a), "pNodeToFree->m_header.m_magic == m_magic");
}

TEST_F(MemoryPoolDeathTest, ForeignPointers)
{
    alignas(16) U8 other[64];
    EXPECT_DEATH(m_pool.Free(other + 16), "IsUserPtrInPool\\(pMemToFree\\)");
    EXPECT_DEATH(m_pool.Free(nullptr), "pMemToFree != nullptr");
    void* p = m_pool.Malloc(64, 8, 0);
    EXPECT_DEATH(m_pool.Free(static_cast<U8*>(p) + 8), "pNodeToFree->m_header.m_magic == m_magic");
    EXPECT_DEATH(m_pool.ResizeAlloc(other + 16, 8), "IsUserPtrInPool\\(pAddr\\)");
    EXPECT_DEATH(m_pool.Realloc(p, 0, 8), "newSize > 0");
    EXPECT_DEATH(m_pool.ResizeAlloc(p, 0), "newSize > 0");
}

TEST_F(MemoryPoolDeathTest, WrongMagic)
{
    // A block of another pool over the same memory carries that pool's magic.
    void* p = m_pool.Malloc(64, 8, 0);
    HeaderOf(p)->m_header.m_magic ^= 0x10;
    EXPECT_DEATH(m_pool.Free(p), "pNodeToFree->m_header.m_magic == m_magic");
    EXPECT_DEATH(m_pool.GetUserDataForAllocation(p), "pNode->m_header.m_magic == m_magic");
    EXPECT_DEATH(m_pool.Realloc(p, 128, 8), "pNodeToResize->m_magic == m_magic");
    EXPECT_DEATH(m_pool.ResizeAlloc(p, 128), "pNodeToResize->m_header.m_magic == m_magic");
    HeaderOf(p)->m_header.m_magic ^= 0x10;
    // A stomped free node (the big one at the start of the block) is caught by the
    // free-list walks.
    reinterpret_cast<Node*>(Mem())->m_header.m_magic = 0;
    EXPECT_DEATH(m_pool.Malloc(16, 8, 0), "pFreeNode->m_header.m_magic == m_magic");
    EXPECT_DEATH(m_pool.CalculateFreeSize(), "stomped on");
}

TEST(MemoryPoolMisuse, InitAndSetupPreconditions)
{
    alignas(16) static U8 mem[256];
    MemoryPoolMalloc pool;
    EXPECT_DEATH(pool.Malloc(16, 8, 0), "m_freeList.m_pNext != 0");
    EXPECT_DEATH(pool.Init(mem, 0x7FFFFFFF), "size < 0x7FFFFFFF");
    EXPECT_DEATH(pool.Init(mem, 32), "size >= static_cast<I32>\\(2 \\* sizeof\\(Node\\)\\)");
    EXPECT_DEATH(pool.Init(mem + 4, 128), "IsPointerAligned");
    pool.Init(mem, sizeof(mem));
    EXPECT_DEATH(pool.Malloc(16, 24, 0), "IsPowerOfTwo\\(alignment\\)");
    pool.MakeThreadSafe();
    EXPECT_DEATH(pool.MakeThreadSafe(), "!m_isThreadSafe");
    EXPECT_DEATH(pool.VisitAllNodes(nullptr, nullptr), "pCallback");
}

// ---- Randomized ---------------------------------------------------------------------

void FailTest(const char* what)
{
    ADD_FAILURE() << what;
}

TEST(MemoryPoolRandomized, ChurnKeepsEveryBlockIntactAndThePoolValid)
{
    const U32 poolSizes[] = {4096, 64 * 1024, 256 * 1024};
    for (U32 seed = 1; seed <= 6; ++seed)
    {
        const U32 poolSize = poolSizes[seed % 3];
        MemoryPoolDriver driver(poolSize, FailTest);
        std::mt19937 rng(seed);
        for (int step = 0; step < 4000; ++step)
        {
            driver.Step(rng(), rng(), rng());
            if (::testing::Test::HasFailure())
            {
                FAIL() << "seed " << seed << " step " << step;
            }
        }
        driver.FreeEverything();
        ASSERT_FALSE(::testing::Test::HasFailure()) << "seed " << seed;
    }
}
} // namespace
