// The rest of the library answering to jobs. A job's current allocator, its suppression of
// allocation-failure reports, its scoped temporary owner and its job-local entries follow it
// when it resumes on another worker, and the job that takes its place on the worker it left
// sees none of them. Render jobs resolve the virtual memory contexts to their render
// variants; profiler regions take the running job's colour; string ids can be formatted in
// development memory on workers. Idle regular workers sleep while power save is on and
// wake for work; emergency workers leave time-critical work alone for their delay.
#include "corelib/job/job-local-storage-internal.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/memory.h"
#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/memory/scoped-temp-owner.h"
#include "corelib/system/profiler-events.h"
#include "corelib/system/timing.h"
#include "corelib/util/stringid-cache.h"
#include "corelib/util/stringid.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
#define EXPECT_NO_FAILED_JOB_CHECK()                                                                         \
    EXPECT_EQ(jobtest::s_firstFailedLine.load(), 0) << "the JOB_CHECK on this line failed inside a job"

// Allocates size bytes with the calling job's current allocator.
void* AllocateHere(U64 size)
{
    return Memory::Allocate(size, kAlign16, __FILE__, __LINE__, __func__);
}

// A heap allocator over a buffer of its own; quiet when it runs out, so that tests of
// failures print nothing.
struct BufferedHeap
{
    explicit BufferedHeap(const char* name, U64 size = 4096) : m_allocator(name), m_buffer(new U8[size + 16])
    {
        U8* pStart = m_buffer.get() + ((16 - reinterpret_cast<UPtr>(m_buffer.get()) % 16) % 16);
        m_allocator.Init(pStart, size);
        m_allocator.GetArena().SetQuiet(true);
        m_allocator.SetThreadSafe(true);
    }
    BufferedHeap(const BufferedHeap&) = delete;
    BufferedHeap& operator=(const BufferedHeap&) = delete;

    bool Owns(const void* p) { return p && m_allocator.IsValidPtr(p); }

    HeapAllocator m_allocator;
    std::unique_ptr<U8[]> m_buffer;
};

// --- A job that moves to the other worker while another job takes its place -----------------

// Two workers. The waiter starts on worker 0 and, at the point where its scenario calls
// WaitAndMove, waits on a counter. The stayer (which may only run on worker 0) takes the
// worker the waiter left and holds it until the waiter has finished, so the waiter must
// resume on worker 1. The waker (worker 1 only) releases the waiter once the stayer has
// made its checks, so those run while the waiter is away with everything it set up.
struct MoveScenario
{
    const char* m_name;
    U64 m_waiterFlags;
    // The waiter's body: sets things up, calls WaitAndMove, checks them on worker 1.
    void (*m_pWaiter)();
    // The stayer on worker 0 while the waiter is away.
    void (*m_pWhileAway)();
    // The stayer again, once the waiter has finished on worker 1 (may be null).
    void (*m_pAfterWaiterDone)();
    // Scoped temporary blocks the two jobs hold at once.
    U32 m_tempBlocksAtOnce;
};

const MoveScenario* s_pScenario = nullptr;
CounterHandle s_wake;
std::atomic<bool> s_stayerChecked{false};
std::atomic<bool> s_waiterDone{false};
std::atomic<U64> s_waiterStartWorker{99};
std::atomic<U64> s_waiterResumeWorker{99};
std::atomic<U64> s_stayerWorker{99};
// What the waiter set up, for the stayer to compare with.
std::atomic<U64> s_waiterJobId{0};
std::atomic<I64> s_waiterOwnerKey{0};
std::atomic<HeapAllocator*> s_pWaiterTemp{nullptr};

// Suspends the calling waiter until the stayer holds worker 0; returns on worker 1.
void WaitAndMove()
{
    s_waiterJobId = GetActiveJobId();
    s_waiterStartWorker = GetCurrentWorkerThreadIndex();
    UnlockActiveJobFromCore(0x3);
    WaitForCounter(s_wake, 0);
    s_waiterResumeWorker = GetCurrentWorkerThreadIndex();
}

void WaiterJob(U64)
{
    s_pScenario->m_pWaiter();
    s_waiterDone = true;
}

void StayerJob(U64)
{
    s_stayerWorker = GetCurrentWorkerThreadIndex();
    s_pScenario->m_pWhileAway();
    s_stayerChecked = true;
    jobtest::SpinUntil(s_waiterDone);
    if (s_pScenario->m_pAfterWaiterDone)
        s_pScenario->m_pAfterWaiterDone();
}

void WakerJob(U64)
{
    jobtest::SpinUntil(s_stayerChecked);
    SetCounterValue(s_wake, 0);
}

void RunMoveScenario(const MoveScenario& scenario)
{
    s_pScenario = &scenario;
    s_stayerChecked = false;
    s_waiterDone = false;
    s_waiterStartWorker = s_waiterResumeWorker = s_stayerWorker = 99;
    s_waiterOwnerKey = 0;
    s_wake = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);

    alignas(64) JobDecl waiter = MakeJob(WaiterJob, 0, scenario.m_waiterFlags);
    alignas(64) JobDecl stayer = MakeJob(StayerJob, 0);
    alignas(64) JobDecl waker = MakeJob(WakerJob, 0);
    CounterHandle done = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
    waiter.m_associatedCounter = stayer.m_associatedCounter = waker.m_associatedCounter = done.m_pCounter;
    // The waiter is more urgent than the stayer, so worker 0 takes it first; the stayer
    // gets worker 0 only once the waiter has suspended.
    RunJobs(&waiter, 1, nullptr, Priority{2}, 1ull << 0, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    RunJobs(&stayer, 1, nullptr, Priority{3}, 1ull << 0, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    RunJobs(&waker, 1, nullptr, Priority{3}, 1ull << 1, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    FreeCounter(s_wake);

    EXPECT_EQ(s_waiterStartWorker.load(), 0u);
    EXPECT_EQ(s_waiterResumeWorker.load(), 1u);
    EXPECT_EQ(s_stayerWorker.load(), 0u);
}

// Allocators the scenarios use; they live in the fixture.
BufferedHeap* s_pWaiterHeap = nullptr;
BufferedHeap* s_pStayerHeap = nullptr;

// -- The current allocator --

void AllocatorWaiter()
{
    HeapAllocator* pMine = &s_pWaiterHeap->m_allocator;
    JOB_CHECK(Memory::TopAllocator() == nullptr); // a new job starts without one
    Memory::PushAllocator(pMine, __FILE__, __LINE__, __func__);
    JOB_CHECK(s_pWaiterHeap->Owns(AllocateHere(64)));

    WaitAndMove();

    JOB_CHECK(Memory::TopAllocator() == pMine);
    JOB_CHECK(Memory::GetAllocatorStackDepth() == 1);
    void* p = AllocateHere(64);
    JOB_CHECK(s_pWaiterHeap->Owns(p));
    JOB_CHECK(!s_pStayerHeap->Owns(p));
    JOB_CHECK(Memory::FindAllocatorForPtr(p) == pMine);
    JOB_CHECK(Memory::PopAllocator() == pMine);
    JOB_CHECK(Memory::TopAllocator() == nullptr);
}

void AllocatorWhileAway()
{
    // Neither the job-local copy nor the thread's stack of the worker shows the waiter's.
    JOB_CHECK(Memory::TopAllocator() == nullptr);
    JOB_CHECK(Memory::GetAllocatorStackDepth() == 0);
    Memory::PushAllocator(&s_pStayerHeap->m_allocator, __FILE__, __LINE__, __func__);
    JOB_CHECK(s_pStayerHeap->Owns(AllocateHere(64)));
}

void AllocatorAfterWaiterDone()
{
    // The waiter pushed, allocated and popped on worker 1 meanwhile: this job keeps its own.
    JOB_CHECK(Memory::TopAllocator() == &s_pStayerHeap->m_allocator);
    JOB_CHECK(Memory::GetAllocatorStackDepth() == 1);
    JOB_CHECK(s_pStayerHeap->Owns(AllocateHere(64)));
    JOB_CHECK(Memory::PopAllocator() == &s_pStayerHeap->m_allocator);
}

// -- Suppression of allocation-failure reports --

constexpr U64 kTooBig = 1u << 20;

void SuppressionWaiter()
{
    Memory::Allocator& heap = s_pWaiterHeap->m_allocator;
    JOB_CHECK(heap.WillAssertOnFailure());
    Memory::PushDontAssertOnAllocFail();
    Memory::PushDontAssertOnAllocFail();
    JOB_CHECK(!heap.WillAssertOnFailure());

    WaitAndMove();

    JOB_CHECK(!heap.WillAssertOnFailure());
    // Reported, this failure would end the test program.
    JOB_CHECK(heap.Allocate(kTooBig, kAlign16, __FILE__, __LINE__, __func__) == nullptr);
    Memory::PopDontAssertOnAllocFail();
    JOB_CHECK(!heap.WillAssertOnFailure()); // one level is left
    Memory::PopDontAssertOnAllocFail();
    JOB_CHECK(heap.WillAssertOnFailure());
}

void SuppressionWhileAway()
{
    JOB_CHECK(s_pWaiterHeap->m_allocator.WillAssertOnFailure());
    JOB_CHECK(s_pStayerHeap->m_allocator.WillAssertOnFailure());
}

// -- The scoped temporary owner --

void OwnerWaiter()
{
    const I64 key = GetScopedTempOwnerKey();
    JOB_CHECK(key == static_cast<I64>(GetActiveJobId()));
    JOB_CHECK((static_cast<U64>(key) & kScopedTempThreadKeyBit) == 0);
    s_waiterOwnerKey = key;
    ScopedTempAllocator outer(true, __FILE__, __LINE__, __func__);
    s_pWaiterTemp = outer.GetAllocator();
    JOB_CHECK(outer.GetAllocator() && outer.GetAllocator()->IsValidPtr(AllocateHere(100)));

    WaitAndMove();

    JOB_CHECK(GetScopedTempOwnerKey() == key);
    JOB_CHECK(GetScopedTempAllocatorForOwner(key) == outer.GetAllocator());
    JOB_CHECK(Memory::TopAllocator() == outer.GetAllocator());
    {
        // A nested scope of the same owner, on another thread than the first.
        ScopedTempAllocator inner(false, __FILE__, __LINE__, __func__);
        JOB_CHECK(inner.GetAllocator() == outer.GetAllocator());
    }
    JOB_CHECK(outer.GetAllocator()->IsValidPtr(AllocateHere(100)));
    // outer ends here, on worker 1: it pops its allocator and gives the block back under
    // the key it was taken with.
}

void OwnerWhileAway()
{
    const I64 key = GetScopedTempOwnerKey();
    JOB_CHECK(key == static_cast<I64>(GetActiveJobId()));
    JOB_CHECK(key != s_waiterOwnerKey.load());
    // The waiter still holds its block while it is away.
    JOB_CHECK(GetScopedTempAllocatorForOwner(s_waiterOwnerKey) == s_pWaiterTemp.load());
    ScopedTempAllocator mine(false, __FILE__, __LINE__, __func__);
    JOB_CHECK(mine.GetAllocator() != nullptr);
    JOB_CHECK(mine.GetAllocator() != s_pWaiterTemp.load());
    JOB_CHECK(Memory::TopAllocator() == nullptr); // the waiter pushed its scope's allocator, not this job
}

// -- Job-local entries --

constexpr U64 kIdFixed = 0x1111222233334444ull;
constexpr U64 kIdById = 0x5555666677778888ull;
constexpr I32 kFixedIndex = 20;

void EntriesWaiter()
{
    SetJobLocalStorage(kFixedIndex, kIdFixed, 2020);
    SetJobLocalStorage(kIdById, U64{77});
    IncrementLockCount();
    const U64 jobId = GetActiveJobId();

    WaitAndMove();

    U64 value = 0;
    JOB_CHECK(TryGetJobLocalStorage(kFixedIndex, &value) && value == 2020);
    JOB_CHECK(GetJobLocalStorage(kIdById, &value) && value == 77);
    JOB_CHECK(GetLockCount() == 1);
    JOB_CHECK(GetActiveJobId() == jobId);
    // The worker index entry follows the job.
    GetJobLocalStorage(kJlsIndexWorkerIndex, &value);
    JOB_CHECK(value == 1);
    DecrementLockCount();
}

void EntriesWhileAway()
{
    JOB_CHECK(GetActiveJobId() != s_waiterJobId.load());
    JOB_CHECK(!DoesJobLocalStorageIdExist(kFixedIndex));
    JOB_CHECK(!DoesJobLocalStorageIdExist(kIdFixed));
    JOB_CHECK(!DoesJobLocalStorageIdExist(kIdById));
    JOB_CHECK(GetLockCount() == 0);
    // The same entries with other values: the waiter must still find its own.
    SetJobLocalStorage(kFixedIndex, kIdFixed, 1);
    SetJobLocalStorage(kIdById, U64{2});
    IncrementLockCount();
    IncrementLockCount();
}

// -- The render category --

HeapAllocator* s_pSingleGameFrame = nullptr;
HeapAllocator* s_pSingleRenderFrame = nullptr;

void RenderWaiter()
{
    JOB_CHECK(Memory::GetAllocator(Memory::kAllocSingleFrame) == s_pSingleRenderFrame);
    WaitAndMove();
    JOB_CHECK(Memory::GetAllocator(Memory::kAllocSingleFrame) == s_pSingleRenderFrame);
}

void PlainWhileAway()
{
    JOB_CHECK(Memory::GetAllocator(Memory::kAllocSingleFrame) == s_pSingleGameFrame);
}

// -- Profiler colours --

// An event block with the slack the writer needs beyond its limit.
struct EventBlock
{
    EventBlock() : m_memory(64 + kProfileEventBlockSlackWords, 0)
    {
        m_block.m_pDestination = m_memory.data();
        m_block.m_pLimit = m_memory.data() + 64;
    }
    std::vector<U64> m_memory;
    ProfileEventBlock m_block;
};

// The colour of a region opened with the automatic colour on the calling thread. The
// block is installed only around it: the thread may change at the job's next wait.
U64 ColourOfARegionHere()
{
    EventBlock block;
    ProfileEventBlock* pPrevious = SetProfileEventBlock(&block.m_block);
    BeginProfileEvent("Inside the job");
    EndProfileEvent();
    SetProfileEventBlock(pPrevious);
    return block.m_memory[1]; // header, colour, name...
}

void ColourWaiter()
{
    JOB_CHECK(ColourOfARegionHere() == kProfileColorJobFlag64);
    WaitAndMove();
    JOB_CHECK(ColourOfARegionHere() == kProfileColorJobFlag64);
}

void ColourWhileAway()
{
    JOB_CHECK(ColourOfARegionHere() == kProfileColorNoJob);
}

const MoveScenario kMoveScenarios[] = {
    {"CurrentAllocator", 0, AllocatorWaiter, AllocatorWhileAway, AllocatorAfterWaiterDone, 0},
    {"AllocFailSuppression", 0, SuppressionWaiter, SuppressionWhileAway, nullptr, 0},
    // Two blocks: one per job, although both jobs ran on worker 0.
    {"ScopedTempOwner", 0, OwnerWaiter, OwnerWhileAway, nullptr, 2},
    {"JobLocalEntries", 0, EntriesWaiter, EntriesWhileAway, nullptr, 0},
    {"RenderCategory", kRenderJob, RenderWaiter, PlainWhileAway, nullptr, 0},
    {"ProfilerColour", kHighlightJob | kRenderJob, ColourWaiter, ColourWhileAway, nullptr, 0},
};

// Registers an allocator for a context for the life of the object.
class RegisteredHeap
{
public:
    RegisteredHeap(Memory::Context context, const char* name) : m_context(context), m_heap(name)
    {
        Memory::RegisterAllocator(context, &m_heap.m_allocator);
    }
    ~RegisteredHeap() { Memory::RegisterAllocator(m_context, nullptr); }
    RegisteredHeap(const RegisteredHeap&) = delete;
    RegisteredHeap& operator=(const RegisteredHeap&) = delete;

    Memory::Context m_context;
    BufferedHeap m_heap;
};

// The virtual contexts and what they resolve to outside and inside render work.
struct VirtualContext
{
    Memory::Context m_virtual;
    Memory::Context m_game;
    Memory::Context m_render;
};

const VirtualContext kVirtualContexts[] = {
    {Memory::kAllocSingleFrame, Memory::kAllocSingleGameFrame, Memory::kAllocSingleRenderFrame},
    {Memory::kAllocGpuRing, Memory::kAllocGameToGpuRing, Memory::kAllocRenderToGpuRing},
    {Memory::kAllocRenderResourceRingTag, Memory::kAllocGameToGpuResourceRing,
     Memory::kAllocRenderToGpuResourceRing},
    {Memory::kAllocDoubleGpuRing, Memory::kAllocDoubleGameToGpuRing, Memory::kAllocDoubleRenderToGpuRing},
    {Memory::kAllocDevGpuRing, Memory::kAllocDevGameToGpuRing, Memory::kAllocDevRenderToGpuRing},
    {Memory::kAllocDevRenderResourceRing, Memory::kAllocDevGameToGpuResourceRing,
     Memory::kAllocDevRenderToGpuResourceRing},
};
constexpr U64 kNumVirtualContexts = sizeof(kVirtualContexts) / sizeof(kVirtualContexts[0]);

// Memory map ids 1 to 6 budget 64 bytes in each virtual context.
constexpr I64 kMapEntrySize = 64;

// Two workers and every service the jobs use: a memory map of the virtual contexts, an
// allocator for each of their real contexts, the scoped temporary allocator system.
class JobServicesTest : public testing::Test
{
protected:
    void SetUp() override
    {
        jobtest::s_firstFailedLine = 0;
        m_host.Start();
        for (const VirtualContext& context : kVirtualContexts)
        {
            m_heaps.push_back(std::make_unique<RegisteredHeap>(context.m_game, "game"));
            m_heaps.push_back(std::make_unique<RegisteredHeap>(context.m_render, "render"));
        }
        s_pSingleGameFrame = &m_heaps[0]->m_heap.m_allocator;
        s_pSingleRenderFrame = &m_heaps[1]->m_heap.m_allocator;
        s_pWaiterHeap = &m_waiterHeap;
        s_pStayerHeap = &m_stayerHeap;

        // The map is installed once per process; each test installs its own, as the memory
        // map tests do.
        Memory::g_pMemoryMap = nullptr;
        static const char* const kNames[kNumVirtualContexts] = {"single", "ring", "resource",
                                                                "double", "dev",  "devres"};
        Memory::MemoryMapEntry map[kNumVirtualContexts + 1] = {};
        for (U64 i = 0; i < kNumVirtualContexts; ++i)
            map[i] = {static_cast<U32>(i + 1), kVirtualContexts[i].m_virtual, kMapEntrySize, kAlign16,
                      kNames[i]};
        Memory::SetMemoryMap(map, nullptr);

        Memory::RegisterAllocator(Memory::kAllocSystemDirect, &m_bookkeeping.m_allocator);
        InitializeScopedTempAllocSystem(m_tempBuffer, sizeof(m_tempBuffer), 4);
    }

    void TearDown() override
    {
        ShutdownScopedTempAllocSystem();
        Memory::RegisterAllocator(Memory::kAllocSystemDirect, nullptr);
        Memory::g_pMemoryMap = nullptr;
        m_heaps.clear();
        m_host.Stop();
    }

    static constexpr U64 kTempBytes = 16 * 1024;
    JobSystemHost m_host{SmallParams(2)};
    std::vector<std::unique_ptr<RegisteredHeap>> m_heaps; // game, render, game, render...
    BufferedHeap m_waiterHeap{"waiter"};
    BufferedHeap m_stayerHeap{"stayer"};
    BufferedHeap m_bookkeeping{"ScopedTempBookkeeping"};
    alignas(16) U8 m_tempBuffer[kTempBytes];
};

class JobMovesTest : public JobServicesTest, public testing::WithParamInterface<MoveScenario>
{
};

TEST_P(JobMovesTest, WhatTheJobSetUpFollowsItAndStaysHiddenFromTheJobOnTheWorkerItLeft)
{
    TakeScopedTempPeak();
    RunMoveScenario(GetParam());
    EXPECT_NO_FAILED_JOB_CHECK();
    EXPECT_EQ(TakeScopedTempPeak(), GetParam().m_tempBlocksAtOnce);
    // Every scope has ended and given its block back, on whichever worker it ended (the
    // fixture's shutdown of the system checks that no block is left in use).
    EXPECT_EQ(GetScopedTempAllocatorForOwner(s_waiterOwnerKey), nullptr);
}

INSTANTIATE_TEST_SUITE_P(All, JobMovesTest, testing::ValuesIn(kMoveScenarios),
                         [](const testing::TestParamInfo<MoveScenario>& info) { return info.param.m_name; });

// The suppression of the job that moved away does not cover the job that took its worker:
// that job's failure is reported.
void FailingAllocationWhileAway()
{
    s_pStayerHeap->m_allocator.Allocate(kTooBig, kAlign16, __FILE__, __LINE__, __func__);
}

const MoveScenario kSuppressionDoesNotLeak = {
    "SuppressionDoesNotLeak", 0, SuppressionWaiter, FailingAllocationWhileAway, nullptr, 0,
};

using JobServicesDeathTest = JobServicesTest;

TEST_F(JobServicesDeathTest, TheJobOnTheWorkerLeftBehindGetsItsFailureReported)
{
    EXPECT_DEATH(RunMoveScenario(kSuppressionDoesNotLeak), "Allocation failed: 1048576 bytes 16 aligned");
}

// --- The render category ---------------------------------------------------------------------------

std::atomic<U64> s_resolvedRenderMask{0};
std::atomic<U64> s_resolvedGameMask{0};
std::atomic<U64> s_mapAllocRenderMask{0};
std::atomic<U64> s_mapAllocGameMask{0};
std::atomic<bool> s_idTextInRenderFrame{false};
std::atomic<bool> s_idTextInGameFrame{false};
std::vector<std::unique_ptr<RegisteredHeap>>* s_pHeaps = nullptr;

// Records, for each virtual context, which variant GetAllocator and an allocation
// through the memory map give the calling job, and where a string id is formatted.
void RecordResolution(U64)
{
    U64 resolvedRender = 0, resolvedGame = 0, mapRender = 0, mapGame = 0;
    for (U64 i = 0; i < kNumVirtualContexts; ++i)
    {
        BufferedHeap& game = (*s_pHeaps)[2 * i]->m_heap;
        BufferedHeap& render = (*s_pHeaps)[2 * i + 1]->m_heap;
        Memory::Allocator* pResolved = Memory::GetAllocator(kVirtualContexts[i].m_virtual);
        resolvedRender |= U64{pResolved == &render.m_allocator} << i;
        resolvedGame |= U64{pResolved == &game.m_allocator} << i;
        void* p = Memory::AllocateFromMemoryMap(static_cast<U32>(i + 1), __FILE__, __LINE__, __func__);
        mapRender |= U64{render.Owns(p)} << i;
        mapGame |= U64{game.Owns(p)} << i;
    }
    s_resolvedRenderMask = resolvedRender;
    s_resolvedGameMask = resolvedGame;
    s_mapAllocRenderMask = mapRender;
    s_mapAllocGameMask = mapGame;
    // String ids are formatted in single-frame memory, resolved the same way.
    const char* pText = StringIdToString(StringId64("an id without text"));
    s_idTextInRenderFrame = (*s_pHeaps)[1]->m_heap.Owns(pText);
    s_idTextInGameFrame = (*s_pHeaps)[0]->m_heap.Owns(pText);
}

// A plain child declared by a job: it inherits the submitting job's category.
void SubmitPlainChild(U64)
{
    alignas(64) JobDecl child = MakeJob(RecordResolution, 0);
    CounterHandle done;
    RunJobs(&child, 1, &done, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
}

struct CategoryCase
{
    const char* m_name;
    JobEntryFunc m_pJob;
    U64 m_flags;
    bool m_render;
};

const CategoryCase kCategoryCases[] = {
    {"Plain", RecordResolution, 0, false},
    {"Game", RecordResolution, kGameJob, false},
    {"Highlighted", RecordResolution, kHighlightJob, false},
    {"Render", RecordResolution, kRenderJob, true},
    {"RenderAndGame", RecordResolution, kRenderJob | kGameJob, true},
    {"ChildOfRender", SubmitPlainChild, kRenderJob, true},
    {"ChildOfGame", SubmitPlainChild, kGameJob, false},
};

class JobRenderCategoryTest : public JobServicesTest, public testing::WithParamInterface<CategoryCase>
{
};

TEST_P(JobRenderCategoryTest, VirtualContextsResolveByTheJobsCategory)
{
    s_pHeaps = &m_heaps;
    s_resolvedRenderMask = s_resolvedGameMask = s_mapAllocRenderMask = s_mapAllocGameMask = 0;
    RunJobAndWait(GetParam().m_pJob, 0, GetParam().m_flags, OX_JOB_SOURCE_LOCATION);
    constexpr U64 kAll = (1u << kNumVirtualContexts) - 1;
    const bool render = GetParam().m_render;
    EXPECT_EQ(s_resolvedRenderMask.load(), render ? kAll : 0u);
    EXPECT_EQ(s_resolvedGameMask.load(), render ? 0u : kAll);
    EXPECT_EQ(s_mapAllocRenderMask.load(), render ? kAll : 0u);
    EXPECT_EQ(s_mapAllocGameMask.load(), render ? 0u : kAll);
    EXPECT_EQ(s_idTextInRenderFrame.load(), render);
    EXPECT_EQ(s_idTextInGameFrame.load(), !render);
}

INSTANTIATE_TEST_SUITE_P(All, JobRenderCategoryTest, testing::ValuesIn(kCategoryCases),
                         [](const testing::TestParamInfo<CategoryCase>& info) { return info.param.m_name; });

// --- Profiler colours --------------------------------------------------------------------------------

std::atomic<U64> s_regionColour{0};

void RecordRegionColour(U64)
{
    s_regionColour = ColourOfARegionHere();
}

struct ColourCase
{
    U64 m_flags;
    U32 m_colour;
};

TEST(JobProfilerColours, RegionsInsideAJobTakeTheJobsColour)
{
    const ColourCase kCases[] = {
        {0, kProfileColorNoJob},
        {kGameJob, kProfileColorJobFlag4},
        {kRenderJob, kProfileColorJobFlag8},
        {kHighlightJob, kProfileColorJobFlag64},
        {kGameJob | kRenderJob, kProfileColorJobFlag4},
        {kHighlightJob | kGameJob | kRenderJob, kProfileColorJobFlag64},
        {kLargeStack | kDisallowSleep, kProfileColorNoJob},
    };
    JobSystemHost host(SmallParams(1));
    host.Start();
    for (const ColourCase& colourCase : kCases)
    {
        s_regionColour = 0;
        RunJobAndWait(RecordRegionColour, 0, colourCase.m_flags, OX_JOB_SOURCE_LOCATION);
        EXPECT_EQ(s_regionColour.load(), colourCase.m_colour) << "flags 0x" << std::hex << colourCase.m_flags;
    }
    // The host thread runs no job.
    EXPECT_EQ(ColourOfARegionHere(), kProfileColorNoJob);
}

// --- String ids in development memory ------------------------------------------------------------

std::string s_workerIdText;
std::atomic<bool> s_workerIdTextInDevMemory{false};
BufferedHeap* s_pDevHeap = nullptr;
constexpr const char* kIdWithoutText = "a string id nobody remembered";

void FormatIdInDevMemory(U64)
{
    const char* pText = StringIdToString(StringId64(kIdWithoutText), Memory::kAllocDevCpu);
    s_workerIdText = pText;
    s_workerIdTextInDevMemory = s_pDevHeap->Owns(pText);
}

TEST(JobStringIds, WorkersFindTheMemorySystemReadyAndPlainThreadsWithoutAStackDoNot)
{
    RegisteredHeap dev(Memory::kAllocDevCpu, "dev");
    s_pDevHeap = &dev.m_heap;
    JobSystemHost host(SmallParams(1));
    host.Start();
    RunJobAndWait(FormatIdInDevMemory, 0, 0, OX_JOB_SOURCE_LOCATION);
    char expected[32];
    std::snprintf(expected, sizeof(expected), "#%.16llx",
                  static_cast<unsigned long long>(StringId64(kIdWithoutText).GetValue()));
    EXPECT_EQ(s_workerIdText, expected);
    EXPECT_TRUE(s_workerIdTextInDevMemory.load());

    // A thread without an allocator stack cannot use the memory system yet.
    std::string plainText;
    std::thread plain([&plainText]
                      { plainText = StringIdToString(StringId64(kIdWithoutText), Memory::kAllocDevCpu); });
    plain.join();
    EXPECT_EQ(plainText, "#????????????????");
}

// --- Power save ------------------------------------------------------------------------------------

bool IsWorkerAsleep(U64 workerIndex)
{
    return g_pJobSysData->m_workerSleeping[workerIndex].load(std::memory_order_seq_cst);
}

// Returns once every regular worker has been seen asleep on its condition variable; fails
// the test if an emergency worker ever shows the flag.
void WaitUntilRegularWorkersHaveSlept()
{
    const U64 numRegular = GetNumWorkerThreads();
    std::vector<bool> seen(numRegular, false);
    U64 numSeen = 0;
    while (numSeen < numRegular)
    {
        for (U64 i = 0; i < numRegular; ++i)
        {
            if (!seen[i] && IsWorkerAsleep(i))
            {
                seen[i] = true;
                ++numSeen;
            }
        }
        for (U64 i = numRegular; i < GetTotalNumWorkerThreads(); ++i)
            ASSERT_FALSE(IsWorkerAsleep(i)) << "emergency worker " << i;
        std::this_thread::yield();
    }
}

std::atomic<U64> s_ranOnMask{0};

void RecordWorker(U64)
{
    s_ranOnMask.fetch_or(1ull << GetCurrentWorkerThreadIndex());
}

CounterHandle s_sleepGate;

void WaitAtSleepGate(U64)
{
    WaitForCounter(s_sleepGate, 0);
    RecordWorker(0);
}

// Two regular workers and an emergency worker, power save on.
class JobPowerSaveSleepTest : public testing::Test
{
protected:
    void SetUp() override { m_host.Start(true); }

    JobSystemHost m_host{SmallParams(2, 1)};
};

TEST_F(JobPowerSaveSleepTest, IdleRegularWorkersSleepAndASubmissionWakesThem)
{
    // A job for each worker once both have slept: each must wake to run its own.
    for (U64 worker = 0; worker < 2; ++worker)
    {
        WaitUntilRegularWorkersHaveSlept();
        s_ranOnMask = 0;
        alignas(64) JobDecl decl = MakeJob(RecordWorker, 0);
        CounterHandle done;
        RunJobs(&decl, 1, &done, Priority{3}, 1ull << worker, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
        WaitForCounterAndFree(done, 0);
        EXPECT_EQ(s_ranOnMask.load(), 1ull << worker);
    }
}

TEST_F(JobPowerSaveSleepTest, AWokenJobWakesTheSleepingWorkers)
{
    s_sleepGate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    s_ranOnMask = 0;
    alignas(64) JobDecl decl = MakeJob(WaitAtSleepGate, 0);
    CounterHandle done;
    RunJobs(&decl, 1, &done, Priority{3}, 0x3, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    // The job waits on the gate: with nothing else to do both workers go to sleep.
    while (g_pJobSysData->m_numWaitingJobs.load() != 1)
        std::this_thread::yield();
    WaitUntilRegularWorkersHaveSlept();
    SetCounterValue(s_sleepGate, 0);
    WaitForCounterAndFree(done, 0);
    EXPECT_NE(s_ranOnMask.load() & 0x3, 0u);
    FreeCounter(s_sleepGate);
}

TEST_F(JobPowerSaveSleepTest, WithPowerSaveOffIdleWorkersDoNotSleep)
{
    WaitUntilRegularWorkersHaveSlept();
    SetPowerSaveEnabled(false);
    // Switching it off wakes the sleepers...
    while (IsWorkerAsleep(0) || IsWorkerAsleep(1))
        std::this_thread::yield();
    // ...and from then on idle workers only spin. A worker takes well under a millisecond
    // for the idle turns after which it would sleep with power save on; watch them for much
    // longer than that (a slow machine can only make the watch miss a fault, never fail it).
    const auto watchEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    U64 looks = 0;
    while (std::chrono::steady_clock::now() < watchEnd || looks < 100)
    {
        for (U64 i = 0; i < GetTotalNumWorkerThreads(); ++i)
            ASSERT_FALSE(IsWorkerAsleep(i)) << "worker " << i << " after " << looks << " looks";
        ++looks;
        std::this_thread::yield();
    }
    // Back on, they sleep again.
    SetPowerSaveEnabled(true);
    WaitUntilRegularWorkersHaveSlept();
}

std::atomic<bool> s_busyRelease{false};

void BusyUntilReleased(U64)
{
    jobtest::SpinUntil(s_busyRelease);
}

TEST_F(JobPowerSaveSleepTest, AWorkerThatSeesOnlyWorkItMayNotRunSleeps)
{
    // Worker 0 runs a long job, and a second job for worker 0 alone is queued behind it.
    // Worker 1 can see that job but may not run it: it must not spin on it for ever but
    // sleep like any idle worker (the test hangs otherwise).
    s_busyRelease = false;
    s_ranOnMask = 0;
    alignas(64) JobDecl busy = MakeJob(BusyUntilReleased, 0);
    alignas(64) JobDecl queued = MakeJob(RecordWorker, 0);
    CounterHandle busyDone;
    CounterHandle queuedDone;
    RunJobs(&busy, 1, &busyDone, Priority{3}, 0x1, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    RunJobs(&queued, 1, &queuedDone, Priority{3}, 0x1, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    while (!IsWorkerAsleep(1))
        std::this_thread::yield();
    s_busyRelease = true;
    WaitForCounterAndFree(busyDone, 0);
    WaitForCounterAndFree(queuedDone, 0);
    EXPECT_EQ(s_ranOnMask.load(), 0x1u);
}

// --- The emergency delay ----------------------------------------------------------------------------

std::atomic<bool> s_holdStarted{false};
std::atomic<bool> s_holdRelease{false};
std::atomic<U64> s_probeStart{0};
std::atomic<U64> s_probeWorker{99};

void HoldWorker(U64)
{
    s_holdStarted = true;
    jobtest::SpinUntil(s_holdRelease);
}

void Probe(U64)
{
    s_probeStart = GetTimeNow();
    s_probeWorker = GetCurrentWorkerThreadIndex();
}

TEST(JobEmergencyDelay, AnEmergencyWorkerTakesTimeCriticalWorkOnlyAfterTheDelay)
{
    // 20 ms, in units of 1/(300 * 2^32) s.
    constexpr U64 kDelayMs = 20;
    InitParams params = SmallParams(1, 1);
    params.m_emergencyWorkerDelay = 1288490240ull * kDelayMs;
    JobSystemHost host(params);
    host.Start();

    // The regular worker is busy, so only the emergency worker can take the probe.
    s_holdStarted = false;
    s_holdRelease = false;
    alignas(64) JobDecl hold = MakeJob(HoldWorker, 0);
    CounterHandle holding;
    RunJobs(&hold, 1, &holding, Priority{4}, 0x1, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    jobtest::SpinUntil(s_holdStarted);

    const U64 submitted = GetTimeNow();
    alignas(64) JobDecl probe = MakeJob(Probe, 0);
    CounterHandle done;
    RunJobs(&probe, 1, &done, Priority{0}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    s_holdRelease = true;
    WaitForCounterAndFree(holding, 0);

    EXPECT_EQ(s_probeWorker.load(), 1u);
    // A lower bound only: the job became ready after `submitted`, and must have been ready
    // for the whole delay (less a microsecond for the delay's conversion to ticks).
    const U64 minimumTicks = GetTimerFrequency() * (kDelayMs * 1000 - 1) / 1000000;
    EXPECT_GE(s_probeStart.load() - submitted, minimumTicks);
}
} // namespace
