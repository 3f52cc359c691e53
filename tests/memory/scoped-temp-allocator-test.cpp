// Scoped temporary allocators: blocks carved from one buffer, owner keys, nesting that
// rewinds to the entry marker, the out-of-blocks report, the peak query and shutdown.
#include "corelib/memory/scoped-temp-allocator.h"

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory.h"
#include "corelib/memory/scoped-temp-owner.h"
#include "corelib/system/platform/thread.h"
#include "corelib/util/msg.h"
#include "tests/memory/memory-test-support.h"
#include "tests/memory/scoped-temp-test-support.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace
{
I64 ThreadKey()
{
    return static_cast<I64>(static_cast<U64>(oxsys::CurrentThreadId()) | kScopedTempThreadKeyBit);
}

// An output that writes to standard error, so that a death test can read the channel.
class DoutStderr : public DoutBase
{
public:
    const char* GetName() const override { return "stderr"; }
    void Print(const char* text) override { fputs(text, stderr); }
};

// A thread that holds a scope open until told to end it.
class ScopeHolder
{
public:
    ScopeHolder(const char* file, U32 line, const char* function)
        : m_thread([this, file, line, function] { Run(file, line, function); })
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_opened; });
    }
    ~ScopeHolder()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_release = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

    HeapAllocator* m_pAllocator = nullptr;
    I64 m_key = 0;

private:
    void Run(const char* file, U32 line, const char* function)
    {
        ScopedTempAllocator scope(false, file, line, function);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_pAllocator = scope.GetAllocator();
        m_key = ThreadKey();
        m_opened = true;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_release; });
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_opened = false;
    bool m_release = false;
    std::thread m_thread;
};

class ScopedTempAllocatorTest : public ScopedTempSystemTest
{
protected:
    void TearDown() override
    {
        SetMsgOutput(kMsgChannelError, nullptr);
        ScopedTempSystemTest::TearDown();
    }
};

TEST_F(ScopedTempAllocatorTest, BlocksAreEqualMultiplesOfOneKiB)
{
    struct Case
    {
        U64 size;
        U64 numBlocks;
        U64 blockSize;
    };
    const Case cases[] = {
        {10000, 3, 3072}, {65536, 64, 1024}, {65535, 64, 0}, {1 << 20, 1, 1 << 20}, {5000, 2, 2048}};
    for (const Case& c : cases)
    {
        StartSystem(c.size, c.numBlocks);
        EXPECT_EQ(GetScopedTempNumBlocks(), c.numBlocks);
        EXPECT_EQ(GetScopedTempBlockSize(), c.blockSize) << c.size << " / " << c.numBlocks;
        StopSystem();
        EXPECT_EQ(GetScopedTempNumBlocks(), 0u);
        EXPECT_EQ(GetScopedTempBlockSize(), 0u);
    }
}

TEST_F(ScopedTempAllocatorTest, NestedScopesShareOneBlockAndRewindToTheirOwnMarker)
{
    StartSystem(8 * 1024, 4);
    EXPECT_EQ(GetScopedTempAllocatorForOwner(ThreadKey()), nullptr);
    {
        OX_SCOPED_TEMP_ALLOCATOR(outer, false);
        HeapAllocator* pAllocator = outer.GetAllocator();
        ASSERT_NE(pAllocator, nullptr);
        EXPECT_EQ(GetScopedTempAllocatorForOwner(ThreadKey()), pAllocator);
        EXPECT_EQ(pAllocator->GetTotalSize(), 2048u);
        EXPECT_FALSE(pAllocator->IsThreadSafe());

        U8* pOuter = static_cast<U8*>(outer.Allocate(100, 16, __FILE__, __LINE__, __func__));
        ASSERT_NE(pOuter, nullptr);
        const U64 freeAfterOuter = outer.GetFreeSize();
        {
            OX_SCOPED_TEMP_ALLOCATOR(inner, false);
            EXPECT_EQ(inner.GetAllocator(), pAllocator);
            U8* pInner = static_cast<U8*>(inner.Allocate(300, 16, __FILE__, __LINE__, __func__));
            EXPECT_GE(pInner, pOuter + 100);
            EXPECT_LT(inner.GetFreeSize(), freeAfterOuter);
        }
        // The inner scope gave back only its own allocation.
        EXPECT_EQ(outer.GetFreeSize(), freeAfterOuter);
        EXPECT_EQ(GetScopedTempAllocatorForOwner(ThreadKey()), pAllocator);
    }
    EXPECT_EQ(GetScopedTempAllocatorForOwner(ThreadKey()), nullptr);
    // The block is free again: the next scope starts on an empty block.
    OX_SCOPED_TEMP_ALLOCATOR(again, false);
    EXPECT_EQ(again.GetFreeSize(), 2048u);
}

TEST_F(ScopedTempAllocatorTest, SkipRewindKeepsAllocationsForTheEnclosingScope)
{
    StartSystem(4096, 2);
    OX_SCOPED_TEMP_ALLOCATOR(outer, false);
    {
        OX_SCOPED_TEMP_ALLOCATOR(inner, false);
        inner.SetSkipRewind(true);
        inner.Allocate(512, 8, __FILE__, __LINE__, __func__);
    }
    EXPECT_EQ(outer.GetFreeSize(), 2048u - 512u);
}

TEST_F(ScopedTempAllocatorTest, PushedScopeIsTheCurrentAllocatorUntilItEnds)
{
    StartSystem(4096, 2);
    TestAllocator base("Base");
    Memory::PushAllocator(&base, __FILE__, __LINE__, __func__);
    {
        OX_SCOPED_TEMP_ALLOCATOR(scope, true);
        EXPECT_EQ(Memory::TopAllocator(), scope.GetAllocator());
        void* p = Memory::Allocate(64, 16, __FILE__, __LINE__, __func__);
        EXPECT_TRUE(scope.GetAllocator()->IsValidPtr(p));
        EXPECT_EQ(base.LiveCount(), 0u);
    }
    EXPECT_EQ(Memory::TopAllocator(), &base);
    Memory::PopAllocator();
}

TEST_F(ScopedTempAllocatorTest, OwnersOnOtherThreadsTakeOtherBlocks)
{
    StartSystem(8 * 1024, 4);
    OX_SCOPED_TEMP_ALLOCATOR(mine, false);
    ScopeHolder a(__FILE__, __LINE__, "HolderA");
    ScopeHolder b(__FILE__, __LINE__, "HolderB");
    const std::set<HeapAllocator*> allocators = {mine.GetAllocator(), a.m_pAllocator, b.m_pAllocator};
    EXPECT_EQ(allocators.size(), 3u);
    EXPECT_NE(a.m_key, b.m_key);
    EXPECT_EQ(static_cast<U64>(a.m_key) & kScopedTempThreadKeyBit, kScopedTempThreadKeyBit);
    EXPECT_EQ(GetScopedTempAllocatorForOwner(a.m_key), a.m_pAllocator);
    // Blocks lie side by side in the buffer, the lowest free one first.
    EXPECT_EQ(static_cast<U8*>(a.m_pAllocator->GetMemoryBase()),
              static_cast<U8*>(mine.GetAllocator()->GetMemoryBase()) + 2048);
}

TEST_F(ScopedTempAllocatorTest, PeakCountsTheBusiestMomentSinceTheLastQuery)
{
    StartSystem(8 * 1024, 4);
    EXPECT_EQ(TakeScopedTempPeak(), 0u);
    {
        ScopeHolder a(__FILE__, __LINE__, "HolderA");
        {
            ScopeHolder b(__FILE__, __LINE__, "HolderB");
            ScopeHolder c(__FILE__, __LINE__, "HolderC");
        }
        EXPECT_EQ(TakeScopedTempPeak(), 3u);
        // A new period starts with the block still held.
        EXPECT_EQ(TakeScopedTempPeak(), 1u);
    }
    EXPECT_EQ(TakeScopedTempPeak(), 1u);
    EXPECT_EQ(TakeScopedTempPeak(), 0u);
    EXPECT_EQ(GetScopedTempPeakEver(), 3u);
}

TEST_F(ScopedTempAllocatorTest, JobsAreOwnersWhenTheJobSystemGivesTheirKeys)
{
    StartSystem(8 * 1024, 4);
    {
        FakeJob job; // the thread acts as a worker
        // Entry 0 holds the running job's identifier; switching it switches the owner.
        const auto runJob = [&job](U64 jobKey)
        {
            job.m_ids[kScopedTempJobKeyIndex] = 0xF18A2D801EFF31F1ull;
            job.m_values[kScopedTempJobKeyIndex] = jobKey;
        };
        runJob(0x1234);
        auto* pFirst = new ScopedTempAllocator(false, __FILE__, __LINE__, __func__);
        runJob(0x5678);
        {
            OX_SCOPED_TEMP_ALLOCATOR(second, false);
            EXPECT_NE(pFirst->GetAllocator(), second.GetAllocator());
            EXPECT_EQ(GetScopedTempAllocatorForOwner(0x1234), pFirst->GetAllocator());
            EXPECT_EQ(GetScopedTempAllocatorForOwner(0x5678), second.GetAllocator());
        }
        // Each job ends its own scope.
        runJob(0x1234);
        delete pFirst;
        EXPECT_EQ(GetScopedTempAllocatorForOwner(0x1234), nullptr);
        // A worker between jobs (entry 0 free) is keyed as its thread.
        job.m_ids[kScopedTempJobKeyIndex] = 0;
        EXPECT_EQ(GetScopedTempOwnerKey(), ThreadKey());
    }
    // Outside a worker the thread key applies again.
    EXPECT_EQ(GetScopedTempOwnerKey(), ThreadKey());
}

TEST_F(ScopedTempAllocatorTest, AFifthOwnerOfFourBlocksGetsTheDumpAndTheMessage)
{
    StartSystem(8 * 1024, 4);
    DoutStderr errors;
    SetMsgOutput(kMsgChannelError, &errors);
    ScopeHolder a("holder-a.cpp", 11, "HolderA");
    ScopeHolder b("holder-b.cpp", 12, "HolderB");
    ScopeHolder c("holder-c.cpp", 13, "HolderC");
    ScopeHolder d("holder-d.cpp", 14, "HolderD");
    // One line per slot (its holder, or <null> for a slot never taken), then the report.
    const char* const expected[] = {
        "ERROR: 00 holder-a.cpp:11 HolderA",
        "ERROR: 03 holder-d.cpp:14 HolderD",
        "ERROR: 04 <null>:0 <null>",
        "ERROR: 63 <null>:0 <null>",
        "Ran out of scoped temp allocators trying to create a new one at fifth.cpp:99 Fifth. Mask "
        "0x000000000000000f \\(4\\) see TTY for dump of current allocators",
    };
    for (const char* line : expected)
        EXPECT_DEATH(ScopedTempAllocator fifth(false, "fifth.cpp", 99, "Fifth"), line);
}

TEST_F(ScopedTempAllocatorTest, MisuseIsReportedWithItsCondition)
{
    EXPECT_DEATH(InitializeScopedTempAllocSystem(nullptr, 0, 65), "numBlocks <= kMaxBlocks");
    EXPECT_DEATH(InitializeScopedTempAllocSystem(nullptr, 0, 0), "numBlocks > 0");
    StartSystem(4096, 2);
    EXPECT_DEATH(ScopedTempAllocator s(false, "", 1, "F"), "sourceFile && strlen\\(sourceFile\\) > 0");
    EXPECT_DEATH(ScopedTempAllocator s(false, "f.cpp", 1, nullptr),
                 "sourceFunc && strlen\\(sourceFunc\\) > 0");
    // A scope must end with the owner that began it.
    EXPECT_DEATH(
        {
            auto* pScope = new ScopedTempAllocator(false, __FILE__, __LINE__, __func__);
            std::thread([pScope] { delete pScope; }).join();
        },
        "findIter != endIter");
    {
        OX_SCOPED_TEMP_ALLOCATOR(open, false);
        EXPECT_DEATH(ShutdownScopedTempAllocSystem(), "s_scopedTempData.m_usageMask.AreAllBitsClear\\(\\)");
    }
}

TEST_F(ScopedTempAllocatorTest, AScopeAfterShutdownFindsNoBlock)
{
    StartSystem(4096, 2);
    StopSystem();
    EXPECT_DEATH(ScopedTempAllocator s(false, "late.cpp", 1, "Late"), "m_initialized");
    // The next initialisation makes scopes work again.
    StartSystem(4096, 2);
    OX_SCOPED_TEMP_ALLOCATOR(scope, false);
    EXPECT_NE(scope.GetAllocator(), nullptr);
}

TEST(ScopedTempMemoryWallTest, VerifyNamesTheFirstChangedWord)
{
    const char* const conditions[4] = {"m_magic\\[0\\] == 0x12348888", "m_magic\\[1\\] == 0x56789999",
                                       "m_magic\\[2\\] == 0xC0DEC0DE", "m_magic\\[3\\] == 0xAABBAABB"};
    for (int word = 0; word < 4; ++word)
    {
        ScopedTempMemoryWall wall;
        wall.Set();
        wall.Verify();
        wall.m_magic[word] ^= 0x100;
        EXPECT_DEATH(wall.Verify(), conditions[word]);
    }
}
} // namespace

// A host that leaves main without the teardown: its allocators are gone (still
// registered) when the library's static destructors run. None of them may call into
// those allocators, so the process ends with the host's own status and output.
TEST(ScopedTempExitTest, LeavingWithoutTeardownExitsCleanly)
{
    EXPECT_EXIT(
        {
            static U8 s_scratch[64 * 1024];
            Memory::InitializeThreadAllocStack();
            {
                TestAllocator systemDirect("HostSystemDirect", 64 * 1024);
                Memory::RegisterAllocator(Memory::kAllocSystemDirect, &systemDirect);
                InitializeScopedTempAllocSystem(s_scratch, sizeof(s_scratch), 4);
            } // the host's allocator ends here, still registered, the system still up
            std::fputs("host output complete\n", stderr);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "host output complete");
}
