// The allocator base class, the stack pool, per-thread allocator stacks and the
// job-local copies on worker threads.
#include "corelib/memory/memory.h"

#include "corelib/util/fnv-hash.h"
#include "corelib/util/msg.h"
#include "tests/memory/memory-test-support.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Memory;

namespace
{
// Records what an allocator tells its tracker.
class RecordingTracker : public IAllocationTracker
{
public:
    void Clear() override { m_calls += "Clear;"; }
    void SetAllocator(Allocator* pAllocator) override { m_pAllocator = pAllocator; }
    AllocationEntry* FindAllocation(U64) override { return nullptr; }
    const AllocationEntry* FindAllocation(U64) const override { return nullptr; }
    const char* GetAllocationFile(U64) const override { return nullptr; }
    U32 GetAllocationLine(U64) const override { return 0xFFFFFFFFu; }
    U32 GetNumAllocations() const override { return 0; }
    void PrintMemoryReport() override { m_calls += "Report;"; }
    void TrackAllocation(const char* file, U32 line, const char*, U32 size, U32 value, U32, U64) override
    {
        m_calls += "Alloc " + std::to_string(size) + "/" + std::to_string(value) + " " + file + ":" +
                   std::to_string(line) + ";";
    }
    void TrackDeallocation(const char* file, U32 line, const char*, U64, U32 size) override
    {
        m_calls += "Free " + std::to_string(size) + " " + file + ":" + std::to_string(line) + ";";
    }
    void FreeToMarker(const Marker& marker) override
    {
        m_calls += "ToMarker " + std::to_string(marker) + ";";
    }
    const char* GetName() const override { return "TrackerName"; }
    U64 GetNameId() const override { return 0; }
    void SetLeakDetectionMarker() override {}
    void PrintLeakDetectionReport() override {}

    std::string m_calls;
    Allocator* m_pAllocator = nullptr;
};

// An allocator that relies on every default of the base class.
class MinimalAllocator : public Allocator
{
public:
    using Allocator::Allocator;
    void Reset(bool) override {}
    void* Allocate(U64, U64, const char*, U32, const char*) override { return nullptr; }
    void Free(void*, const char*, U32, const char*) override {}
    bool IsInitialized() override { return m_initialized; }
    bool IsValidPtr(const void* p) override { return p == &m_initialized; }
    bool m_initialized = false;
};

// Every test starts on a thread with a fresh stack and ends with the stack given back.
class AllocatorStackTest : public testing::Test
{
protected:
    void SetUp() override { InitializeThreadAllocStack(); }
    void TearDown() override
    {
        while (GetAllocatorStackDepth() > 0)
            PopAllocator();
        FreeThreadAllocStack();
        SetAllocatorStackTrace(false);
        SetFreeLogContext(kAllocInvalid);
        RegisterAllocator(kAllocInvalid, nullptr);
        RegisterAllocator(kAllocAppCpu, nullptr);
        SetMsgOutput(kMsgChannelInfo, nullptr);
        SetMsgOutput(23, nullptr);
    }
};
} // namespace

TEST(AllocStackPoolTest, HandsOutStacksByModeAndTakesThemBack)
{
    AllocStack storage[4];
    memset(static_cast<void*>(storage), 0xCD, sizeof(storage));
    SetAllocStackPool(storage, 3, 0);
    AllocStack* a = AllocateAllocStack();
    AllocStack* b = AllocateAllocStack();
    EXPECT_EQ(a, &storage[0]);
    EXPECT_EQ(b, &storage[1]);
    EXPECT_EQ(a->m_allocatorStackSize, 0u);
    EXPECT_EQ(a->m_entries[30].m_pAllocator, nullptr);
    FreeAllocStack(a);
    EXPECT_EQ(AllocateAllocStack(), &storage[0]); // lowest free first
    FreeAllocStack(&storage[0]);
    FreeAllocStack(b);

    // Mode 1 continues after the most recent stack and wraps to the lowest free one.
    SetAllocStackPool(storage, 3, 1);
    EXPECT_EQ(AllocateAllocStack(), &storage[0]);
    EXPECT_EQ(AllocateAllocStack(), &storage[1]);
    FreeAllocStack(&storage[0]);
    EXPECT_EQ(AllocateAllocStack(), &storage[2]);
    EXPECT_EQ(AllocateAllocStack(), &storage[0]);
    EXPECT_DEATH(AllocateAllocStack(), "pAllocStack");
    for (AllocStack& stack : storage)
    {
        if (&stack != &storage[3])
            FreeAllocStack(&stack);
    }
    EXPECT_DEATH(FreeAllocStack(&storage[0]), "IsBitSet");
    EXPECT_DEATH(FreeAllocStack(nullptr), "pAllocStack");
    SetAllocStackPool(nullptr, 0, 0); // back to the library's own table
}

TEST(AllocStackPoolTest, EachThreadGetsItsOwnStack)
{
    InitializeThreadAllocStack();
    AllocStack* pMain = GetThreadAllocStack();
    AllocStack* pOther = nullptr;
    std::thread(
        [&]
        {
            EXPECT_EQ(GetThreadAllocStack(), nullptr);
            InitializeThreadAllocStack();
            pOther = GetThreadAllocStack();
            FreeThreadAllocStack();
            EXPECT_EQ(GetThreadAllocStack(), nullptr);
        })
        .join();
    EXPECT_NE(pMain, nullptr);
    EXPECT_NE(pOther, pMain);
    EXPECT_DEATH(InitializeThreadAllocStack(), "pAllocStack == nullptr");
    FreeThreadAllocStack();
    EXPECT_DEATH(FreeThreadAllocStack(), "pAllocStack");
}

TEST(AllocStackPoolTest, ConcurrentThreadsNeverShareAStack)
{
    // Each thread marks the stack it holds with its own number and checks the mark
    // survives while the other threads take and return stacks.
    constexpr int kThreads = 6;
    constexpr int kRounds = 300;
    TestAllocator allocator("Shared");
    std::vector<std::thread> threads;
    std::atomic<int> clashes{0};
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [t, &allocator, &clashes]
            {
                for (int round = 0; round < kRounds; ++round)
                {
                    InitializeThreadAllocStack();
                    PushAllocator(&allocator, "thread.cpp", static_cast<U32>(t), "Worker");
                    std::this_thread::yield();
                    if (GetThreadAllocStack()->m_entries[0].m_sourceLine != static_cast<U32>(t) ||
                        GetAllocatorStackDepth() != 1)
                        clashes.fetch_add(1);
                    PopAllocator();
                    FreeThreadAllocStack();
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(clashes.load(), 0);
}

TEST_F(AllocatorStackTest, PushRecordsEntriesAndPopClearsThem)
{
    TestAllocator first("First"), second("Second");
    RegisterAllocator(kAllocAppCpu, &second);
    PushAllocator(&first, "a.cpp", 10, "FuncA");
    PushAllocator(kAllocAppCpu, "b.cpp", 20, "FuncB");
    const AllocStack* pStack = GetThreadAllocStack();
    ASSERT_EQ(GetAllocatorStackDepth(), 2u);
    EXPECT_EQ(pStack->m_entries[0].m_pAllocator, &first);
    EXPECT_STREQ(pStack->m_entries[0].m_sourceFile, "a.cpp");
    EXPECT_STREQ(pStack->m_entries[0].m_sourceFunction, "FuncA");
    EXPECT_EQ(pStack->m_entries[0].m_sourceLine, 10u);
    EXPECT_EQ(pStack->m_entries[0].m_context, kAllocUnknown.GetValue());
    EXPECT_EQ(pStack->m_entries[1].m_pAllocator, &second);
    EXPECT_EQ(pStack->m_entries[1].m_context, kAllocAppCpu.GetValue());
    EXPECT_EQ(TopAllocator(), &second);

    EXPECT_EQ(PopAllocator(), &second);
    EXPECT_EQ(pStack->m_entries[1].m_pAllocator, nullptr);
    EXPECT_EQ(pStack->m_entries[1].m_sourceFile, nullptr);
    EXPECT_EQ(TopAllocator(), &first);
    EXPECT_EQ(PopAllocator(), &first);
    EXPECT_DEATH(PopAllocator(), "pAllocStack->m_allocatorStackSize > 0");
}

TEST_F(AllocatorStackTest, DepthLimitIsThirtyOne)
{
    TestAllocator allocator("A");
    for (U32 i = 0; i < AllocStack::kMaxAllocatorStackDepth; ++i)
        PushAllocator(&allocator, "f.cpp", i, "F");
    EXPECT_EQ(GetAllocatorStackDepth(), 31u);
    EXPECT_DEATH(PushAllocator(&allocator, "f.cpp", 31, "F"),
                 "pAllocStack->m_allocatorStackSize < AllocStack::kMaxAllocatorStackDepth");
}

TEST(AllocatorStackNoStackTest, OperationsNeedAStack)
{
    TestAllocator allocator("A");
    EXPECT_DEATH(PushAllocator(&allocator, "f.cpp", 1, "F"), "pAllocStack");
    EXPECT_DEATH(PopAllocator(), "pAllocStack");
    EXPECT_DEATH(GetAllocatorStackDepth(), "pAllocStack");
    // Without a stack, the unqualified allocation gives nothing, while TopAllocator names the context-0
    // allocator.
    RegisterAllocator(kAllocInvalid, &allocator);
    EXPECT_EQ(TopAllocator(), &allocator);
    EXPECT_EQ(Memory::Allocate(16, 16, "f.cpp", 1, "F"), nullptr);
    RegisterAllocator(kAllocInvalid, nullptr);
}

TEST_F(AllocatorStackTest, TraceGoesToChannelOne)
{
    DoutCapture capture;
    SetMsgOutput(kMsgChannelInfo, &capture);
    TestAllocator allocator("A");
    SetAllocatorStackTrace(true);
    PushAllocator(&allocator, "dir/file.cpp", 42, "F");
    PushAllocator(&allocator, "other.cpp", 7, "G");
    PopAllocator();
    PopAllocator();
    EXPECT_EQ(capture.m_text, "PUSH   1 (dir/file.cpp:42)\nPUSH   2 (other.cpp:7)\npop    2\npop    1\n");
}

TEST_F(AllocatorStackTest, EmptyStackFallsBackToContextZeroButAllocatesNothing)
{
    TestAllocator fallback("Fallback");
    RegisterAllocator(kAllocInvalid, &fallback);
    EXPECT_EQ(TopAllocator(), &fallback);
    EXPECT_EQ(Memory::Allocate(32, 16, "f.cpp", 1, "F"), nullptr);
    EXPECT_EQ(fallback.LiveCount(), 0u);
}

TEST_F(AllocatorStackTest, AllocateUsesTheTopAndRequestsAtLeastOneByte)
{
    TestAllocator allocator("A");
    PushAllocator(&allocator, "f.cpp", 1, "F");
    void* p = Memory::Allocate(0, 64, "alloc.cpp", 77, "Caller");
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(IsPointerAligned(p, 64));
    EXPECT_EQ(allocator.m_lastSize, 1u);
    EXPECT_EQ(allocator.m_lastAlignment, 64u);
    EXPECT_STREQ(allocator.m_lastFile, "alloc.cpp");
    EXPECT_EQ(allocator.m_lastLine, 77u);
    EXPECT_STREQ(allocator.m_lastFunction, "Caller");
}

TEST_F(AllocatorStackTest, CopyAllocStackCopiesUsedEntriesAndClearsTheRest)
{
    TestAllocator a("A"), b("B");
    AllocStack src = {}, dst = {};
    AllocStack* pOwn = GetThreadAllocStack();
    SetThreadAllocStack(&dst);
    PushAllocator(&a, "x.cpp", 1, "X");
    PushAllocator(&b, "y.cpp", 2, "Y");
    PushAllocator(&a, "z.cpp", 3, "Z");
    SetThreadAllocStack(&src);
    PushAllocator(&b, "s.cpp", 9, "S");
    CopyAllocStack(&dst, &src);
    EXPECT_EQ(dst.m_allocatorStackSize, 1u);
    EXPECT_EQ(dst.m_entries[0].m_pAllocator, &b);
    EXPECT_EQ(dst.m_entries[0].m_sourceLine, 9u);
    EXPECT_EQ(dst.m_entries[1].m_pAllocator, nullptr);
    EXPECT_EQ(dst.m_entries[2].m_pAllocator, nullptr);
    PopAllocator();
    SetThreadAllocStack(pOwn);
}

TEST_F(AllocatorStackTest, WorkerKeepsTheCurrentAllocatorInJobLocalStorage)
{
    TestAllocator a("A"), b("B");
    FakeJob job;
    PushAllocator(&a, "f.cpp", 1, "F");
    EXPECT_EQ(job.m_ids[kJlsIndexAllocator], kJlsIdAllocator);
    EXPECT_EQ(job.m_values[kJlsIndexAllocator], reinterpret_cast<UPtr>(&a));
    PushAllocator(&b, "f.cpp", 2, "F");
    EXPECT_EQ(TopAllocator(), &b);

    // The job resumed elsewhere: the job-local copy decides, not this thread's stack.
    job.m_values[kJlsIndexAllocator] = reinterpret_cast<UPtr>(&a);
    EXPECT_EQ(TopAllocator(), &a);
    void* p = Memory::Allocate(8, 8, "f.cpp", 3, "F");
    EXPECT_EQ(a.LiveCount(), 1u);
    EXPECT_EQ(b.LiveCount(), 0u);
    EXPECT_NE(p, nullptr);

    PopAllocator();
    EXPECT_EQ(job.m_values[kJlsIndexAllocator], reinterpret_cast<UPtr>(&a));
    PopAllocator();
    EXPECT_EQ(job.m_ids[kJlsIndexAllocator], kJlsIdAllocator);
    EXPECT_EQ(job.m_values[kJlsIndexAllocator], 0u);
    EXPECT_EQ(TopAllocator(), nullptr);
}

TEST_F(AllocatorStackTest, FailureReportNamesSizeFileAndAllocator)
{
    TestAllocator allocator("Refuser");
    allocator.m_refuse = true;
    PushAllocator(&allocator, "f.cpp", 1, "F");
    EXPECT_DEATH(Memory::Allocate(100, 16, "some/dir/caller.cpp", 42, "F"),
                 "Allocation failed: 100 bytes 16 aligned in caller.cpp:42\\.");
    EXPECT_DEATH(Memory::Allocate(100, 16, "caller.cpp", 42, "F"), "Refuser \\[Free: 65536 Total: 65536\\]");

    // Without a name the tracker's name is used.
    RecordingTracker tracker;
    allocator.SetName(nullptr);
    allocator.SetTracker(&tracker);
    EXPECT_DEATH(Memory::Allocate(100, 16, "caller.cpp", 42, "F"), "TrackerName \\[Free");
    allocator.RemoveTracker();
    EXPECT_DEATH(Memory::Allocate(100, 16, "caller.cpp", 42, "F"), "Unnamed \\[Free");

    // Switched off, a failure is just a null result.
    EXPECT_TRUE(allocator.SetAssertOnFailure(false));
    EXPECT_FALSE(allocator.WillAssertOnFailure());
    EXPECT_EQ(Memory::Allocate(100, 16, "caller.cpp", 42, "F"), nullptr);
}

TEST_F(AllocatorStackTest, JobsSuppressFailureReportsInNestedScopes)
{
    TestAllocator allocator("Refuser");
    allocator.m_refuse = true;
    EXPECT_DEATH(PushDontAssertOnAllocFail(), "oxjob::IsWorkerThread\\(\\)");
    EXPECT_DEATH(PopDontAssertOnAllocFail(), "oxjob::IsWorkerThread\\(\\)");

    FakeJob job;
    PushAllocator(&allocator, "f.cpp", 1, "F");
    EXPECT_TRUE(allocator.WillAssertOnFailure());
    PushDontAssertOnAllocFail();
    PushDontAssertOnAllocFail();
    EXPECT_EQ(job.m_values[kJlsIndexAllocFailSuppression], 2u);
    EXPECT_FALSE(allocator.WillAssertOnFailure());
    EXPECT_EQ(Memory::Allocate(100, 16, "f.cpp", 1, "F"), nullptr);
    PopDontAssertOnAllocFail();
    EXPECT_FALSE(allocator.WillAssertOnFailure());
    PopDontAssertOnAllocFail();
    EXPECT_EQ(job.m_ids[kJlsIndexAllocFailSuppression], 0u); // the entry is gone at depth 0
    EXPECT_TRUE(allocator.WillAssertOnFailure());
    EXPECT_DEATH(PopDontAssertOnAllocFail(), "value > 0");
}

TEST_F(AllocatorStackTest, TrackerHearsOfAllocationsReleasesAndRewinds)
{
    TestAllocator allocator("Tracked");
    RecordingTracker tracker, other;
    allocator.SetTracker(&tracker);
    EXPECT_EQ(tracker.m_pAllocator, &allocator);
    EXPECT_DEATH(allocator.SetTracker(&other), "pNewTracker == nullptr \\|\\| m_pTracker == nullptr");
    void* p = allocator.Allocate(24, 8, "t.cpp", 5, "T");
    allocator.Free(p, "t.cpp", 6, "T");
    allocator.Clear();
    allocator.FreeToMarker(1234);
    EXPECT_EQ(tracker.m_calls, "Alloc 24/24 t.cpp:5;Free 24 t.cpp:6;Clear;ToMarker 1234;");
    allocator.RemoveTracker();
    EXPECT_EQ(tracker.m_pAllocator, nullptr);
    EXPECT_EQ(allocator.GetTracker(), nullptr);
}

TEST_F(AllocatorStackTest, FreeLogReportsFreesOfOneContextOnChannel23)
{
    DoutCapture capture;
    SetMsgOutput(23, &capture);
    TestAllocator logged("Logged"), other("Other");
    RegisterAllocator(kAllocAppCpu, &logged);
    void* p = logged.Allocate(100, 8, "f.cpp", 1, "F");
    void* q = other.Allocate(100, 8, "f.cpp", 1, "F");
    logged.Free(p, "free.cpp", 12, "Releaser");
    EXPECT_EQ(capture.m_text, ""); // switched off
    SetFreeLogContext(kAllocAppCpu);
    other.Free(q, "free.cpp", 12, "Releaser");
    EXPECT_EQ(capture.m_text, "");
    p = logged.Allocate(100, 8, "f.cpp", 1, "F");
    logged.Free(p, "free.cpp", 0xFFFFFFFFu, "Releaser");
    EXPECT_EQ(capture.m_text,
              "kAllocAppCpu,  FREE,        100,B,  0.0001,MB,  0.0623,freeMB, free.cpp,0,\"Releaser\"\n");
}

TEST(AllocatorBaseTest, DefaultsOfTheVirtualOperations)
{
    MinimalAllocator allocator("Minimal");
    EXPECT_EQ(allocator.GetNameId(), Fnv1aHashText64("Minimal", kFnv64OffsetBasis));
    allocator.SetName("Renamed");
    EXPECT_STREQ(allocator.GetName(), "Renamed");
    EXPECT_EQ(allocator.GetNameId(), Fnv1aHashText64("Renamed", kFnv64OffsetBasis));
    EXPECT_EQ(allocator.GetMarker(), 0u);
    EXPECT_EQ(allocator.GetMemoryBase(), nullptr);
    EXPECT_EQ(allocator.GetTotalSize(), 0u);
    EXPECT_EQ(allocator.GetFreeSize(), 0u);
    EXPECT_EQ(allocator.GetLargestFreeBlock(), 0u);
    EXPECT_EQ(allocator.GetUsedSize(), 0u);
    EXPECT_EQ(static_cast<U64>(allocator.GetDefaultAlignment()), 1u);
    EXPECT_EQ(allocator.AdjustSize(64, 123), 123u);
    EXPECT_EQ(allocator.GetAllocSize(&allocator), 0u);
    EXPECT_FALSE(allocator.CanAllocate(16, 16));
    allocator.m_initialized = true;
    EXPECT_TRUE(allocator.CanAllocate(16, 16));
    EXPECT_TRUE(allocator.IsPtrInRange(&allocator.m_initialized));
    EXPECT_FALSE(allocator.IsPtrInRange(&allocator));
    *allocator.GetReportRequestFlag() = 1;
    allocator.ProcessReportRequest();
    EXPECT_EQ(*allocator.GetReportRequestFlag(), 0);
    EXPECT_TRUE(allocator.WillAssertOnFailure());
    EXPECT_FALSE(allocator.IsThreadSafe());
    allocator.SetThreadSafe(true);
    allocator.Lock();
    allocator.Unlock();
    allocator.Shutdown();
    EXPECT_FALSE(allocator.IsThreadSafe());
    EXPECT_DEATH(allocator.IsPtrInDoubleFrameRange(&allocator), "Assertion failed: 0");
}
