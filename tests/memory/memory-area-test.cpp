#include "corelib/memory/memory-area.h"

#include "tests/memory/virtual-window-test-start.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Memory;

namespace
{
constexpr U64 kMiB = ONE_MEGA_BYTE;
constexpr U64 kGiB = kVirtualBlockSize;

U8* Bytes(U64 addr)
{
    return reinterpret_cast<U8*>(addr);
}

// True when every byte of the span holds value.
bool AllBytesAre(U64 addr, U64 size, U8 value)
{
    const U8* p = Bytes(addr);
    for (U64 i = 0; i < size; i += 4096)
    {
        if (p[i] != value || p[i + 4095] != value)
            return false;
    }
    return true;
}

// Every test runs with the window reserved (under Wine that costs ~128 MiB of resident
// memory, so it is released after each test).
class MemoryAreaTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (const char* pReason = WindowUnavailableReason())
            GTEST_SKIP() << pReason;
        kVirtualMemStart = TestVirtualMemStart();
        FindAvailableVirtualMemoryStartAddress();
        ASSERT_TRUE(IsVirtualMemoryWindowReserved());
    }
    void TearDown() override
    {
        if (WindowUnavailableReason())
            return;
        EXPECT_TRUE(ReleaseVirtualMemoryWindow());
        kVirtualMemStart = TestVirtualMemStart();
    }
};

using MemoryAreaDeathTest = MemoryAreaTest;
} // namespace

TEST(MemoryAreaGlobals, NineAreasStartWithoutRanges)
{
    for (const Area& area : g_memoryAreas)
    {
        EXPECT_EQ(area.GetStartAddr(), 0u);
        EXPECT_EQ(area.GetSizeMB(), 0u);
        EXPECT_FALSE(area.IsExternal());
    }
    EXPECT_EQ(kNumMemoryAreas, 9u);
}

TEST_F(MemoryAreaTest, CommitWriteDecommitRecommit)
{
    Area area;
    area.Initialize(64 * kMiB, false, 0x1234);
    const U64 start = area.GetStartAddr();
    EXPECT_EQ(start, kVirtualMemStart);
    EXPECT_EQ(area.GetSizeMB(), 64u);
    EXPECT_EQ(area.GetValue(), 0x1234u);
    EXPECT_TRUE(IsValidVirtualAddres(start));

    area.AllocateMemory(start, 4, true);
    EXPECT_TRUE(AllBytesAre(start, 4 * kMiB, 0));
    std::memset(Bytes(start), 0xA5, 4 * kMiB);
    EXPECT_TRUE(AllBytesAre(start, 4 * kMiB, 0xA5));

    // Decommitted memory is dropped: committed again it reads as zero, even unasked.
    area.FreeMemory(start, 4);
    area.AllocateMemory(start, 4, false);
    EXPECT_TRUE(AllBytesAre(start, 4 * kMiB, 0));

    // Committing over memory already committed keeps it, unless zero is asked for.
    std::memset(Bytes(start), 0x5A, kMiB);
    area.AllocateMemory(start, 1, false);
    EXPECT_TRUE(AllBytesAre(start, kMiB, 0x5A));
    area.AllocateMemory(start, 1, true);
    EXPECT_TRUE(AllBytesAre(start, kMiB, 0));

    area.Shutdown();
    EXPECT_EQ(area.GetStartAddr(), 0u);
    EXPECT_FALSE(IsValidVirtualAddres(start));
}

// A commit further into the area leaves the area's start where it is, so the range checks,
// FreeMemory and Shutdown keep working on the whole area.
TEST_F(MemoryAreaTest, CommitInsideTheAreaKeepsItsStart)
{
    Area area;
    area.Initialize(32 * kMiB, false, 0);
    const U64 start = area.GetStartAddr();
    area.AllocateMemory(start + 30 * kMiB, 2, true);
    EXPECT_EQ(area.GetStartAddr(), start);
    std::memset(Bytes(start + 30 * kMiB), 1, 2 * kMiB);

    area.AllocateMemory(start, 1, true);
    Bytes(start)[0] = 7;
    area.FreeMemory(start + 30 * kMiB, 2);
    EXPECT_EQ(Bytes(start)[0], 7);

    area.Shutdown();
    EXPECT_FALSE(IsValidVirtualAddres(start));
    // The range came back whole: the next area gets the same start.
    Area next;
    next.Initialize(kGiB, false, 0);
    EXPECT_EQ(next.GetStartAddr(), start);
    next.Shutdown();
}

TEST_F(MemoryAreaTest, AreasTakeSeparateBlockAlignedRanges)
{
    Area a, b, c;
    a.Initialize(1 * kMiB, false, 0);
    b.Initialize(Area::kMaxSizeMB * kMiB, false, 0); // 4 GiB: four blocks
    c.Initialize(kGiB + kMiB, false, 0);             // two blocks
    EXPECT_EQ(a.GetStartAddr(), kVirtualMemStart);
    EXPECT_EQ(b.GetStartAddr(), kVirtualMemStart + kGiB);
    EXPECT_EQ(c.GetStartAddr(), kVirtualMemStart + 5 * kGiB);

    // Commit the last MiB of each area: the ends are inside their own ranges.
    for (Area* pArea : {&a, &b, &c})
    {
        const U64 lastMiB = pArea->GetStartAddr() + (pArea->GetSizeMB() - 1) * kMiB;
        pArea->AllocateMemory(lastMiB, 1, true);
        Bytes(lastMiB)[kMiB - 1] = 1;
    }
    a.Shutdown();
    b.Shutdown();
    c.Shutdown();
    for (U64 i = 0; i < 7; ++i)
        EXPECT_FALSE(IsValidVirtualAddres(kVirtualMemStart + i * kGiB)) << i;
}

// External and empty areas own no address space: commits and frees do nothing.
TEST_F(MemoryAreaTest, ExternalAndEmptyAreasCommitNothing)
{
    Area external;
    external.Initialize(16 * kMiB, true, 5);
    EXPECT_TRUE(external.IsExternal());
    EXPECT_EQ(external.GetStartAddr(), 0u);
    EXPECT_EQ(external.GetSizeMB(), 16u);
    EXPECT_FALSE(IsValidVirtualAddres(kVirtualMemStart));
    external.AllocateMemory(0, 16, true);
    external.FreeMemory(0, 16);
    external.Shutdown();

    Area empty;
    empty.Initialize(0, false, 0);
    EXPECT_EQ(empty.GetStartAddr(), 0u);
    EXPECT_FALSE(IsValidVirtualAddres(kVirtualMemStart));
    empty.AllocateMemory(0, 0, true);
    empty.FreeMemory(0, 0);
    empty.Shutdown();

    // sizeMB 0 on an owning area touches nothing (a decommit of size 0 would drop the
    // whole reservation on Windows).
    Area area;
    area.Initialize(2 * kMiB, false, 0);
    area.AllocateMemory(area.GetStartAddr(), 2, true);
    Bytes(area.GetStartAddr())[0] = 9;
    area.FreeMemory(area.GetStartAddr(), 0);
    EXPECT_EQ(Bytes(area.GetStartAddr())[0], 9);
    area.Shutdown();
}

TEST_F(MemoryAreaTest, PhysicalPageIdsCoverTheArea)
{
    Area area;
    area.Initialize(8 * kMiB, true, 0);
    for (U64 i = 0; i < 8; ++i)
        EXPECT_EQ(area.GetPhysicalPageId(i), 0u);
    area.m_physicalPageIds[7] = 0xFEED;
    EXPECT_EQ(area.GetPhysicalPageId(7), 0xFEEDu);
}

// The preconditions come before any system call, so these need no window: each death
// statement builds its own 4 MiB area in the child process. Initialize checks its
// arguments before the area's state, so the first two cases report the argument.
TEST(MemoryAreaMisuseDeathTest, MisuseIsReported)
{
    kVirtualMemStart = TestVirtualMemStart();
    const char* kPastEnd =
        "\\(addr \\+ sizeMB \\* ONE_MEGA_BYTE\\) <= \\(m_startAddr \\+ m_addrSizeMB \\* ONE_MEGA_BYTE\\)";
    struct Case
    {
        void (*misuse)(Area& area, U64 start);
        const char* condition;
    };
    const Case cases[] = {
        {[](Area& area, U64) { area.Initialize(kMiB + 1, false, 0); },
         "IsSizeAligned\\(addrSize, kAlign1M\\)"},
        {[](Area& area, U64) { area.Initialize((Area::kMaxSizeMB + 1) * kMiB, false, 0); },
         "addrSize / ONE_MEGA_BYTE <= kMaxSizeMB"},
        {[](Area& area, U64) { area.Initialize(4 * kMiB, false, 0); }, "m_startAddr == 0"},
        {[](Area& area, U64 start) { area.AllocateMemory(start - kMiB, 1, false); }, "addr >= m_startAddr"},
        {[](Area& area, U64 start) { area.FreeMemory(start + 3 * kMiB, 2); }, kPastEnd},
        // Sums that wrap around 2^64 are still past the end.
        {[](Area& area, U64) { area.AllocateMemory(~U64{0} - kMiB + 2, 1, false); }, kPastEnd},
        {[](Area& area, U64) { area.GetPhysicalPageId(4); }, "megaByteAddrIndex < m_addrSizeMB"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.condition);
        EXPECT_DEATH(
            {
                Area area;
                area.Initialize(4 * kMiB, false, 0);
                c.misuse(area, area.GetStartAddr());
            },
            c.condition);
    }
}

// Without the window behind the range, the system refuses the commit and the decommit.
TEST_F(MemoryAreaDeathTest, SystemFailuresAreReported)
{
    Area area;
    area.Initialize(4 * kMiB, false, 0);
    const U64 start = area.GetStartAddr();
    EXPECT_DEATH(
        {
            ReleaseVirtualMemoryWindow();
            area.AllocateMemory(start, 1, false);
        },
        "Expected 0x.+, got 0x0000000000000000, error .+");
    EXPECT_DEATH(
        {
            ReleaseVirtualMemoryWindow();
            area.FreeMemory(start, 1);
        },
        "ret");
    area.Shutdown();
}

// Decommitted memory is inaccessible again, as on Windows.
TEST_F(MemoryAreaDeathTest, DecommittedMemoryFaults)
{
    Area area;
    area.Initialize(kMiB, false, 0);
    const U64 start = area.GetStartAddr();
    area.AllocateMemory(start, 1, true);
    area.FreeMemory(start, 1);
    EXPECT_DEATH(*reinterpret_cast<volatile U8*>(start) = 1, "");
    area.Shutdown();
}
