#include "corelib/memory/virtual-range.h"

#include "corelib/memory/memory-area-platform.h"
#include "tests/memory/virtual-window-test-start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

using namespace Memory;

namespace
{
constexpr U64 kGiB = kVirtualBlockSize;

// Range bookkeeping needs no reserved window: it only hands out addresses. Each test
// starts and ends with every block free.
class VirtualRangeTest : public testing::Test
{
protected:
    void SetUp() override { kVirtualMemStart = TestVirtualMemStart(); }
    static U64 Block(U64 i) { return kVirtualMemStart + i * kGiB; }
};

// Tests that reserve the window put kVirtualMemStart back for the next test.
class VirtualWindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (const char* pReason = WindowUnavailableReason())
            GTEST_SKIP() << pReason;
        kVirtualMemStart = TestVirtualMemStart();
    }
    void TearDown() override
    {
        if (IsVirtualMemoryWindowReserved())
        {
            EXPECT_TRUE(ReleaseVirtualMemoryWindow());
        }
        kVirtualMemStart = TestVirtualMemStart();
    }
};
using VirtualRangeDeathTest = VirtualRangeTest;
using VirtualWindowDeathTest = VirtualWindowTest;
} // namespace

TEST_F(VirtualRangeTest, RangesTakeWholeBlocks)
{
    struct Case
    {
        U64 size;
        U64 blocks;
    };
    const Case cases[] = {{1, 1},        {kGiB - 1, 1}, {kGiB, 1},
                          {kGiB + 1, 2}, {3 * kGiB, 3}, {kVirtualWindowSize, 512}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.size);
        const U64 addr = AllocateVirtualMemoryAddressRange(c.size, kAlign16);
        EXPECT_EQ(addr, Block(0));
        EXPECT_TRUE(IsValidVirtualAddres(addr));
        EXPECT_TRUE(IsValidVirtualAddres(Block(c.blocks) - 1));
        EXPECT_FALSE(IsValidVirtualAddres(Block(c.blocks)));
        if (c.blocks < kVirtualBlocksCount)
        {
            // The next range starts right after the last block taken.
            const U64 next = AllocateVirtualMemoryAddressRange(1, kVirtualBlockSize);
            EXPECT_EQ(next, Block(c.blocks));
            ReleaseVirtualMemoryAddressRange(next, 1);
        }
        ReleaseVirtualMemoryAddressRange(addr, c.size);
        EXPECT_FALSE(IsValidVirtualAddres(addr));
        EXPECT_FALSE(IsValidVirtualAddres(Block(c.blocks) - 1));
    }
}

TEST_F(VirtualRangeTest, FirstFreeRunWins)
{
    const U64 a = AllocateVirtualMemoryAddressRange(kGiB, kGiB);     // block 0
    const U64 b = AllocateVirtualMemoryAddressRange(2 * kGiB, kGiB); // blocks 1-2
    const U64 c = AllocateVirtualMemoryAddressRange(1, kGiB);        // block 3
    EXPECT_EQ(b, Block(1));
    EXPECT_EQ(c, Block(3));
    ReleaseVirtualMemoryAddressRange(b, 2 * kGiB);
    EXPECT_FALSE(IsValidVirtualAddres(Block(1)));
    EXPECT_TRUE(IsValidVirtualAddres(Block(3)));

    // Too big for the hole: goes after block 3. Then the hole is filled exactly.
    const U64 d = AllocateVirtualMemoryAddressRange(3 * kGiB, kGiB);
    const U64 e = AllocateVirtualMemoryAddressRange(2 * kGiB, kGiB);
    const U64 f = AllocateVirtualMemoryAddressRange(1, kGiB);
    EXPECT_EQ(d, Block(4));
    EXPECT_EQ(e, Block(1));
    EXPECT_EQ(f, Block(7));

    ReleaseVirtualMemoryAddressRange(a, kGiB);
    ReleaseVirtualMemoryAddressRange(c, 1);
    ReleaseVirtualMemoryAddressRange(d, 3 * kGiB);
    ReleaseVirtualMemoryAddressRange(e, 2 * kGiB);
    ReleaseVirtualMemoryAddressRange(f, 1);
    for (U64 i = 0; i < 8; ++i)
        EXPECT_FALSE(IsValidVirtualAddres(Block(i))) << i;
}

TEST_F(VirtualRangeTest, AddressesOutsideTheWindowAreNeverValid)
{
    const U64 all = AllocateVirtualMemoryAddressRange(kVirtualWindowSize, kGiB);
    EXPECT_TRUE(IsValidVirtualAddres(Block(0)));
    EXPECT_TRUE(IsValidVirtualAddres(Block(kVirtualBlocksCount) - 1));
    for (U64 addr :
         {U64{0}, kVirtualMemStart - 1, Block(kVirtualBlocksCount), Block(2 * kVirtualBlocksCount), ~U64{0}})
        EXPECT_FALSE(IsValidVirtualAddres(addr)) << std::hex << addr;
    ReleaseVirtualMemoryAddressRange(all, kVirtualWindowSize);
}

// Threads handing out and taking back ranges never get overlapping blocks. Run under
// ThreadSanitizer to check the locking as well.
TEST_F(VirtualRangeTest, ConcurrentRangesNeverOverlap)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::atomic<int>> owner(kVirtualBlocksCount);
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                std::mt19937 rng(t);
                for (int round = 0; round < kRounds; ++round)
                {
                    const U64 size = 1 + rng() % (3 * kGiB);
                    const U64 blocks = (size - 1) / kGiB + 1;
                    const U64 addr = AllocateVirtualMemoryAddressRange(size, kAlign64);
                    const U64 first = (addr - kVirtualMemStart) / kGiB;
                    for (U64 i = first; i < first + blocks; ++i)
                    {
                        int expected = 0;
                        if (!owner[i].compare_exchange_strong(expected, t))
                            ++overlaps;
                    }
                    for (U64 i = first; i < first + blocks; ++i)
                        owner[i].store(0);
                    ReleaseVirtualMemoryAddressRange(addr, size);
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_FALSE(IsValidVirtualAddres(Block(0)));
}

TEST_F(VirtualRangeDeathTest, RunningOutOfBlocksIsReported)
{
    const char* kOutOfSpace = "We are out of virtual address space. kVirtualBlocksCount needs to be bumped";
    EXPECT_DEATH(AllocateVirtualMemoryAddressRange(kVirtualWindowSize + 1, kGiB), kOutOfSpace);
    EXPECT_DEATH(
        {
            for (U64 i = 0; i < kVirtualBlocksCount; ++i)
                AllocateVirtualMemoryAddressRange(1, kGiB);
            AllocateVirtualMemoryAddressRange(1, kGiB);
        },
        kOutOfSpace);
}

TEST_F(VirtualRangeDeathTest, MisuseIsReported)
{
    const char* kNotHandedOut =
        "s_virtualBlocks.IsBitRangeAllSet\\(iFirstBlock, iFirstBlock\\+numBlocksNeeded-1\\)";
    EXPECT_DEATH(ReleaseVirtualMemoryAddressRange(Block(3), 1), kNotHandedOut);
    EXPECT_DEATH(
        {
            const U64 addr = AllocateVirtualMemoryAddressRange(kGiB, kGiB);
            ReleaseVirtualMemoryAddressRange(addr, 2 * kGiB); // one block more than was taken
        },
        kNotHandedOut);
    EXPECT_DEATH(ReleaseVirtualMemoryAddressRange(Block(0) + 4096, 1),
                 "IsAddressAligned\\(addr, Alignment\\(kVirtualBlockSize\\)\\)");
    EXPECT_DEATH(ReleaseVirtualMemoryAddressRange(Block(kVirtualBlocksCount), 1),
                 "iFirstBlock < kVirtualBlocksCount");
    EXPECT_DEATH(ReleaseVirtualMemoryAddressRange(Block(511), 2 * kGiB), "iLastBlock < kVirtualBlocksCount");
    EXPECT_DEATH(AllocateVirtualMemoryAddressRange(1, 2 * kGiB), "addressAlignment <= kVirtualBlockSize");
    EXPECT_DEATH(AllocateVirtualMemoryAddressRange(0, kGiB), "size > 0");
    EXPECT_DEATH(ReleaseVirtualMemoryAddressRange(Block(0), 0), "size > 0");
}

TEST_F(VirtualWindowTest, WindowIsReservedAtTheFirstFreeCandidate)
{
    const U64 first = kVirtualMemStart;
    FindAvailableVirtualMemoryStartAddress();
    ASSERT_TRUE(IsVirtualMemoryWindowReserved());
    EXPECT_EQ(kVirtualMemStart, first);
    ASSERT_TRUE(ReleaseVirtualMemoryWindow());

    // With something already at the first candidate, the next one (512 GiB on) is used.
    kVirtualMemStart = first;
    ASSERT_TRUE(ReserveAddressSpaceAt(first, kGiB));
    FindAvailableVirtualMemoryStartAddress();
    EXPECT_EQ(kVirtualMemStart, first + kVirtualMemStartStride);
    EXPECT_TRUE(ReleaseVirtualMemoryWindow());
    EXPECT_TRUE(ReleaseAddressSpace(first, kGiB));
}

TEST_F(VirtualWindowTest, ReleasingTheWindowTellsWhetherThereWasOne)
{
    EXPECT_FALSE(ReleaseVirtualMemoryWindow());
    FindAvailableVirtualMemoryStartAddress();
    EXPECT_TRUE(ReleaseVirtualMemoryWindow());
    EXPECT_FALSE(IsVirtualMemoryWindowReserved());
    EXPECT_FALSE(ReleaseVirtualMemoryWindow());
}

TEST_F(VirtualWindowDeathTest, SearchMisuseIsReported)
{
    EXPECT_DEATH(
        {
            FindAvailableVirtualMemoryStartAddress();
            FindAvailableVirtualMemoryStartAddress();
        },
        "!s_windowReserved");
    kVirtualMemStart += kAlign1M;
    EXPECT_DEATH(FindAvailableVirtualMemoryStartAddress(),
                 "IsAddressAligned\\(kVirtualMemStart, Alignment\\(kVirtualBlockSize\\)\\)");
}

#if OX_ASAN && OX_PLATFORM_LINUX && OX_ARCH_X64
// The default candidates all lie in AddressSanitizer's shadow memory: the search reports
// that none is free instead of taking a window somewhere else.
TEST_F(VirtualWindowDeathTest, DefaultStartFailsUnderAddressSanitizer)
{
    kVirtualMemStart = kDefaultVirtualMemStart;
    EXPECT_DEATH(FindAvailableVirtualMemoryStartAddress(),
                 "Coudln't find any available virtual memory start addresses after 16 tries");
}
#endif
