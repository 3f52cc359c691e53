// Nothing is allocated on the submission and scheduling paths once every fiber has
// started: the sanitizers' allocation hooks count every malloc of the process while
// thousands of jobs are submitted, run, waited for and woken.
#include "corelib/job/job-system.h"
#include "tests/job/job-malloc-hooks.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
#if OX_TEST_HAS_MALLOC_HOOKS
using jobtest::CountMalloc;
using jobtest::IgnoreFree;
using jobtest::s_allocations;

CounterHandle s_gate;

void WaitAtGate(U64)
{
    WaitForCounter(s_gate, 0);
}

void OpenGate(U64)
{
    SetCounterValue(s_gate, 0);
}

void Empty(U64) {}

// numWaiters jobs suspend on the gate, then one more job opens it.
void RunGateRound(U64 numWaiters)
{
    s_gate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    alignas(64) JobDecl decls[16];
    for (U64 i = 0; i < numWaiters; ++i)
        decls[i] = MakeJob(WaitAtGate, 0);
    CounterHandle waiters;
    RunJobs(decls, numWaiters, &waiters, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    alignas(64) JobDecl opener = MakeJob(OpenGate, 0);
    RunJobs(&opener, 1, nullptr, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(waiters, 0);
    FreeCounter(s_gate);
}

#endif

TEST(JobAllocation, NothingIsAllocatedAfterEveryFiberHasStarted)
{
#if !OX_TEST_HAS_MALLOC_HOOKS
    GTEST_SKIP() << "needs the sanitizers' allocation hooks";
#else
    InitParams params = SmallParams(2);
    params.m_maxSmallJobFibers = 8;
    params.m_maxLargeJobFibers = 2;
    JobSystemHost host(params);
    host.Start();
    ASSERT_EQ(__sanitizer_install_malloc_and_free_hooks(CountMalloc, IgnoreFree), 1);

    // Warm-up: eight suspended jobs and the two workers' loops hold all ten fibers, so
    // every fiber has run its start function once.
    RunGateRound(8);

    s_allocations = 0;
    jobtest::s_countingAllocations = true;
    for (int round = 0; round < 50; ++round)
    {
        alignas(64) static JobDecl fanOut[100];
        for (auto& decl : fanOut)
            decl = MakeJob(Empty, 0, kDisallowSleep);
        CounterHandle done;
        RunJobs(fanOut, 100, &done, Priority{static_cast<I8>(round % 9)}, ~0ull, kWaitForZeroOnly,
                OX_JOB_SOURCE_LOCATION);
        WaitForCounterAndFree(done, 0);
        RunGateRound(4);
    }
    jobtest::s_countingAllocations = false;
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    EXPECT_EQ(s_allocations.load(), 0u);
#endif
}
} // namespace
