// Ownership lookups, Free and FreeInContext, the context, alignment and memory-map forms
// of operator new, memory-map allocations and the online-services hooks.
#include "corelib/memory/memory.h"

#include "tests/memory/memory-test-support.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

using namespace Memory;

namespace
{
constexpr MemoryMapEntry kEnd = {0, kAllocInvalid, 0, kAlign8, nullptr};

class MemoryRoutingTest : public testing::Test
{
protected:
    void SetUp() override
    {
        g_pMemoryMap = nullptr;
        InitializeThreadAllocStack();
    }
    void TearDown() override
    {
        while (GetAllocatorStackDepth() > 0)
            PopAllocator();
        FreeThreadAllocStack();
        for (U32 i = 0; i < kMaxAllocators; ++i)
        {
            if (Context(i) != kAllocCustom)
                RegisterAllocator(Context(i), nullptr);
        }
        g_pMemoryMap = nullptr;
    }
};

struct Widget
{
    U64 m_a = 11;
    U64 m_b = 22;
};
} // namespace

TEST_F(MemoryRoutingTest, OwnerIsFoundOnTheStackFirstThenInTheRegistry)
{
    TestAllocator onStack("Stack"), registered("Registered"), low("Low");
    RegisterAllocator(kAllocAppCpu, &registered);
    RegisterAllocator(kAllocSystemDirect, &low);
    void* pStack = onStack.Allocate(16, 16, "f", 1, "F");
    void* pRegistered = registered.Allocate(16, 16, "f", 1, "F");
    void* pLow = low.Allocate(16, 16, "f", 1, "F");

    EXPECT_EQ(FindAllocatorForPtr(pStack), nullptr); // not pushed, not registered
    PushAllocator(&onStack, "f", 1, "F");
    EXPECT_EQ(FindAllocatorForPtr(pStack), &onStack);
    EXPECT_EQ(FindAllocatorForPtr(pRegistered), &registered);
    EXPECT_EQ(FindAllocatorForPtr(pLow), &low);
    int local = 0;
    bool inSomeRange = true;
    EXPECT_EQ(FindAllocatorForPtr(&local, &inSomeRange), nullptr);
    EXPECT_FALSE(inSomeRange);
}

TEST_F(MemoryRoutingTest, FreeReleasesThroughTheOwnerAndCountsInRangeStrays)
{
    TestAllocator registered("Registered");
    RegisterAllocator(kAllocAppCpu, &registered);
    void* p = registered.Allocate(32, 16, "f", 1, "F");
    Memory::Free(p, "free.cpp", 5, "Releaser");
    EXPECT_EQ(registered.LiveCount(), 0u);
    EXPECT_EQ(registered.m_freeCount, 1);

    // Released twice: inside the range but no longer valid there, so not freed, and counted.
    const U64 strays = GetInRangeInvalidPtrCount();
    bool inSomeRange = false;
    EXPECT_EQ(FindAllocatorForPtr(p, &inSomeRange), nullptr);
    EXPECT_TRUE(inSomeRange);
    Memory::Free(p, "free.cpp", 6, "Releaser");
    EXPECT_EQ(registered.m_freeCount, 1);
    EXPECT_EQ(GetInRangeInvalidPtrCount(), strays + 2);

    int local = 0;
    Memory::Free(&local, "free.cpp", 7, "Releaser"); // nobody's: ignored
    Memory::Free(nullptr, "free.cpp", 8, "Releaser");
    EXPECT_EQ(registered.m_freeCount, 1);
}

TEST_F(MemoryRoutingTest, FreeInContextAsksOnlyThatContext)
{
    TestAllocator app("App"), dev("Dev");
    RegisterAllocator(kAllocAppCpu, &app);
    RegisterAllocator(kAllocDevCpu, &dev);
    void* p = app.Allocate(32, 16, "f", 1, "F");
    FreeInContext(p, kAllocDevCpu, "f", 2, "F");
    FreeInContext(p, kAllocAppGpu, "f", 2, "F"); // no allocator there
    EXPECT_EQ(app.LiveCount(), 1u);
    FreeInContext(p, kAllocAppCpu, "f", 3, "F");
    EXPECT_EQ(app.LiveCount(), 0u);
}

TEST_F(MemoryRoutingTest, ContextAndAlignmentFormsOfNew)
{
    TestAllocator app("App"), stack("Stack");
    RegisterAllocator(kAllocAppCpu, &app);
    PushAllocator(&stack, "f", 1, "F");

    SetAllocSourceLocation("widget.cpp", 12, "MakeWidget");
    Widget* pWidget = new (kAllocAppCpu) Widget;
    EXPECT_EQ(pWidget->m_b, 22u);
    EXPECT_TRUE(app.IsValidPtr(pWidget));
    EXPECT_EQ(app.m_lastAlignment, 16u);
    EXPECT_STREQ(app.m_lastFile, "widget.cpp");
    EXPECT_EQ(app.m_lastLine, 12u);
    EXPECT_STREQ(app.m_lastFunction, "MakeWidget");

    // The location is used once; without one, a context form records its own caller.
    U8* pBytes = new (kAllocAppCpu, kAlign128) U8[300];
    const U32 bytesLine = __LINE__ - 1;
    EXPECT_TRUE(IsPointerAligned(pBytes, 128));
    EXPECT_EQ(app.m_lastSize, 300u);
    EXPECT_NE(std::strstr(app.m_lastFile, "memory-routing-test.cpp"), nullptr);
    EXPECT_EQ(app.m_lastLine, bytesLine);
    // The compilers' position builtin names the function itself (a test body here).
    EXPECT_STREQ(app.m_lastFunction, "TestBody");

    U8* pAligned = new (kAlign64) U8[10];
    EXPECT_TRUE(stack.IsValidPtr(pAligned));
    EXPECT_TRUE(IsPointerAligned(pAligned, 64));

    Memory::Free(pWidget, "f", 1, "F");
    Memory::Free(pBytes, "f", 1, "F");
    Memory::Free(pAligned, "f", 1, "F");
    EXPECT_EQ(app.LiveCount(), 0u);
    EXPECT_EQ(stack.LiveCount(), 0u);
}

TEST_F(MemoryRoutingTest, NothrowFormsRequireAnAllocatorThatDoesNotAssert)
{
    TestAllocator app("App");
    app.m_refuse = true;
    RegisterAllocator(kAllocAppCpu, &app);
    EXPECT_DEATH((void)(new (kAllocAppCpu, std::nothrow) Widget),
                 "!noThrow \\|\\| !pAlloc->WillAssertOnFailure\\(\\)");
    app.SetAssertOnFailure(false);
    EXPECT_EQ(new (kAllocAppCpu, std::nothrow) Widget, nullptr);
    EXPECT_EQ(new (kAllocAppCpu, kAlign64, std::nothrow) U8[4], nullptr);
    // A throwing form never hands a null pointer to a constructor.
    EXPECT_DEATH((void)(new (kAllocAppCpu) Widget), "operator new: out of memory");
    EXPECT_DEATH((void)(new (kAllocDevCpu) Widget), "pAlloc");
}

TEST_F(MemoryRoutingTest, MemoryMapFormsAllocateTheWholeBudget)
{
    TestAllocator app("App");
    RegisterAllocator(kAllocAppCpu, &app);
    const MemoryMapEntry map[] = {{500, kAllocAppCpu, 4096, kAlign128, "Budget"}, kEnd};
    SetMemoryMap(map, nullptr);

    U8* p = new (500u) U8[100];
    EXPECT_EQ(app.m_lastSize, 4096u);
    EXPECT_EQ(app.m_lastAlignment, 128u);
    EXPECT_TRUE(app.IsValidPtr(p));
    operator delete[](p, 500u);
    EXPECT_EQ(app.LiveCount(), 0u);

    void* q = AllocateFromMemoryMap(500, "map.cpp", 9, "FromMap");
    EXPECT_EQ(app.m_lastSize, 4096u);
    EXPECT_STREQ(app.m_lastFile, "map.cpp");
    EXPECT_TRUE(IsPointerAligned(q, 128));
    EXPECT_EQ(AllocateFromMemoryMap(501, "map.cpp", 9, "FromMap"), nullptr);

    EXPECT_DEATH((void)(new (500u) U8[4097]), "bytes <= static_cast<U64>\\(pEntry->m_size\\)");
    EXPECT_DEATH((void)(new (501u) U8[1]), "pEntry");
    EXPECT_DEATH((void)(new (500u, std::nothrow) U8[1]), "! pAlloc->WillAssertOnFailure\\(\\)");
    app.SetAssertOnFailure(false);
    U8* r = new (500u, std::nothrow) U8[1];
    EXPECT_NE(r, nullptr);
}

TEST_F(MemoryRoutingTest, ResetAllocatorForwardsToTheContext)
{
    TestAllocator app("App");
    RegisterAllocator(kAllocAppCpu, &app);
    ResetAllocator(kAllocAppCpu, true);
    EXPECT_EQ(app.m_resetCount, 1);
    EXPECT_TRUE(app.m_lastResetKeep);
    EXPECT_DEATH(ResetAllocator(kAllocDevCpu, false), "pAllocator");
}

TEST_F(MemoryRoutingTest, OnlineServicesHooksUseTheNetworkAllocator)
{
    EXPECT_EQ(EosAllocate(64, 16), nullptr); // no network allocator yet
    TestAllocator network("Network");
    RegisterAllocator(kAllocNetwork, &network);

    void* p = EosAllocate(64, 16);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(network.m_lastFile, "corelib/memory/memory");
    EXPECT_EQ(network.m_lastLine, 792u);
    EXPECT_STREQ(network.m_lastFunction,
                 "void *__cdecl Memory::EosAllocate(unsigned __int64,unsigned __int64)");
    memset(p, 0x5A, 64);

    void* q = EosReallocate(p, 128, 16);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(network.m_lastLine, 770u);
    EXPECT_EQ(network.m_lastFreeLine, 777u);
    EXPECT_FALSE(network.IsValidPtr(p));
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(static_cast<U8*>(q)[i], 0x5A);

    // Refused: the old block stays.
    network.m_refuse = true;
    EXPECT_EQ(EosReallocate(q, 256, 16), nullptr);
    EXPECT_TRUE(network.IsValidPtr(q));
    EXPECT_EQ(EosAllocate(8, 8), nullptr);
    network.m_refuse = false;

    // Without the old block's size its contents could not travel: refused as well.
    network.m_knowsSizes = false;
    EXPECT_EQ(EosReallocate(q, 256, 16), nullptr);
    EXPECT_TRUE(network.IsValidPtr(q));
    network.m_knowsSizes = true;

    void* r = EosReallocate(nullptr, 32, 16);
    EXPECT_TRUE(network.IsValidPtr(r));
    EXPECT_EQ(EosReallocate(r, 0, 16), nullptr);
    EXPECT_FALSE(network.IsValidPtr(r));
    EXPECT_EQ(network.m_lastFreeLine, 804u);
    EXPECT_STREQ(network.m_lastFreeFunction, "void __cdecl Memory::EosRelease(void *)");

    EosRelease(q);
    EXPECT_EQ(network.LiveCount(), 0u);
    int local = 0;
    EosRelease(&local); // outside the range: ignored
}
