// Waiting by fiber switch: a job that waits on a counter gives its worker to other jobs
// and resumes (also on another worker) with its allocator stack; Yield; large-stack jobs;
// the reports when fibers run out or a job that may not sleep waits.
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-system.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::JobSystemTest;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
CounterHandle s_turn;
std::atomic<U64> s_steps{0};
std::atomic<bool> s_waiterResumed{false};

void Waiter(U64)
{
    s_steps.fetch_add(1);
    WaitForCounter(s_turn, 0);
    s_waiterResumed = true;
}

void Releaser(U64)
{
    s_steps.fetch_add(1);
    SetCounterValue(s_turn, 0);
}

// With one worker the waiter must suspend for the releaser to run at all.
TEST(JobWaiting, WaitingJobGivesItsWorkerToOtherJobs)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_turn = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    s_steps = 0;
    s_waiterResumed = false;
    alignas(64) JobDecl decls[2] = {MakeJob(Waiter, 0), MakeJob(Releaser, 0)};
    CounterHandle done;
    RunJobs(decls, 2, &done, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    EXPECT_TRUE(s_waiterResumed.load());
    EXPECT_EQ(s_steps.load(), 2u);
    FreeCounter(s_turn);
}

TEST(JobWaiting, WaitOnSatisfiedCounterDoesNotSwitch)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_turn = OX_ALLOCATE_COUNTER(0, kWaitForZeroOnly);
    s_waiterResumed = false;
    RunJobAndWait(Waiter, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_TRUE(s_waiterResumed.load());
    FreeCounter(s_turn);
}

// --- Resuming on another worker ----------------------------------------------------------------

std::atomic<U64> s_startWorker{99};
std::atomic<U64> s_resumeWorker{99};
std::atomic<bool> s_allocatorKept{false};
std::atomic<bool> s_blockerRunning{false};
std::atomic<bool> s_releaseBlocker{false};
CounterHandle s_wake;

void MovingWaiter(U64)
{
    alignas(16) static U8 buffer[4096];
    HeapAllocator allocator("moving-waiter");
    allocator.Init(buffer, sizeof(buffer));
    Memory::PushAllocator(&allocator, __FILE__, __LINE__, __func__);
    s_startWorker = GetCurrentWorkerThreadIndex();
    // Started on worker 0 only; may resume on either.
    UnlockActiveJobFromCore(0x3);
    WaitForCounter(s_wake, 0);
    s_resumeWorker = GetCurrentWorkerThreadIndex();
    s_allocatorKept = Memory::TopAllocator() == &allocator && Memory::GetAllocatorStackDepth() == 1;
    Memory::PopAllocator();
    s_releaseBlocker = true;
}

// Occupies the worker the waiter started on until the waiter has resumed elsewhere.
void Blocker(U64)
{
    s_blockerRunning = true;
    jobtest::SpinUntil(s_releaseBlocker);
}

void Waker(U64)
{
    jobtest::SpinUntil(s_blockerRunning);
    SetCounterValue(s_wake, 0);
}

TEST(JobWaiting, SuspendedJobResumesOnTheOtherWorkerWithItsAllocatorStack)
{
    JobSystemHost host(SmallParams(2));
    host.Start();
    s_wake = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    s_blockerRunning = false;
    s_releaseBlocker = false;
    s_allocatorKept = false;

    // The waiter and the blocker may only start on worker 0; the waker runs on worker 1
    // once the blocker holds worker 0, so only worker 1 is free to resume the waiter.
    alignas(64) JobDecl waiter = MakeJob(MovingWaiter, 0);
    alignas(64) JobDecl blocker = MakeJob(Blocker, 0);
    alignas(64) JobDecl waker = MakeJob(Waker, 0);
    CounterHandle done = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
    waiter.m_associatedCounter = blocker.m_associatedCounter = waker.m_associatedCounter = done.m_pCounter;
    RunJobs(&waiter, 1, nullptr, Priority{2}, 1ull << 0, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    // Once the waiter has suspended, the blocker takes worker 0.
    RunJobs(&blocker, 1, nullptr, Priority{3}, 1ull << 0, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    RunJobs(&waker, 1, nullptr, Priority{3}, 1ull << 1, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    FreeCounter(s_wake);

    EXPECT_EQ(s_startWorker.load(), 0u);
    EXPECT_EQ(s_resumeWorker.load(), 1u);
    EXPECT_TRUE(s_allocatorKept.load());
}

// --- Yield ---------------------------------------------------------------------------------------

std::atomic<U64> s_yieldOrder{0};
std::atomic<U64> s_afterYield{0};
std::atomic<U64> s_otherRan{0};

void Yielder(U64)
{
    Yield();
    s_afterYield = s_yieldOrder.fetch_add(1) + 1;
}

void Other(U64)
{
    s_otherRan = s_yieldOrder.fetch_add(1) + 1;
}

TEST(JobWaiting, YieldLetsOtherWorkRunFirst)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_yieldOrder = 0;
    alignas(64) JobDecl decls[2] = {MakeJob(Yielder, 0), MakeJob(Other, 0)};
    CounterHandle done;
    RunJobs(decls, 2, &done, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    // The yielder was woken before the other job was taken, and woken jobs go first:
    // either order is allowed, but both ran and the yielder came back.
    EXPECT_NE(s_afterYield.load(), 0u);
    EXPECT_NE(s_otherRan.load(), 0u);
}

TEST(JobWaiting, YieldOfTheOnlyJobResumesAtOnce)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_yieldOrder = 0;
    s_afterYield = 0;
    RunJobAndWait(Yielder, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_EQ(s_afterYield.load(), 1u);
}

// --- Stack sizes -------------------------------------------------------------------------------------

std::atomic<U64> s_deepResult{0};

// Uses most of a 64 KiB stack: it would overflow a 16 KiB fiber.
void DeepStackJob(U64 seed)
{
    volatile U8 block[40 * 1024];
    for (U64 i = 0; i < sizeof(block); i += 512)
        block[i] = static_cast<U8>(seed + i);
    U64 sum = 0;
    for (U64 i = 0; i < sizeof(block); i += 512)
        sum += block[i];
    s_deepResult = sum;
}

TEST_P(JobSystemTest, LargeStackJobRunsOnALargeFiber)
{
    s_deepResult = 0;
    RunJobAndWait(DeepStackJob, 1, kLargeStack, OX_JOB_SOURCE_LOCATION);
    EXPECT_NE(s_deepResult.load(), 0u);
    // Back on small fibers afterwards.
    RunJobAndWait(Yielder, 0, 0, OX_JOB_SOURCE_LOCATION);
}

void NoOpJob(U64) {}

// --- Reports -------------------------------------------------------------------------------------------

void SleepyJob(U64)
{
    CounterHandle counter = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    WaitForCounter(counter, 0);
}

TEST(JobWaitingDeathTest, WaitingInADisallowSleepJobIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1));
            host.Start();
            RunJobAndWait(SleepyJob, 0, kDisallowSleep, OX_JOB_SOURCE_LOCATION);
        },
        "This job \\(<<<BARRIER>>>\\) is not allowed to sleep");
}

CounterHandle s_never;

void WaitForever(U64)
{
    WaitForCounter(s_never, 0);
}

TEST(JobWaitingDeathTest, RunningOutOfFibersIsReported)
{
    EXPECT_DEATH(
        {
            InitParams params = SmallParams(1);
            params.m_maxSmallJobFibers = 2;
            params.m_maxLargeJobFibers = 1;
            JobSystemHost host(params);
            host.Start();
            s_never = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
            alignas(64) JobDecl decls[4];
            for (auto& decl : decls)
                decl = MakeJob(WaitForever, 0);
            RunJobs(decls, 4, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
            WaitForCounter(s_never, 0);
        },
        "We ran out of fibers! \\(NOTE: small-stack fibers have overflowed into large-stack fibers\\)");
}

TEST(JobWaitingDeathTest, WaitingForNonZeroOnRestrictedCounterIsReported)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    CounterHandle counter = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
    EXPECT_DEATH(WaitForCounter(counter, 1), "can only be waited on to become '0' \\(WaitRestriction\\)");
    FreeCounter(counter);
}

// Jobs whose dependency never holds fill the wait data; one more than it holds is reported.
TEST(JobWaitingDeathTest, RunningOutOfWaitingJobSlotsIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1), 1u << 20);
            host.Start();
            CounterHandle never = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
            static JobDecl decls[kMaxWaitingJobs + 1];
            for (auto& decl : decls)
            {
                decl = MakeJob(NoOpJob, 0, kDisallowSleep);
                decl.m_dependentCounter = never.m_pCounter;
            }
            RunJobs(decls, kMaxWaitingJobs + 1, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly,
                    OX_JOB_SOURCE_LOCATION);
            WaitForCounter(never, 0);
        },
        "pWaitData->m_numWaitingJobs < kMaxWaitingJobs");
}

// Job arrays whose dependency never holds are parked in wait contexts; the 65th is reported.
TEST(JobWaitingDeathTest, RunningOutOfWaitContextsIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1));
            host.Start();
            CounterHandle never = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
            for (U64 i = 0; i < kMaxWaitContexts + 1; ++i)
            {
                alignas(64) JobDecl decl = MakeJob(NoOpJob, 0);
                JobArray* pArray = BeginJobArray(1, never, 0, kCompareEqual, Priority{3});
                AddJobs(pArray, &decl, 1);
                CommitJobArray(pArray);
            }
            WaitForCounter(never, 0);
        },
        "pNewWaitContext");
}

INSTANTIATE_TEST_SUITE_P(Workers, JobSystemTest, testing::Values(1u, 2u));
} // namespace

// --- Two dependencies on two counters ---------------------------------------------------------------

void TwoCounterJob(U64) {}

// A job that depends on two counters waits until both hold, whichever changes first, also
// when it tests its dependencies again before it runs (it then keeps the one met first
// while it waits for the other).
TEST(JobWaiting, AJobWaitingOnTwoCountersRunsOnceBothHoldInEitherOrder)
{
    struct Case
    {
        bool m_recheck;
        bool m_firstCounterFirst;
    };
    for (const Case c : {Case{false, true}, Case{false, false}, Case{true, true}, Case{true, false}})
    {
        SCOPED_TRACE(testing::Message()
                     << "recheck " << c.m_recheck << ", first counter first " << c.m_firstCounterFirst);
        JobSystemHost host(SmallParams(1));
        host.Start();
        CounterHandle a = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
        CounterHandle b = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
        alignas(64) JobDecl job =
            MakeJob(TwoCounterJob, 0, c.m_recheck ? U64{kRecheckDependencyOnResume} : U64{0});
        job.m_dependentCounter = a.m_pCounter;
        job.m_dependentCounter2 = b.m_pCounter;
        CounterHandle done;
        RunJobs(&job, 1, &done, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
        // The worker has parked it in the wait data.
        while (g_pJobSysData->m_numWaitingJobs.load() != 1)
            std::this_thread::yield();
        SetCounterValue(c.m_firstCounterFirst ? a : b, 0);
        EXPECT_EQ(GetCounterValue(done), 1);
        SetCounterValue(c.m_firstCounterFirst ? b : a, 0);
        WaitForCounterAndFree(done, 0);
        FreeCounter(a);
        FreeCounter(b);
    }
}
