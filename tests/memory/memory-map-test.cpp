// Memory contexts, the memory map and the allocator registry.
#include "corelib/memory/memory-map.h"

#include "tests/memory/memory-test-support.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

using namespace Memory;

namespace
{
std::string s_printed;

void CapturePrint(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    s_printed += text;
}

int s_callbackCount = 0;
const MemoryMapEntry* s_pCallbackMap = nullptr;

void CountCallback(const MemoryMapEntry* pMap)
{
    ++s_callbackCount;
    s_pCallbackMap = pMap;
}

constexpr MemoryMapEntry kEnd = {0, kAllocInvalid, 0, kAlign8, nullptr};

// Each test starts without a map: the map is installed once per process, so the
// fixture takes the installed copy away again.
class MemoryMapTest : public testing::Test
{
protected:
    void SetUp() override
    {
        g_pMemoryMap = nullptr;
        s_callbackCount = 0;
        s_pCallbackMap = nullptr;
        s_printed.clear();
    }
    void TearDown() override
    {
        g_pMemoryMap = nullptr;
        for (U32 i = 0; i < kMaxAllocators; ++i)
        {
            if (Context(i) != kAllocCustom)
                RegisterAllocator(Context(i), nullptr);
        }
    }

    void InstallSample()
    {
        const MemoryMapEntry map[] = {
            {1, kAllocAppCpu, 1048576, kAlign16, "AppCpuMain"},
            {2, kAllocDevCpu, 1536, kAlign8, "DevTools"},
            {3, kAllocAppCpu, 100, kAlign64, "AppCpuSmall"},
            kEnd,
        };
        SetMemoryMap(map, CountCallback);
    }
};
} // namespace

TEST(MemoryContextTest, NamesFollowTheValueTable)
{
    const struct
    {
        Context m_context;
        const char* m_name;
    } cases[] = {
        {kAllocInvalid, "kAllocInvalid"},
        {kAllocAppCpu, "kAllocAppCpu"},
        {kAllocNetwork, "kAllocNetwork"},
        {kAllocGui2, "kAllocGui2"},
        {kAllocGui2Secondary, "kAllocGui2"},
        {kAllocText2Font, "kAllocText2Font"},
        {kAllocCustom, "kAllocCustom"},
        {kAllocSingleRenderFrame, "kAllocSingleRenderFrame"},
        {kAllocDeltaBitstream, "kAllocDeltaBitstream"},
        {kMaxNumContexts, "kMaxNumContexts"},
        {kAllocSingleFrame, "kAllocSingleFrame"},
        {kAllocDevRenderResourceRing, "kAllocDevRenderResourceRing"},
    };
    for (const auto& c : cases)
    {
        EXPECT_STREQ(c.m_context.GetName(), c.m_name);
        EXPECT_STREQ(GetContextName(c.m_context), c.m_name);
    }
    EXPECT_EQ(kAllocCustom.GetValue(), 64u);
    EXPECT_EQ(kMaxNumContexts.GetValue(), 111u);
    EXPECT_EQ(kAllocDevRenderResourceRing.GetValue(), 117u);
    // A value past the table does not read foreign memory.
    EXPECT_STREQ(GetContextName(Context(5000)), "kAllocInvalid");
}

TEST_F(MemoryMapTest, LookupsBeforeAnyMapGiveTheDefaults)
{
    EXPECT_EQ(GetMemoryMapEntry(1), nullptr);
    EXPECT_EQ(GetMemoryMapSize(1), 0);
    EXPECT_EQ(GetMemoryMapContext(1), kAllocInvalid);
    EXPECT_EQ(static_cast<U64>(GetMemoryMapAlignment(1)), 1u);
}

TEST_F(MemoryMapTest, SetCopiesTheMapAndCallsBack)
{
    MemoryMapEntry map[] = {
        {7, kAllocAppCpu, 4096, kAlign64, "Seven"},
        {9, kAllocDevCpu, 100, kAlign8, "Nine"},
        kEnd,
    };
    SetMemoryMap(map, CountCallback);
    map[0].m_size = 1; // the host's array is not referenced afterwards
    EXPECT_EQ(s_callbackCount, 1);
    EXPECT_EQ(s_pCallbackMap, g_pMemoryMap);
    ASSERT_NE(GetMemoryMapEntry(7), nullptr);
    EXPECT_STREQ(GetMemoryMapEntry(7)->m_name, "Seven");
    EXPECT_EQ(GetMemoryMapSize(7), 4096);
    EXPECT_EQ(GetMemoryMapContext(9), kAllocDevCpu);
    EXPECT_EQ(GetMemoryMapAlignment(7), kAlign64);
    EXPECT_EQ(GetMemoryMapEntry(8), nullptr);
    EXPECT_EQ(static_cast<U64>(GetMemoryMapAlignment(8)), 1u);
}

TEST_F(MemoryMapTest, MapSizeLimitCountsTheTerminator)
{
    std::vector<MemoryMapEntry> map(kMemoryMapMaxSize + 1, kEnd);
    for (U32 i = 0; i < kMemoryMapMaxSize - 1; ++i)
        map[i] = {i + 1, kAllocAppCpu, 16, kAlign8, "Line"};
    SetMemoryMap(map.data(), nullptr); // 255 entries and the terminator
    EXPECT_EQ(GetMemoryMapSize(255), 16);

    g_pMemoryMap = nullptr;
    map[kMemoryMapMaxSize - 1] = {256, kAllocAppCpu, 16, kAlign8, "Line"};
    EXPECT_DEATH(SetMemoryMap(map.data(), nullptr), "numEntries <= kMemoryMapMaxSize");
}

TEST_F(MemoryMapTest, InstallingTwiceIsRejected)
{
    InstallSample();
    const MemoryMapEntry map[] = {kEnd};
    EXPECT_DEATH(SetMemoryMap(map, nullptr), "g_pMemoryMap == nullptr");
}

TEST_F(MemoryMapTest, OverlayReplacesWholeEntriesOfKnownIds)
{
    InstallSample();
    const MemoryMapEntry overlay[] = {
        {2, kAllocAppGpu, 777, kAlign128, "Replaced"},
        {42, kAllocAppGpu, 1, kAlign8, "Unknown"},
        kEnd,
    };
    OverlayMemoryMap(overlay, CountCallback);
    const MemoryMapEntry* pEntry = GetMemoryMapEntry(2);
    ASSERT_NE(pEntry, nullptr);
    EXPECT_EQ(pEntry->m_context, kAllocAppGpu);
    EXPECT_EQ(pEntry->m_size, 777);
    EXPECT_EQ(pEntry->m_alignment, kAlign128);
    EXPECT_STREQ(pEntry->m_name, "Replaced");
    EXPECT_EQ(GetMemoryMapEntry(42), nullptr);
    OverlayMemoryMap(nullptr, CountCallback);
    EXPECT_EQ(s_callbackCount, 3);
}

TEST_F(MemoryMapTest, AdditiveAddsSizeAndTakesContextAndAlignment)
{
    InstallSample();
    const MemoryMapEntry additive[] = {
        {1, kAllocAppFlex, -1048576, kAlign128, "Ignored"}, // exactly to 0
        {3, kAllocAppCpu, 28, kAlign16, "Ignored"},
        {99, kAllocAppCpu, 5, kAlign16, "Absent"},
        kEnd,
    };
    ApplyAdditiveMemoryMap(additive, nullptr);
    EXPECT_EQ(GetMemoryMapSize(1), 0);
    EXPECT_EQ(GetMemoryMapContext(1), kAllocAppFlex);
    EXPECT_EQ(GetMemoryMapAlignment(1), kAlign128);
    EXPECT_STREQ(GetMemoryMapEntry(1)->m_name, "AppCpuMain");
    EXPECT_EQ(GetMemoryMapSize(3), 128);
}

TEST_F(MemoryMapTest, AdditiveRejectsANegativeResult)
{
    InstallSample();
    const MemoryMapEntry additive[] = {{2, kAllocDevCpu, -1537, kAlign8, "Minus"}, kEnd};
    EXPECT_DEATH(
        ApplyAdditiveMemoryMap(additive, nullptr),
        "Allocation DevTools, currently set to 1536 bytes will become negative with this additive memory "
        "map -1537\\.");
}

TEST_F(MemoryMapTest, OperationsBeforeSetAreRejected)
{
    const MemoryMapEntry map[] = {kEnd};
    EXPECT_DEATH(OverlayMemoryMap(map, nullptr),
                 "You must call Memory::SetMemoryMap\\(\\) at least once prior to "
                 "calling OverlayMemoryMap\\(\\)");
    EXPECT_DEATH(ApplyAdditiveMemoryMap(map, nullptr), "prior to calling ApplyAdditiveMemoryMap");
    EXPECT_DEATH(ModifyMemoryMap(1, 10), "modifiedCount != 0");
}

TEST_F(MemoryMapTest, ModifySetsEveryEntryOfTheId)
{
    const MemoryMapEntry map[] = {
        {5, kAllocAppCpu, 10, kAlign8, "A"},
        {6, kAllocAppCpu, 20, kAlign8, "B"},
        {5, kAllocDevCpu, 30, kAlign8, "C"},
        kEnd,
    };
    SetMemoryMap(map, nullptr);
    ModifyMemoryMap(5, 4096);
    EXPECT_EQ(g_pMemoryMap[0].m_size, 4096);
    EXPECT_EQ(g_pMemoryMap[1].m_size, 20);
    EXPECT_EQ(g_pMemoryMap[2].m_size, 4096);
    EXPECT_DEATH(ModifyMemoryMap(5, 8ULL << 30),
                 "Attempting to set size for allocation ID 5 to either huge or negative! 0x0000000200000000 "
                 "\\(8589934592\\)");
    EXPECT_DEATH(ModifyMemoryMap(77, 1), "modifiedCount != 0");
}

TEST_F(MemoryMapTest, ReallocMovesEvenAmounts)
{
    const MemoryMapEntry map[] = {
        {1, kAllocAppCpu, 1000, kAlign8, "Source"},
        {2, kAllocAppCpu, 0, kAlign8, "Dest"},
        {2, kAllocAppCpu, 10, kAlign8, "Dest"},
        {2, kAllocAppCpu, 20, kAlign8, "Dest"},
        kEnd,
    };
    SetMemoryMap(map, nullptr);
    ReallocMemoryMap(2, 1, 99, CountCallback);
    EXPECT_EQ(s_callbackCount, 1);
    EXPECT_EQ(g_pMemoryMap[0].m_size, 901);
    EXPECT_EQ(g_pMemoryMap[1].m_size, 33);
    EXPECT_EQ(g_pMemoryMap[2].m_size, 43);
    EXPECT_EQ(g_pMemoryMap[3].m_size, 53);

    // An absent side changes nothing and does not call back.
    ReallocMemoryMap(2, 9, 99, CountCallback);
    ReallocMemoryMap(9, 1, 99, CountCallback);
    EXPECT_EQ(s_callbackCount, 1);
    EXPECT_EQ(g_pMemoryMap[0].m_size, 901);

    EXPECT_DEATH(ReallocMemoryMap(2, 1, 100, nullptr), "Attempting to move an uneven amount of memory!");
    EXPECT_DEATH(ReallocMemoryMap(1, 2, 120, nullptr), "pEntry->m_size >= static_cast<I64>\\(fromAmount\\)");
}

TEST_F(MemoryMapTest, ReallocKeepsAmountsOfFourGibibytesAndMore)
{
    const MemoryMapEntry map[] = {
        {1, kAllocAppCpu, 6LL << 30, kAlign8, "Source"},
        {2, kAllocAppCpu, 0, kAlign8, "Dest"},
        kEnd,
    };
    SetMemoryMap(map, nullptr);
    ReallocMemoryMap(2, 1, (4ULL << 30) + 8, nullptr);
    EXPECT_EQ(GetMemoryMapSize(1), (2LL << 30) - 8);
    EXPECT_EQ(GetMemoryMapSize(2), (4LL << 30) + 8);
}

TEST_F(MemoryMapTest, PrintIsByteExact)
{
    InstallSample();
    PrintMemoryMapWith(CapturePrint, nullptr, 16);
    EXPECT_EQ(s_printed,
              "MEMORY MAP:\n"
              "Context   5: AppCpuMain                              :    1.000 MiB /    1024.000 KiB /    "
              "1048576 B\n"
              "Context  10: DevTools                                :    0.001 MiB /       1.500 KiB /    "
              "   1536 B\n"
              "Context   5: AppCpuSmall                             :    0.000 MiB /       0.098 KiB /    "
              "    100 B\n"
              "Context  -1: TOTAL                                   :    1.002 MiB /    1025.645 KiB /    "
              "1050260 B\n");

    s_printed.clear();
    const Context filter = kAllocAppCpu;
    PrintMemoryMapWith(CapturePrint, &filter, 16);
    EXPECT_EQ(s_printed,
              "MEMORY MAP:\n"
              "Context   5: AppCpuMain                              :    1.000 MiB /    1024.000 KiB /    "
              "1048576 B\n"
              "Context   5: AppCpuSmall                             :    0.000 MiB /       0.098 KiB /    "
              "    100 B\n"
              "Context   5: TOTAL                                   :    1.000 MiB /    1024.129 KiB /    "
              "1048708 B\n");
}

TEST_F(MemoryMapTest, PrintOfEmptyAndHugeMaps)
{
    PrintMemoryMapWith(CapturePrint, nullptr, 0);
    const std::string emptyReport =
        "MEMORY MAP:\n"
        "Context  -1: TOTAL                                   :    0.000 MiB /       "
        "0.000 KiB /          0 B\n";
    EXPECT_EQ(s_printed, emptyReport);

    s_printed.clear();
    const MemoryMapEntry empty[] = {kEnd};
    SetMemoryMap(empty, nullptr);
    PrintMemoryMapWith(CapturePrint, nullptr, 64);
    EXPECT_EQ(s_printed, emptyReport);

    // Bytes print as a 32-bit number; MiB and KiB keep the whole size.
    g_pMemoryMap = nullptr;
    s_printed.clear();
    const MemoryMapEntry huge[] = {{1, kAllocAppGpu, 5LL << 30, kAlign8, "Huge"}, kEnd};
    SetMemoryMap(huge, nullptr);
    const Context filter = kAllocAppGpu;
    PrintMemoryMapWith(CapturePrint, &filter, 0);
    EXPECT_EQ(s_printed,
              "MEMORY MAP:\n"
              "Context   7: Huge                                    : 5120.000 MiB / 5242880.000 KiB / "
              "1073741824 B\n"
              "Context   7: TOTAL                                   : 5120.000 MiB / 5242880.000 KiB / "
              "1073741824 B\n");
}

TEST_F(MemoryMapTest, RegistryResolvesVirtualContexts)
{
    TestAllocator game("Game"), render("Render"), invalid("Invalid");
    RegisterAllocator(kAllocGameToGpuRing, &game);
    RegisterAllocator(kAllocRenderToGpuRing, &render);
    RegisterAllocator(kAllocInvalid, &invalid);
    EXPECT_EQ(GetAllocator(kAllocGameToGpuRing), &game);
    EXPECT_EQ(GetAllocator(kAllocGpuRing), &game); // outside any job
    EXPECT_EQ(GetAllocator(kAllocAppCpu), nullptr);
    EXPECT_EQ(GetAllocator(kMaxNumContexts), nullptr);
    EXPECT_EQ(GetAllocator(Context(4000)), nullptr);
    {
        FakeJob job(false);
        EXPECT_EQ(GetAllocator(kAllocGpuRing), &game);
    }
    {
        FakeJob job(true);
        EXPECT_EQ(GetAllocator(kAllocGpuRing), &render);
        EXPECT_EQ(ResolveContext(kAllocSingleFrame), kAllocSingleRenderFrame);
        EXPECT_EQ(ResolveContext(kAllocDevRenderResourceRing), kAllocDevRenderToGpuResourceRing);
    }
    EXPECT_EQ(ResolveContext(kAllocSingleFrame), kAllocSingleGameFrame);
    EXPECT_EQ(ResolveContext(kAllocDoubleGpuRing), kAllocDoubleGameToGpuRing);
    RegisterAllocator(kAllocGameToGpuRing, nullptr);
    EXPECT_EQ(GetAllocator(kAllocGpuRing), nullptr);
}

TEST_F(MemoryMapTest, RegistryRejectsCustomAndVirtualContexts)
{
    TestAllocator allocator("A");
    EXPECT_DEATH(RegisterAllocator(kAllocCustom, &allocator), "context != kAllocCustom");
    EXPECT_DEATH(RegisterAllocator(kAllocGpuRing, &allocator), "context.GetValue\\(\\) < kMaxAllocators");
    EXPECT_DEATH(RegisterAllocator(kMaxNumContexts, &allocator), "context.GetValue\\(\\) < kMaxAllocators");
}
