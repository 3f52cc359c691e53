// Nothing is allocated on the submission and scheduling paths once every fiber has
// started: the sanitizers' allocation hooks count every malloc of the process while
// thousands of jobs are submitted, run, waited for and woken.
#include "corelib/job/job-system.h"
#include "corelib/system/platform/platform.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>

#if OX_ASAN || OX_TSAN
#include <cstddef>
// The sanitizer runtimes' allocation hooks (GCC ships no header for them).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));
#define OX_TEST_HAS_MALLOC_HOOKS 1
#else
#define OX_TEST_HAS_MALLOC_HOOKS 0
#endif

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
std::atomic<U64> s_allocations{0};
std::atomic<bool> s_counting{false};

#if OX_TEST_HAS_MALLOC_HOOKS
void CountMalloc(const volatile void*, size_t)
{
    if (s_counting.load(std::memory_order_relaxed))
        s_allocations.fetch_add(1, std::memory_order_relaxed);
}

void IgnoreFree(const volatile void*) {}
#endif

#if OX_TEST_HAS_MALLOC_HOOKS
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
    s_counting = true;
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
    s_counting = false;
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    EXPECT_EQ(s_allocations.load(), 0u);
#endif
}
} // namespace
