#include "corelib/memory/heaparena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{
class HeapArenaTest : public ::testing::Test
{
protected:
    void SetUp() override { m_arena.Init(m_mem, sizeof(m_mem)); }

    alignas(256) U8 m_mem[1024];
    HeapArena m_arena;
};

TEST_F(HeapArenaTest, AllocationIsAnAlignedPointerIncrement)
{
    struct Case
    {
        U64 size;
        U64 alignment;
        U64 expectedOffset; // of the result
        U64 expectedCurrent;
    };
    // Applied in order on one arena.
    const Case cases[] = {
        {0, 1, 0, 1},     // zero bytes count as one
        {0, 8, 8, 9},     // ... after alignment
        {10, 16, 16, 26}, //
        {1, 64, 64, 65},  //
        {3, 0, 65, 68},   // alignment 0 behaves as 1
        {100, 256, 256, 356},
    };
    for (const Case& c : cases)
    {
        void* p = m_arena.Allocate(c.size, c.alignment, __FILE__, __LINE__, __func__);
        EXPECT_EQ(static_cast<U8*>(p) - m_mem, static_cast<I64>(c.expectedOffset));
        EXPECT_EQ(m_arena.GetCurrent() - m_mem, static_cast<I64>(c.expectedCurrent));
    }
    EXPECT_EQ(m_arena.GetPeak(), 356u);
    EXPECT_EQ(m_arena.GetFreeSize(), 1024u - 356);
}

TEST_F(HeapArenaTest, ExactFitSucceedsAndOneMoreByteReportsTheOverflow)
{
    m_arena.Allocate(24, 8, __FILE__, __LINE__, __func__);
    EXPECT_TRUE(m_arena.CanAllocate(1000, 8));
    EXPECT_FALSE(m_arena.CanAllocate(1001, 8));
    EXPECT_FALSE(m_arena.CanAllocate(1000, 16)) << "alignment moves the start to 32";

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(m_arena.Allocate(1001, 8, "src/file.cpp", 77, "void Caller()"), nullptr);
    const std::string report = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_arena.GetPeak(), 1024u) << "a failure marks the arena as full";
    EXPECT_EQ(m_arena.GetCurrent() - m_mem, 24) << "a failure leaves current alone";

    char expected[1024];
    std::snprintf(
        expected, sizeof(expected),
        "HeapArena::Allocate: out of memory\n   memory             = 0x%012" PRIX64
        ",\n   current            = 0x%012" PRIX64
        ",\n   requested size     = 1001,\n   requested overflow = 1,\n   remaining          = 1000,\n"
        "   total size         = 1024\n\t sourceFile\t\t    = src/file.cpp\n\t sourceLine\t\t    = 77\n"
        "\t sourceFunc\t\t    = void Caller()\n\n",
        static_cast<U64>(reinterpret_cast<UPtr>(m_mem)),
        static_cast<U64>(reinterpret_cast<UPtr>(m_mem + 24)));
    EXPECT_EQ(report, expected);

    void* last = m_arena.Allocate(1000, 8, __FILE__, __LINE__, __func__);
    EXPECT_EQ(static_cast<U8*>(last), m_mem + 24);
    EXPECT_EQ(m_arena.GetFreeSize(), 0u);
}

TEST_F(HeapArenaTest, QuietArenaFailsWithoutAReport)
{
    m_arena.SetQuiet(true);
    m_arena.Init(m_mem, 64);
    EXPECT_TRUE(m_arena.IsQuiet()) << "Init keeps the flags";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(m_arena.Allocate(65, 1, __FILE__, __LINE__, __func__), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(HeapArenaTest, HugeRequestsAndAlignmentsFailInsteadOfWrapping)
{
    m_arena.SetQuiet(true);
    EXPECT_EQ(m_arena.Allocate(~0ull - 16, 8, __FILE__, __LINE__, __func__), nullptr);
    EXPECT_FALSE(m_arena.CanAllocate(~0ull - 16, 8));
    EXPECT_EQ(m_arena.Allocate(8, 1ull << 62, __FILE__, __LINE__, __func__), nullptr);
    EXPECT_EQ(m_arena.GetCurrent(), m_mem);
}

TEST_F(HeapArenaTest, PointerQueriesRewindAndRelocate)
{
    U8* a = static_cast<U8*>(m_arena.Allocate(100, 8, __FILE__, __LINE__, __func__));
    EXPECT_TRUE(m_arena.IsValidPtr(a));
    EXPECT_TRUE(m_arena.IsValidPtr(a + 99));
    EXPECT_FALSE(m_arena.IsValidPtr(a + 100));
    EXPECT_TRUE(m_arena.IsPtrInRange(a + 100));
    EXPECT_FALSE(m_arena.IsPtrInRange(m_mem + 1024));

    const U64 marker = reinterpret_cast<UPtr>(m_arena.GetCurrent());
    m_arena.Allocate(200, 8, __FILE__, __LINE__, __func__);
    m_arena.SetCurrent(marker);
    EXPECT_EQ(reinterpret_cast<UPtr>(m_arena.GetCurrent()), marker);
    m_arena.Reset();
    EXPECT_EQ(m_arena.GetCurrent(), m_mem);
    EXPECT_EQ(m_arena.GetPeak(), 304u) << "the peak survives a rewind";
    m_arena.SetCurrent(reinterpret_cast<UPtr>(m_mem + 1024)); // the end itself is allowed
    m_arena.Reset();

    // Relocation moves only the pointers inside [low, high).
    m_arena.Allocate(10, 1, __FILE__, __LINE__, __func__);
    const UPtr base = reinterpret_cast<UPtr>(m_mem);
    m_arena.Relocate(4096, base + 1, base + 2048);
    EXPECT_EQ(m_arena.GetMemory(), m_mem);
    EXPECT_EQ(m_arena.GetCurrent(), m_mem + 10 + 4096);
    m_arena.Relocate(-4096, base + 4096, base + 8192);
    EXPECT_EQ(m_arena.GetCurrent(), m_mem + 10);

    m_arena.Clear();
    EXPECT_EQ(m_arena.GetMemory(), nullptr);
    EXPECT_EQ(m_arena.GetSize(), 0u);
    EXPECT_EQ(m_arena.GetPeak(), 0u);
    EXPECT_FALSE(m_arena.CanAllocate(1, 1));
}

TEST_F(HeapArenaTest, SetCurrentOutsideTheBlockIsRefused)
{
    EXPECT_DEATH(m_arena.SetCurrent(reinterpret_cast<UPtr>(m_mem + 1025)),
                 "m_pMemory <= newCurrent && newCurrent <= m_pMemory \\+ m_info.m_size");
    EXPECT_DEATH(m_arena.SetCurrent(reinterpret_cast<UPtr>(m_mem) - 1), "m_pMemory <= newCurrent");
}

TEST(HeapArenaThreads, ThreadSafeArenaHandsOutDisjointBlocks)
{
    std::vector<U8> mem(64 * 1024);
    HeapArena arena;
    arena.Init(mem.data(), mem.size());
    arena.SetThreadSafe(true);
    std::vector<void*> results[2];
    auto work = [&arena](std::vector<void*>* out)
    {
        for (int i = 0; i < 500; ++i)
            out->push_back(arena.Allocate(48, 16, __FILE__, __LINE__, __func__));
    };
    std::thread t1(work, &results[0]);
    std::thread t2(work, &results[1]);
    t1.join();
    t2.join();
    std::vector<void*> all(results[0]);
    all.insert(all.end(), results[1].begin(), results[1].end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), 1000u);
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_GE(static_cast<U8*>(all[i]) - static_cast<U8*>(all[i - 1]), 48);
    EXPECT_EQ(arena.GetCurrent() - mem.data(), 1000 * 48);
}
} // namespace
