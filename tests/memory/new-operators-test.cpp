// The replaced global operator new/delete (corelib_memory_new): routing to the current
// allocator, the C runtime heap for everything no allocator takes or owns.
#include "corelib/memory/memory.h"

#include "tests/memory/memory-test-support.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>

using namespace Memory;

namespace
{
struct Widget
{
    U64 m_value = 7;
};

struct alignas(128) AlignedWidget
{
    U8 m_bytes[40] = {};
};

// Registered for the whole run and never destroyed: whatever the test framework
// allocates while a test has it pushed is found again by the replaced delete later.
TestAllocator& Shared()
{
    static TestAllocator* s_pShared = []
    {
        TestAllocator* p = new TestAllocator("Shared", 256 * 1024);
        RegisterAllocator(kAllocAppCpu, p);
        return p;
    }();
    return *s_pShared;
}

class NewOperatorsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Shared();
        InitializeThreadAllocStack();
    }
    void TearDown() override
    {
        while (GetAllocatorStackDepth() > 0)
            PopAllocator();
        FreeThreadAllocStack();
        Shared().m_refuse = false;
        Shared().SetAssertOnFailure(true);
    }
};
} // namespace

TEST_F(NewOperatorsTest, WithoutAnAllocatorNewUsesTheCRuntimeHeap)
{
    // No allocator pushed: the request must still succeed, and delete must give it back
    // (the leak checker of the sanitizer build would report it otherwise).
    const size_t liveBefore = Shared().LiveCount();
    auto* pWidget = new Widget;
    EXPECT_EQ(pWidget->m_value, 7u);
    EXPECT_EQ(FindAllocatorForPtr(pWidget), nullptr);
    delete pWidget;
    auto* pArray = new U64[1000];
    delete[] pArray;
    auto* pAligned = new AlignedWidget;
    EXPECT_TRUE(IsPointerAligned(pAligned, 128));
    delete pAligned;
    EXPECT_EQ(Shared().LiveCount(), liveBefore);
}

TEST_F(NewOperatorsTest, NewAndDeleteFollowTheCurrentAllocator)
{
    const size_t liveBefore = Shared().LiveCount();
    SetAllocSourceLocation("factory.cpp", 33, "Build");
    PushAllocator(&Shared(), "f", 1, "F");
    auto* pWidget = new Widget;
    auto* pAligned = new AlignedWidget[3];
    auto* pNothrow = new (std::nothrow) Widget;
    PopAllocator();
    const char* file = Shared().m_lastFile;
    const U32 size = static_cast<U32>(Shared().m_lastSize);

    EXPECT_TRUE(Shared().IsValidPtr(pWidget));
    EXPECT_TRUE(Shared().IsValidPtr(pAligned) || Shared().IsValidPtr(reinterpret_cast<U8*>(pAligned) - 128));
    EXPECT_TRUE(IsPointerAligned(pAligned, 128));
    EXPECT_TRUE(Shared().IsValidPtr(pNothrow));
    EXPECT_STREQ(file, "UNKNOWN"); // the first new took the location
    EXPECT_EQ(size, sizeof(Widget));
    // Released through the owner, found in the registry after the pop.
    delete pWidget;
    delete[] pAligned;
    delete pNothrow;
    EXPECT_EQ(Shared().LiveCount(), liveBefore);
}

TEST_F(NewOperatorsTest, ThrowingNewNeverReturnsNull)
{
    Shared().m_refuse = true;
    Shared().SetAssertOnFailure(false);
    PushAllocator(&Shared(), "f", 1, "F");
    auto* pWidget = new Widget; // the allocator refuses: the C runtime heap serves it
    PopAllocator();
    ASSERT_NE(pWidget, nullptr);
    EXPECT_EQ(pWidget->m_value, 7u);
    EXPECT_EQ(FindAllocatorForPtr(pWidget), nullptr);
    delete pWidget; // no owner: back to the C runtime heap, not leaked
}

TEST_F(NewOperatorsTest, DeleteOfAStrayInsideAnAllocatorIsNotPassedOn)
{
    PushAllocator(&Shared(), "f", 1, "F");
    auto* pWidget = new Widget;
    PopAllocator();
    const U64 strays = GetInRangeInvalidPtrCount();
    const int frees = Shared().m_freeCount;
    delete pWidget;
    EXPECT_EQ(Shared().m_freeCount, frees + 1);
    // Released again: the pointer lies in the allocator's memory but is no block of it.
    // It is counted and left alone; the C runtime heap never sees it.
    operator delete(static_cast<void*>(pWidget));
    EXPECT_EQ(Shared().m_freeCount, frees + 1);
    EXPECT_EQ(GetInRangeInvalidPtrCount(), strays + 1);

    // The same for an allocator known only from the thread's stack.
    TestAllocator local("Local");
    PushAllocator(&local, "f", 1, "F");
    auto* pLocal = new Widget;
    delete pLocal;
    operator delete(static_cast<void*>(pLocal));
    PopAllocator();
    EXPECT_EQ(local.m_freeCount, 1);
}

TEST_F(NewOperatorsTest, FailureReportStillFiresWhenTheAllocatorAsserts)
{
    // Refusal and push happen inside the dying statement: the test framework allocates too.
    EXPECT_DEATH(
        {
            Shared().m_refuse = true;
            PushAllocator(&Shared(), "f", 1, "F");
            (void)(new Widget);
        },
        "Allocation failed: 8 bytes 16 aligned in UNKNOWN:-1\\.");
}
