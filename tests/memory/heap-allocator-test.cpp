#include "corelib/memory/allocator-heap.h"

#include "corelib/memory/memory.h"
#include "corelib/util/msg.h"
#include "tests/memory/test-pool-allocator.h"
#include "tests/support/breakpoint-catcher.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{
// Counts what an allocator tells its tracker.
class CountingTracker : public IAllocationTracker
{
public:
    void Clear() override { ++m_clears; }
    void SetAllocator(Memory::Allocator*) override {}
    AllocationEntry* FindAllocation(U64) override { return nullptr; }
    const AllocationEntry* FindAllocation(U64) const override { return nullptr; }
    const char* GetAllocationFile(U64) const override { return nullptr; }
    U32 GetAllocationLine(U64) const override { return 0xFFFFFFFFu; }
    U32 GetNumAllocations() const override { return m_allocations; }
    void PrintMemoryReport() override { ++m_reports; }
    void TrackAllocation(const char*, U32, const char*, U32, U32 value, U32, U64) override
    {
        ++m_allocations;
        m_lastValue = value;
    }
    void TrackDeallocation(const char*, U32, const char*, U64, U32) override {}
    void FreeToMarker(const Memory::Marker&) override { ++m_markers; }
    const char* GetName() const override { return "Counting"; }
    U64 GetNameId() const override { return 0; }
    void SetLeakDetectionMarker() override {}
    void PrintLeakDetectionReport() override {}

    int m_clears = 0;
    int m_reports = 0;
    int m_markers = 0;
    U32 m_allocations = 0;
    U32 m_lastValue = 0;
};

constexpr U64 kBufferSize = 1024;

class HeapAllocatorTest : public ::testing::Test
{
protected:
    void* Alloc(U64 size, U64 alignment = 8)
    {
        return m_heap.Allocate(size, alignment, __FILE__, __LINE__, __func__);
    }
    U64 Used() { return m_heap.GetTotalSize() - m_heap.GetFreeSize(); }

    alignas(128) U8 m_buffers[3][kBufferSize];
    HeapAllocator m_heap{"TestHeap"};
};

TEST_F(HeapAllocatorTest, InitAllocateAndQueries)
{
    EXPECT_FALSE(m_heap.IsInitialized());
    m_heap.Init(m_buffers[0], kBufferSize);
    EXPECT_TRUE(m_heap.IsInitialized());
    EXPECT_TRUE(m_heap.IsThreadSafe());
    EXPECT_EQ(m_heap.GetMemoryBase(), m_buffers[0]);
    EXPECT_EQ(m_heap.GetTotalSize(), kBufferSize);

    CountingTracker tracker;
    m_heap.SetTracker(&tracker);
    U8* a = static_cast<U8*>(Alloc(0, 1));
    EXPECT_EQ(a, m_buffers[0]);
    EXPECT_EQ(Used(), 1u) << "zero bytes advance current by one";
    U8* b = static_cast<U8*>(Alloc(8, 16));
    EXPECT_EQ(b, m_buffers[0] + 16);
    EXPECT_EQ(tracker.m_lastValue, 15u) << "the tracker gets the alignment padding";
    EXPECT_EQ(tracker.m_allocations, 2u);
    EXPECT_TRUE(m_heap.IsValidPtr(b));
    EXPECT_FALSE(m_heap.IsValidPtr(b + 8));
    EXPECT_TRUE(m_heap.IsPtrInRange(b + 8));
    EXPECT_TRUE(m_heap.CanAllocate(kBufferSize - 24, 8));
    EXPECT_FALSE(m_heap.CanAllocate(kBufferSize - 23, 8));

    // Free gives nothing back; a marker rewinds.
    m_heap.Free(b, __FILE__, __LINE__, __func__);
    EXPECT_EQ(Used(), 24u);
    const Memory::Marker marker = m_heap.GetMarker();
    Alloc(100);
    m_heap.FreeToMarker(marker);
    EXPECT_EQ(Used(), 24u);
    EXPECT_EQ(tracker.m_markers, 1);

    m_heap.Clear();
    EXPECT_EQ(Used(), 0u);
    EXPECT_EQ(tracker.m_clears, 1);

    // A raised report request is served by the tracker once.
    *m_heap.GetReportRequestFlag() = 1;
    m_heap.ProcessReportRequest();
    m_heap.ProcessReportRequest();
    EXPECT_EQ(tracker.m_reports, 1);
    m_heap.RemoveTracker();

    m_heap.Shutdown();
    EXPECT_FALSE(m_heap.IsInitialized());
    EXPECT_EQ(m_heap.GetTotalSize(), 0u);
    EXPECT_FALSE(m_heap.IsThreadSafe());
}

TEST_F(HeapAllocatorTest, ResetModes)
{
    struct Case
    {
        U32 numBuffers;
        U32 mode;
        bool keep;
        U32 expectedBuffers[4]; // buffer in use after each of four resets
        bool rewinds;
    };
    const Case cases[] = {
        {1, HeapAllocator::kResetNone, false, {0, 0, 0, 0}, false},
        {1, HeapAllocator::kResetRewind, true, {0, 0, 0, 0}, true},
        {2, HeapAllocator::kResetRewindUnlessKeep, false, {0, 0, 0, 0}, true},
        {2, HeapAllocator::kResetRewindUnlessKeep, true, {0, 0, 0, 0}, false},
        {2, HeapAllocator::kResetNextBuffer, true, {1, 0, 1, 0}, true},
        {3, HeapAllocator::kResetNextBuffer, false, {1, 2, 0, 1}, true},
        {3, HeapAllocator::kResetNextBufferUnlessKeep, false, {1, 2, 0, 1}, true},
        {3, HeapAllocator::kResetNextBufferUnlessKeep, true, {0, 0, 0, 0}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message()
                     << c.numBuffers << " buffers, mode " << c.mode << ", keep " << c.keep);
        if (c.numBuffers == 1)
            m_heap.Init(m_buffers[0], kBufferSize, c.mode);
        else if (c.numBuffers == 2)
            m_heap.Init(m_buffers[0], m_buffers[1], kBufferSize, c.mode);
        else
            m_heap.Init(m_buffers[0], m_buffers[1], m_buffers[2], kBufferSize, c.mode);
        for (U32 expected : c.expectedBuffers)
        {
            U8* p = static_cast<U8*>(Alloc(40));
            m_heap.Reset(c.keep);
            EXPECT_EQ(m_heap.GetBufferIndex(), expected);
            if (c.rewinds)
            {
                EXPECT_EQ(Used(), 0u);
                EXPECT_EQ(m_heap.GetMarker(), reinterpret_cast<UPtr>(m_buffers[expected]));
            }
            else
            {
                EXPECT_GT(Used(), 0u) << "the contents are kept";
                EXPECT_TRUE(m_heap.IsValidPtr(p));
            }
        }
    }
}

TEST_F(HeapAllocatorTest, FrameRanges)
{
    m_heap.Init(m_buffers[0], m_buffers[1], m_buffers[2], kBufferSize, HeapAllocator::kResetNextBuffer);
    EXPECT_TRUE(m_heap.IsPtrInDoubleFrameRange(m_buffers[1] + kBufferSize - 1));
    EXPECT_FALSE(m_heap.IsPtrInDoubleFrameRange(m_buffers[2]));
    EXPECT_TRUE(m_heap.IsPtrInTripleFrameRange(m_buffers[2]));
    EXPECT_FALSE(m_heap.IsPtrInTripleFrameRange(m_buffers[2] + kBufferSize));

    // Relocation moves the buffers and the arena inside the range only.
    const UPtr base = reinterpret_cast<UPtr>(m_buffers[1]);
    m_heap.Relocate(64, base, base + 2 * kBufferSize);
    EXPECT_EQ(m_heap.GetMemoryBase(), m_buffers[0]);
    EXPECT_TRUE(m_heap.IsPtrInTripleFrameRange(m_buffers[2] + kBufferSize + 63));
}

TEST_F(HeapAllocatorTest, FailureIsReportedUnlessSwitchedOff)
{
    m_heap.Init(m_buffers[0], 64);
    m_heap.GetArena().SetQuiet(true);
    EXPECT_DEATH(Alloc(65), "Allocation failed: 65 bytes 8 aligned in heap-allocator-test.cpp:");
    EXPECT_DEATH(Alloc(65), "TestHeap \\[Free: 64 Total: 64\\]");
    EXPECT_TRUE(m_heap.SetAssertOnFailure(false));
    EXPECT_EQ(Alloc(65), nullptr);
    // The lock was released: the allocator still works.
    EXPECT_NE(Alloc(64), nullptr);
}

TEST_F(HeapAllocatorTest, UnsupportedOperations)
{
    m_heap.Init(m_buffers[0], kBufferSize, 7);
    EXPECT_DEATH(m_heap.Reset(false), "Assertion failed: 0");
    EXPECT_DEATH(m_heap.UnmapMemory(), "Assertion failed: false");
    EXPECT_DEATH(m_heap.MapMemory(), "Assertion failed: false");
    EXPECT_DEATH(m_heap.FreeToMarker(reinterpret_cast<UPtr>(m_buffers[1] + 1)), "m_pMemory <= newCurrent");
}

TEST(HeapAllocatorWithOverflowTest, OverflowTakesEveryRequestAfterTheFirstMiss)
{
    alignas(64) static U8 arenaMem[256];
    TestPoolAllocator overflow(16 * 1024, "Overflow");
    HeapAllocatorWithOverflow heap(&overflow, "WithOverflow");
    EXPECT_FALSE(heap.WillAssertOnFailure());
    heap.Init(arenaMem, sizeof(arenaMem));
    heap.GetArena().SetQuiet(true);

    EXPECT_EQ(heap.Allocate(200, 8, __FILE__, __LINE__, __func__), arenaMem);
    EXPECT_EQ(heap.GetOverflowBytes(), 0u);
    void* big = heap.Allocate(100, 64, __FILE__, __LINE__, __func__);
    EXPECT_TRUE(overflow.IsValidPtr(big));
    // used 200 -> raised to 256 for alignment 64: slack 56, plus the 100 bytes.
    EXPECT_EQ(heap.GetOverflowBytes(), 156u);
    void* small = heap.Allocate(8, 8, __FILE__, __LINE__, __func__);
    EXPECT_TRUE(overflow.IsValidPtr(small)) << "a request that would fit the arena still overflows";
    EXPECT_EQ(heap.GetOverflowBytes(), 168u) << "356 raised to 360, plus 8";
    EXPECT_EQ(overflow.m_numAllocations, 2u);

    // Without an overflow allocator a miss is a plain failure.
    HeapAllocatorWithOverflow alone(nullptr);
    alone.Init(arenaMem, 16);
    alone.GetArena().SetQuiet(true);
    EXPECT_EQ(alone.Allocate(32, 8, __FILE__, __LINE__, __func__), nullptr);
    EXPECT_EQ(alone.GetOverflowBytes(), 32u);
}

TEST(HeapAllocatorWithOverflowTest, QueriesThatCannotBeAnsweredAreRefused)
{
    alignas(64) static U8 arenaMem[64];
    HeapAllocatorWithOverflow heap(nullptr);
    heap.Init(arenaMem, sizeof(arenaMem));
    EXPECT_DEATH(heap.Reset(false), "HeapAllocatorWithOverflow::Reset");
    EXPECT_DEATH(heap.IsValidPtr(arenaMem), "HeapAllocatorWithOverflow::IsValidPtr");
    EXPECT_DEATH(heap.IsPtrInRange(arenaMem), "HeapAllocatorWithOverflow::IsPtrInRange");
    EXPECT_DEATH(heap.CanAllocate(1, 1), "HeapAllocatorWithOverflow::CanAllocate");
}

// Janitors: the calling thread's allocator stack, pool allocators behind two contexts
// and one memory map for the whole process.
class JanitorTest : public ::testing::Test
{
protected:
    static constexpr U32 kMapCustom = 1;
    static constexpr U32 kMapChecked = 2;

    void SetUp() override
    {
        static const Memory::MemoryMapEntry kMap[] = {
            {kMapCustom, Memory::kAllocAppCpu, 4096, kAlign128, "Custom"},
            {kMapChecked, Memory::kAllocAppCpu, 10 * 1024, kAlign64, "Checked"},
            {0, Memory::kAllocInvalid, 0, kAlign8, nullptr},
        };
        if (!Memory::g_pMemoryMap)
            Memory::SetMemoryMap(kMap, nullptr);
        m_scope.Register(Memory::kAllocAppCpu, &m_appPool);
        m_scope.Register(Memory::kAllocDevCpu, &m_devPool);
        SetMsgOutput(kMsgChannelInfo, &m_info);
    }
    void TearDown() override { SetMsgOutput(kMsgChannelInfo, nullptr); }

    static void Use(U64 bytes)
    {
        // Through the allocator stack, as code inside the janitor's scope would.
        while (bytes)
        {
            const U64 chunk = bytes < 512 ? bytes : 512;
            ASSERT_NE(Memory::Allocate(chunk, 8, __FILE__, __LINE__, __func__), nullptr);
            bytes -= chunk;
        }
    }

    TestMemoryScope m_scope;
    TestPoolAllocator m_appPool{64 * 1024, "App"};
    TestPoolAllocator m_devPool{64 * 1024, "Dev"};
    DoutCapture m_info;
};

TEST_F(JanitorTest, CustomJanitorIsCurrentForItsScopeAndReturnsItsBlock)
{
    const U32 depth = Memory::GetAllocatorStackDepth();
    {
        CustomAllocateJanitor janitor(kMapCustom, "game/file.cpp", 12, "Func", false);
        EXPECT_EQ(Memory::TopAllocator(), &janitor);
        EXPECT_EQ(janitor.GetTotalSize(), 4096u);
        EXPECT_TRUE(m_appPool.IsValidPtr(janitor.GetMemoryBase()));
        EXPECT_TRUE(IsPointerAligned(janitor.GetMemoryBase(), 128));
        Use(1000);
        EXPECT_EQ(janitor.GetFreeSize(), 4096u - 1000);
    }
    EXPECT_EQ(Memory::GetAllocatorStackDepth(), depth);
    EXPECT_EQ(m_appPool.m_numFrees, 1u) << "the block goes back to its context";
    EXPECT_EQ(m_info.m_text, "") << "less than 1 MiB unused: no warning";
}

TEST_F(JanitorTest, CustomJanitorWarnsAboutMoreThanOneMegabyteUnused)
{
    std::vector<U8> block(0x100000 + 1 + 64);
    {
        CustomAllocateJanitor janitor(block.data(), block.size(), "game/file.cpp", 34, "Func", false);
        Use(64);
    }
    EXPECT_EQ(m_info.m_text, "1.000 MiB of wasted memory in custom allocator! game/file.cpp:34 - Func\n");
    m_info.m_text.clear();
    {
        CustomAllocateJanitor quiet(block.data(), block.size(), "game/file.cpp", 35, "Func", true);
    }
    {
        CustomAllocateJanitor exact(block.data(), 0x100000 + 64, "game/file.cpp", 36, "Func", false);
        Use(64);
    }
    EXPECT_EQ(m_info.m_text, "") << "quiet, or exactly 1 MiB free: no warning";
    EXPECT_EQ(m_appPool.m_numFrees, 0u) << "a caller's block stays the caller's";
}

TEST_F(JanitorTest, CheckedJanitorAcceptsABudgetWithinOneKilobyteOfTheNeed)
{
    {
        CheckedExactHeapAllocatorJanitor janitor(kMapChecked, "game/file.cpp", 56, "Func");
        EXPECT_TRUE(IsPointerAligned(janitor.GetMemoryBase(), 64));
        Use(9 * 1024 + 512);
    }
    EXPECT_EQ(m_info.m_text, "");
    EXPECT_EQ(m_appPool.m_numFrees, 1u);
}

TEST_F(JanitorTest, CheckedJanitorReportsAWrongBudget)
{
    struct Case
    {
        U64 need;
        const char* report;
    };
    const Case cases[] = {
        {8 * 1024,
         "CheckedExactHeapAllocatorJanitor: Required size is 8 Kb / 0.008 MiB. (game/file.cpp:78 - Func)\n"},
        // Beyond the budget: the overflow allocator serves the rest and the need is still known.
        {12 * 1024 + 100,
         "CheckedExactHeapAllocatorJanitor: Required size is 13 Kb / 0.013 MiB. (game/file.cpp:78 - Func)\n"},
    };
    for (const Case& c : cases)
    {
        m_info.m_text.clear();
        ScopedBreakpointCatcher catcher;
        {
            CheckedExactHeapAllocatorJanitor janitor(kMapChecked, "game/file.cpp", 78, "Func");
            janitor.GetArena().SetQuiet(true);
            Use(c.need);
        }
        EXPECT_EQ(ScopedBreakpointCatcher::GetCaughtCount(), 1);
        EXPECT_EQ(m_info.m_text, c.report);
    }
    EXPECT_GT(m_devPool.m_numAllocations, 0u) << "the overflow went to the kAllocDevCpu allocator";
}
} // namespace
