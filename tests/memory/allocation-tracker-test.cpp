// Allocation trackers attached to pool and heap allocators: recording and removal,
// overflow, unknown addresses, rewinds and clears, the allocation report and the
// leak-detection report (byte-exact on channel 17).
#include "corelib/memory/allocation-tracker.h"

#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/system/platform/platform.h"
#include "corelib/util/msg.h"
#include "tests/memory/test-pool-allocator.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Host set-up: an allocator stack, development memory (the trackers' storage), the
// scoped temporary allocators (the reports' scratch memory) and captured channels 17 and 8.
class AllocationTrackerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_bookkeeping.Init(m_bookkeepingMemory, sizeof(m_bookkeepingMemory));
        m_memory.Register(Memory::kAllocSystemDirect, &m_bookkeeping);
        m_memory.Register(Memory::kAllocDevCpu, &m_dev);
        InitializeScopedTempAllocSystem(m_scratch.data(), m_scratch.size(), 4);
        SetMsgOutput(kMsgChannelAllocTracker, &m_report);
        SetMsgOutput(kMsgChannelError, &m_errors);
        SetAllocationSummarySortMode(kAllocationSummarySortByName);
        SetAllocationReportListing(true);
        SetAllocationTrackingEnabled(true);
    }

    void TearDown() override
    {
        SetMsgOutput(kMsgChannelAllocTracker, nullptr);
        SetMsgOutput(kMsgChannelError, nullptr);
        ShutdownScopedTempAllocSystem();
        SetAllocationSummarySortMode(kAllocationSummarySortByName);
        SetAllocationTrackingEnabled(true);
    }

    // The report text since the last call.
    std::string TakeReport()
    {
        std::string text;
        text.swap(m_report.m_text);
        return text;
    }

    TestMemoryScope m_memory;
    alignas(16) U8 m_bookkeepingMemory[4096];
    HeapAllocator m_bookkeeping{"Bookkeeping"};
    TestPoolAllocator m_dev{1024 * 1024, "TestDevCpu"};
    std::vector<U8> m_scratch = std::vector<U8>(256 * 1024);
    DoutCapture m_report;
    DoutCapture m_errors;
};

std::string Format(const char* fmt, ...) OX_PRINTF_FORMAT(1, 2);
std::string Format(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

U64 Address(const void* p)
{
    return static_cast<U64>(reinterpret_cast<UPtr>(p));
}

TEST_F(AllocationTrackerTest, ReportOfAPoolAllocatorIsExact)
{
    TestPoolAllocator pool(64 * 1024, "Tracked Pool");
    GenericAllocationTracker tracker("Pool Tracker", 16);
    pool.SetTracker(&tracker);
    void* a = pool.Allocate(100, 16, "game/src/render/mesh.cpp", 10, "LoadMesh");
    void* b = pool.Allocate(100, 16, "game\\src\\render\\mesh.cpp", 10, "LoadMesh");
    void* c = pool.Allocate(5000, 16, "zz.cpp", 5, "Other");
    EXPECT_EQ(tracker.GetNumAllocations(), 3u);
    EXPECT_EQ(tracker.GetCurrentBytes(), 5200u);

    tracker.PrintMemoryReport();
    const U64 total = pool.GetTotalSize();
    const U64 free = pool.GetFreeSize();
    std::string expected =
        "==================== Allocation Report For 'Pool Tracker' [BEGIN] ======================\n";
    const char* listing = "%7d: 0x%012" PRIX64 " %s (%7u/%7u) - %-70s\n";
    expected += Format(listing, 0, Address(a), "         100 B  ", 0u, 0u, "mesh.cpp:10 - LoadMesh");
    expected += Format(listing, 1, Address(b), "         100 B  ", 0u, 0u, "mesh.cpp:10 - LoadMesh");
    expected += Format(listing, 2, Address(c), "           4 KiB", 0u, 0u, "zz.cpp:5 - Other");
    expected += "\nSummary by File/Line/Func:\n\n";
    expected += "         200 B   (     2 allocs) mesh.cpp:10 - LoadMesh\n";
    expected += "           4 KiB (     1 allocs) zz.cpp:5 - Other\n";
    expected += "\nNumFiles: 2\n\n";
    expected += "      Num Allocations:        3\n";
    expected += "          Allocations:        5 KB\n";
    expected += Format("          Overhead:     %7llu KB (%7d KB)\n",
                       static_cast<unsigned long long>((total - free - 5200) / 1024), 0);
    expected += Format("          Free:         %7llu KB\n", static_cast<unsigned long long>(free / 1024));
    expected += Format("          Total Size:   %7llu KB\n", static_cast<unsigned long long>(total / 1024));
    expected += "==================== Allocation Report For 'Pool Tracker' [END] ========================\n";
    EXPECT_EQ(TakeReport(), expected);

    // By bytes, the largest total comes first; without the listing only the summary remains.
    SetAllocationSummarySortMode(kAllocationSummarySortByBytes);
    SetAllocationReportListing(false);
    tracker.PrintMemoryReport();
    const std::string byBytes = TakeReport();
    EXPECT_LT(byBytes.find("zz.cpp:5 - Other"), byBytes.find("mesh.cpp:10 - LoadMesh"));
    EXPECT_EQ(byBytes.find("0x"), std::string::npos);

    pool.Free(a, "x.cpp", 1, "F");
    pool.Free(b, "x.cpp", 1, "F");
    pool.Free(c, "x.cpp", 1, "F");
    EXPECT_EQ(tracker.GetNumAllocations(), 0u);
    EXPECT_EQ(tracker.GetCurrentBytes(), 0u);
    EXPECT_EQ(tracker.GetPeakBytes(), 5200u);
    EXPECT_EQ(tracker.GetPeakAllocations(), 3u);
    EXPECT_TRUE(m_errors.m_text.empty());
    pool.RemoveTracker();
}

TEST_F(AllocationTrackerTest, SizesPrintInBytesKiBAndMiB)
{
    GenericAllocationTracker tracker("Sizes", 8);
    struct Case
    {
        U32 size;
        const char* text;
    };
    const Case cases[] = {
        {0, "           0 B  "},       {4095, "        4095 B  "},    {4096, "           4 KiB"},
        {1048575, "        1023 KiB"}, {1048576, "        1.00 MiB"}, {3 * 1048576 / 2, "        1.50 MiB"},
    };
    U64 address = 0x1000;
    for (const Case& c : cases)
        tracker.TrackAllocation("sizes.cpp", 1, "Size", c.size, 7, 3, address += 0x10);
    tracker.PrintMemoryReport();
    const std::string report = TakeReport();
    for (const Case& c : cases)
        EXPECT_NE(report.find(std::string(" ") + c.text + " (      7/      3) - sizes.cpp:1 - Size"),
                  std::string::npos)
            << c.text;
    // No allocator attached: the report ends after the allocation total.
    EXPECT_EQ(report.find("Total Size"), std::string::npos);
    EXPECT_NE(report.find("      Num Allocations:        6\n"), std::string::npos);
}

TEST_F(AllocationTrackerTest, OverflowStopsRecordingAndWarns)
{
    TestPoolAllocator pool(16 * 1024, "Small");
    GenericAllocationTracker tracker("Two Entries", 2);
    pool.SetTracker(&tracker);
    void* blocks[3];
    for (void*& p : blocks)
        p = pool.Allocate(64, 16, "over.cpp", 3, "Fill");
    EXPECT_TRUE(tracker.HasOverflowed());
    EXPECT_EQ(tracker.GetNumAllocations(), 2u);
    EXPECT_EQ(tracker.FindAllocation(Address(blocks[2])), nullptr);
    tracker.PrintMemoryReport();
    const std::string warning = "************** WARNING WARNING **************\n"
                                "The following numbers are from a tracker that has overflowed!\n"
                                "The tracker needs to be larger to track all the allocations!\n"
                                "************** WARNING WARNING **************\n"
                                "      Num Allocations:        2\n";
    EXPECT_NE(TakeReport().find(warning), std::string::npos);

    // Clear forgets everything and starts recording again.
    tracker.Clear();
    EXPECT_FALSE(tracker.HasOverflowed());
    EXPECT_EQ(tracker.GetNumAllocations(), 0u);
    void* again = pool.Allocate(8, 8, "over.cpp", 4, "Again");
    EXPECT_EQ(tracker.GetAllocationLine(Address(again)), 4u);
    pool.RemoveTracker();
}

TEST_F(AllocationTrackerTest, FreeingAnUnknownAddressIsReported)
{
    TestPoolAllocator pool(16 * 1024, "Pool");
    GenericAllocationTracker tracker("Unknown", 8);
    SetAllocationTrackingEnabled(false);
    void* untracked = pool.Allocate(32, 16, "early.cpp", 1, "Early");
    SetAllocationTrackingEnabled(true);
    pool.SetTracker(&tracker);
    void* tracked = pool.Allocate(48, 16, "late.cpp", 2, "Late");

    pool.Free(untracked, "release.cpp", 77, "Release");
    EXPECT_NE(m_errors.m_text.find(
                  "Bad address passed to GenericAllocationTracker::TrackDeallocation() release.cpp "
                  "line 77\n"),
              std::string::npos)
        << m_errors.m_text;
    EXPECT_NE(m_errors.m_text.find("ERROR: "), std::string::npos);
    EXPECT_EQ(tracker.GetNumAllocations(), 1u);
    EXPECT_EQ(tracker.GetCurrentBytes(), 48u);
    EXPECT_STREQ(tracker.GetAllocationFile(Address(tracked)), "late.cpp");
    EXPECT_EQ(tracker.GetAllocationFile(Address(untracked)), nullptr);
    EXPECT_EQ(tracker.GetAllocationLine(Address(untracked)), 0xFFFFFFFFu);
    pool.Free(tracked, "release.cpp", 78, "Release");
    EXPECT_EQ(tracker.GetNumAllocations(), 0u);
    pool.RemoveTracker();
}

TEST_F(AllocationTrackerTest, ReusedAddressReplacesAStaleEntry)
{
    // A block released while tracking was off leaves its entry behind; when the address
    // comes back, the new allocation takes the place of the stale one.
    GenericAllocationTracker tracker("Reuse", 4);
    tracker.TrackAllocation("old.cpp", 1, "Old", 100, 0, 0, 0x2000);
    SetAllocationTrackingEnabled(false);
    tracker.TrackDeallocation("old.cpp", 2, "Old", 0x2000, 100);
    SetAllocationTrackingEnabled(true);
    tracker.TrackAllocation("new.cpp", 3, "New", 40, 0, 0, 0x2000);
    EXPECT_EQ(tracker.GetNumAllocations(), 1u);
    EXPECT_EQ(tracker.GetCurrentBytes(), 40u);
    EXPECT_STREQ(tracker.GetAllocationFile(0x2000), "new.cpp");
    tracker.TrackDeallocation("new.cpp", 4, "New", 0x2000, 40);
    EXPECT_EQ(tracker.GetNumAllocations(), 0u);
    EXPECT_TRUE(m_errors.m_text.empty());
}

TEST_F(AllocationTrackerTest, LeakReportShowsWhatChangedSinceTheMarker)
{
    TestPoolAllocator pool(64 * 1024, "Leaky");
    GenericAllocationTracker tracker("Leak Tracker", 32);
    pool.SetTracker(&tracker);

    tracker.PrintLeakDetectionReport();
    EXPECT_EQ(TakeReport(), "**** UNABLE TO PRINT LEAK DETECTION REPORT (no marker) ****\n");

    void* kept = pool.Allocate(64, 16, "level.cpp", 20, "LoadLevel");
    void* released = pool.Allocate(256, 16, "texture.cpp", 30, "LoadTexture");
    void* reshaped = pool.Allocate(64, 16, "cache.cpp", 40, "Grow");
    tracker.SetLeakDetectionMarker();
    tracker.PrintLeakDetectionReport();
    EXPECT_EQ(TakeReport(), "==================== NO DIFFERENCES DETECTED ====================\n");

    // Leak on purpose: two more blocks at one place; give one back elsewhere; and change
    // only the count at a third place (one block of 64 becomes two of 32).
    void* leak1 = pool.Allocate(100, 16, "level.cpp", 20, "LoadLevel");
    void* leak2 = pool.Allocate(28, 16, "level.cpp", 20, "LoadLevel");
    pool.Free(released, "texture.cpp", 31, "UnloadTexture");
    pool.Free(reshaped, "cache.cpp", 41, "Shrink");
    void* half1 = pool.Allocate(32, 16, "cache.cpp", 40, "Grow");
    void* half2 = pool.Allocate(32, 16, "cache.cpp", 40, "Grow");
    tracker.PrintLeakDetectionReport();
    EXPECT_EQ(TakeReport(),
              "==================== DIFFERENCES DETECTED [Leak Tracker] ====================\n"
              "+      128 B (cur       192 B) +   2 allocs (cur    3) - level.cpp:20 - LoadLevel\n"
              "-      256 B (cur         0 B) -   1 allocs (cur    0) - texture.cpp:30 - LoadTexture\n"
              "=================================================================\n");

    for (void* p : {kept, leak1, leak2, half1, half2})
        pool.Free(p, "end.cpp", 1, "End");
    pool.RemoveTracker();
}

TEST_F(AllocationTrackerTest, HeapAllocatorRewindsForgetEntries)
{
    alignas(16) static U8 memory[8192];
    HeapAllocator heap("Frame");
    GenericAllocationTracker generic("Frame Tracker", 16);
    heap.Init(memory, sizeof(memory), HeapAllocator::kResetRewind);
    heap.SetTracker(&generic);
    heap.Allocate(100, 16, "frame.cpp", 1, "Before");
    const Memory::Marker marker = heap.GetMarker();
    void* after = heap.Allocate(200, 16, "frame.cpp", 2, "After");
    heap.Allocate(300, 16, "frame.cpp", 3, "After");
    EXPECT_EQ(generic.GetNumAllocations(), 3u);
    EXPECT_EQ(generic.FindAllocation(Address(after))->m_size, 200u);
    heap.FreeToMarker(marker);
    EXPECT_EQ(generic.GetNumAllocations(), 1u);
    EXPECT_EQ(generic.GetCurrentBytes(), 100u);
    EXPECT_EQ(generic.FindAllocation(Address(after)), nullptr);
    heap.Reset(false);
    EXPECT_EQ(generic.GetNumAllocations(), 0u);
    heap.RemoveTracker();
}

TEST_F(AllocationTrackerTest, LinearTrackerFollowsAHeapAllocator)
{
    alignas(16) static U8 memory[8192];
    HeapAllocator heap("Linear Frame");
    LinearAllocationTracker linear("Linear Tracker", 4);
    heap.Init(memory, sizeof(memory), HeapAllocator::kResetRewind);
    heap.SetTracker(&linear);
    void* first = heap.Allocate(10, 8, "linear.cpp", 1, "First");
    const Memory::Marker marker = heap.GetMarker();
    heap.Allocate(20, 8, "linear.cpp", 2, "Second");
    heap.Allocate(30, 8, "linear.cpp", 2, "Second");
    EXPECT_STREQ(linear.GetAllocationFile(Address(first)), "linear.cpp");
    heap.FreeToMarker(marker);
    EXPECT_EQ(linear.GetNumAllocations(), 1u);
    EXPECT_EQ(linear.GetCurrentBytes(), 10u);

    // A report request waits for the next clear, which prints it while the entries exist.
    for (int i = 0; i < 4; ++i)
        heap.Allocate(1, 1, "linear.cpp", 3, "Fill");
    EXPECT_TRUE(linear.HasOverflowed());
    linear.PrintMemoryReport();
    EXPECT_TRUE(linear.IsReportRequested());
    EXPECT_TRUE(TakeReport().empty());
    heap.Reset(false);
    const std::string report = TakeReport();
    EXPECT_NE(report.find("Allocation Report For 'Linear Tracker' [BEGIN]"), std::string::npos);
    EXPECT_NE(report.find("(     3 allocs) linear.cpp:3 - Fill"), std::string::npos);
    EXPECT_NE(report.find("The tracker needs to be larger"), std::string::npos);
    EXPECT_FALSE(linear.IsReportRequested());
    EXPECT_EQ(linear.GetNumAllocations(), 0u);
    EXPECT_FALSE(linear.HasOverflowed());
    heap.RemoveTracker();
}

TEST_F(AllocationTrackerTest, LinearTrackerRefusesIndividualFrees)
{
    LinearAllocationTracker linear("Linear", 4);
    EXPECT_DEATH(linear.TrackDeallocation("f.cpp", 1, "F", 0x1000, 8), "false");
}

TEST_F(AllocationTrackerTest, TrackerWithoutStorageOverflowsAtOnce)
{
    Memory::RegisterAllocator(Memory::kAllocDevCpu, nullptr);
    GenericAllocationTracker generic("No Storage", 16);
    LinearAllocationTracker linear("No Storage Linear", 16);
    Memory::RegisterAllocator(Memory::kAllocDevCpu, &m_dev);
    EXPECT_EQ(generic.GetCapacity(), 0u);
    generic.TrackAllocation("f.cpp", 1, "F", 8, 0, 0, 0x1000);
    linear.TrackAllocation("f.cpp", 1, "F", 8, 0, 0, 0x1000);
    EXPECT_TRUE(generic.HasOverflowed());
    EXPECT_TRUE(linear.HasOverflowed());
    EXPECT_EQ(generic.FindAllocation(0x1000), nullptr);
    generic.TrackDeallocation("f.cpp", 2, "F", 0x1000, 8);
    EXPECT_TRUE(m_errors.m_text.empty());
}

TEST_F(AllocationTrackerTest, StorageGoesBackToItsAllocator)
{
    const U32 before = m_dev.GetPool().GetFreeSize();
    {
        GenericAllocationTracker tracker("Scoped", 100);
        tracker.TrackAllocation("f.cpp", 1, "F", 8, 0, 0, 0x1000);
        tracker.SetLeakDetectionMarker();
        EXPECT_LT(m_dev.GetPool().GetFreeSize(), before);
    }
    EXPECT_EQ(m_dev.GetPool().GetFreeSize(), before);
}

TEST_F(AllocationTrackerTest, ConcurrentTrackingKeepsCountsExact)
{
    GenericAllocationTracker tracker("Threads", 4 * 256);
    std::vector<std::thread> threads;
    for (U64 t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&tracker, t]
            {
                for (int round = 0; round < 20; ++round)
                {
                    for (U64 i = 0; i < 256; ++i)
                        tracker.TrackAllocation("thread.cpp", 1, "Run", 16, 0, 0, (t << 32) | (i * 16 + 16));
                    for (U64 i = 0; i < 256; ++i)
                        tracker.TrackDeallocation("thread.cpp", 2, "Run", (t << 32) | (i * 16 + 16), 16);
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(tracker.HasOverflowed());
    EXPECT_EQ(tracker.GetNumAllocations(), 0u);
    EXPECT_EQ(tracker.GetCurrentBytes(), 0u);
    EXPECT_LE(tracker.GetPeakAllocations(), 4u * 256);
    EXPECT_TRUE(m_errors.m_text.empty());
}
} // namespace
