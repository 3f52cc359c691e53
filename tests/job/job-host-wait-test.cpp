// The sleeping host wait: host threads that wait for counters while jobs and other
// threads count them down, many times over, each wait returning once its condition holds;
// waits that really went to sleep and were woken; the misuse it reports. What a waiting
// thread costs is measured by job-typed-bench, not here.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-host-wake.h"
#include "corelib/job/job-system.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::JobSystemTest;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// Counts the counter in its argument down by one.
void CountDownJob(U64 startArg)
{
    AddToCounter(CounterHandle{reinterpret_cast<Counter*>(static_cast<UPtr>(startArg))}, -1);
}
OX_JOB_DESCRIPTOR(CountDownJob);

U64 ArgOf(CounterHandle counter)
{
    return static_cast<U64>(reinterpret_cast<UPtr>(counter.m_pCounter));
}

// Many short waits: each round a job counts a counter down from 1 while the host waits
// for 0; every wait must return, and only once the value is 0.
TEST_P(JobSystemTest, ManyWaitsForJobsCountingDownReturnOnceTheCounterMeetsTheTarget)
{
    for (int round = 0; round < 2000; ++round)
    {
        CounterHandle counter = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
        RunJob(CountDownJob, ArgOf(counter), 0, Priority{3});
        HostWaitForCounter(counter, 0);
        ASSERT_EQ(GetCounterValue(counter), 0);
        FreeCounter(counter);
    }
}

// Several host threads wait at once, on counters of their own and on one they share, with
// targets other than 0 and both comparisons, while jobs count all of them down.
TEST_P(JobSystemTest, SeveralHostThreadsWaitAtOnceOnOwnAndSharedCounters)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    constexpr I64 kSteps = 6;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&wrong]
            {
                Memory::InitializeThreadAllocStack();
                for (int round = 0; round < kRounds; ++round)
                {
                    CounterHandle counter = OX_ALLOCATE_COUNTER(kSteps, kNoWaitRestriction);
                    alignas(64) JobDecl decls[kSteps];
                    for (JobDecl& decl : decls)
                        decl = MakeJob(CountDownJob, ArgOf(counter));
                    RunJobs(decls, kSteps, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly,
                            OX_JOB_SOURCE_LOCATION);
                    HostWaitForCounter(counter, kSteps / 2, kCompareLessOrEqual);
                    if (GetCounterValue(counter) > kSteps / 2)
                        wrong.fetch_add(1);
                    HostWaitForCounter(counter, 0, kCompareEqual);
                    if (GetCounterValue(counter) != 0)
                        wrong.fetch_add(1);
                    FreeCounter(counter);
                }
                Memory::FreeThreadAllocStack();
            });
    }
    // Meanwhile this thread and the jobs share one counter.
    for (int round = 0; round < kRounds; ++round)
    {
        CounterHandle shared = OX_ALLOCATE_COUNTER(2, kWaitForZeroOnly);
        RunJob(CountDownJob, ArgOf(shared), 0, Priority{3});
        RunJob(CountDownJob, ArgOf(shared), 0, Priority{4});
        WaitForCounterOnAnyThread(shared, 0);
        EXPECT_EQ(GetCounterValue(shared), 0);
        FreeCounter(shared);
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Workers, JobSystemTest, testing::Values(1, 2, 4));

// Waits that went to sleep: the count-down comes only once the waiting thread has
// announced that it sleeps, so every round covers the sleep and the wake-up, from another
// host thread and from a job.
TEST(JobHostWaitTest, ASleepingWaiterIsWokenByTheCountDownThatMeetsItsTarget)
{
    JobSystemHost host(SmallParams(2));
    host.Start();
    for (int round = 0; round < 300; ++round)
    {
        CounterHandle counter = OX_ALLOCATE_COUNTER(2, kNoWaitRestriction);
        std::atomic<bool> returned{false};
        std::thread waiter(
            [&]
            {
                HostWaitForCounter(counter, 0);
                returned.store(true);
            });
        while (g_numSleepingHostWaiters.load() == 0)
            std::this_thread::yield();
        // A change that does not meet the target wakes the sleeper, which sleeps again.
        AddToCounter(counter, -1);
        while (g_numSleepingHostWaiters.load() == 0)
            std::this_thread::yield();
        EXPECT_FALSE(returned.load());
        if (round % 2 == 0)
            AddToCounter(counter, -1);
        else
            RunJob(CountDownJob, ArgOf(counter), 0, Priority{3});
        waiter.join();
        EXPECT_TRUE(returned.load());
        EXPECT_EQ(g_numSleepingHostWaiters.load(), 0u);
        FreeCounter(counter);
    }
}

void HostWaitInAJob(U64)
{
    CounterHandle counter = OX_ALLOCATE_COUNTER(0, kWaitForZeroOnly);
    HostWaitForCounter(counter, 0);
}
OX_JOB_DESCRIPTOR(HostWaitInAJob);

TEST(JobHostWaitDeathTest, AHostWaitOnAWorkerIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1));
            host.Start();
            RunJobAndWait(HostWaitInAJob, 0, 0, OX_JOB_SOURCE_LOCATION);
        },
        "HostWaitForCounter would put a job worker to sleep");
}

TEST(JobHostWaitDeathTest, ANonZeroTargetOnARestrictedCounterIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1));
            host.Start();
            CounterHandle counter = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
            HostWaitForCounter(counter, 1);
        },
        "can only be waited on to become '0' \\(WaitRestriction\\)");
}

TEST(JobHostWaitDeathTest, AnEmptyHandleIsReported)
{
    EXPECT_DEATH(HostWaitForCounter(CounterHandle{}, 0), "pCounter");
}
} // namespace
