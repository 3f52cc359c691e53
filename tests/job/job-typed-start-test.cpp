// Work started with the typed layer (StartParallelFor, Start) on 1, 2 and 4 workers, from
// the host and from inside a job: the calls return before the work runs, a chain and a
// diamond of stages each run after the stages they follow, and everything goes back to
// its pool. Then the large-stack choice of the typed calls.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-typed.h"
#include "corelib/system/platform/cpu-pause.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemTest;
using jobtest::MakeJob;

namespace
{
constexpr U64 kCount = 10000;

// A chain (A, then B) and a diamond (A, then B and C together, then D), started at once
// behind a gate the caller opens only after every Start call has returned.
std::string CheckStartedStages()
{
    std::vector<U64> values(kCount, 0);
    U64* p = values.data();
    std::atomic<bool> gate{false};
    std::atomic<U64> half{0};
    U64 total = 0;

    // A: p[i] = i, once the gate is open.
    StartedWork a = StartParallelFor(0, kCount, 64,
                                     [p, &gate](U64 begin, U64 end)
                                     {
                                         while (!gate.load(std::memory_order_acquire))
                                             oxsys::CpuPause();
                                         for (U64 i = begin; i < end; ++i)
                                             p[i] = i;
                                     });
    // B after A (a chain of loops): p[i] += 1.
    StartedWork b = StartParallelFor(a, 0, kCount, 100,
                                     [p](U64 begin, U64 end)
                                     {
                                         for (U64 i = begin; i < end; ++i)
                                             p[i] += 1;
                                     });
    // Then two callables together, one with a loop of its own: the first half doubled,
    // the sum of the second half.
    StartedWork bc = Start(
        b,
        [p]
        {
            ParallelFor(0, kCount / 2, 50,
                        [p](U64 begin, U64 end)
                        {
                            for (U64 i = begin; i < end; ++i)
                                p[i] *= 2;
                        });
        },
        [p, &half]
        {
            U64 sum = 0;
            for (U64 i = kCount / 2; i < kCount; ++i)
                sum += p[i];
            half.store(sum);
        });
    // D once both are done.
    StartedWork d = Start(bc,
                          [p, &half, &total]
                          {
                              U64 sum = 0;
                              for (U64 i = 0; i < kCount / 2; ++i)
                                  sum += p[i];
                              total = sum + half.load();
                          });
    if (!a.IsPending() || !d.IsPending())
        return "started work no longer pending before its gate opened";
    gate.store(true, std::memory_order_release);
    d.Wait();
    // sum(2 * (i + 1)) over the first half, sum(i + 1) over the second.
    const U64 halfCount = kCount / 2;
    const U64 expected =
        halfCount * (halfCount + 1) + (kCount * (kCount + 1) / 2 - halfCount * (halfCount + 1) / 2);
    if (total != expected)
        return "the stages ran out of order: " + std::to_string(total) + " instead of " +
               std::to_string(expected);
    // The other handles wait (returning at once) and free what they hold at scope end.
    return "";
}

// Started work with nothing to do: an empty loop still orders what follows it.
std::string CheckEmptyStages()
{
    std::atomic<int> ran{0};
    StartedWork empty = StartParallelFor(5, 5, 1, [](U64, U64) {});
    Start(empty, [&ran] { ran.fetch_add(1); }).Wait();
    return ran.load() == 1 ? "" : "work after an empty loop did not run once";
}

// Work waited for before the work started after it: what the later work still needs
// stays until it has run, and then everything goes back (600 pairs, more than the pools
// hold).
std::string CheckWaitedOldestFirst()
{
    std::atomic<U64> ran{0};
    for (int i = 0; i < 600; ++i)
    {
        StartedWork first = StartParallelFor(0, 4, 1, [&ran](U64, U64) { ran.fetch_add(1); });
        StartedWork second = Start(first, [&ran] { ran.fetch_add(10); });
        first.Wait();
        // The loop's four chunks have run, the callable may have too.
        if (ran.load() < 14 * static_cast<U64>(i) + 4)
            return "the first loop had not run when its Wait returned";
        second.Wait();
        if (ran.load() != 14 * static_cast<U64>(i + 1))
            return "pair " + std::to_string(i) + ": " + std::to_string(ran.load()) + " runs counted";
    }
    return "";
}

std::string CheckAllStarted()
{
    std::string fault = CheckStartedStages();
    if (fault.empty())
        fault = CheckEmptyStages();
    if (fault.empty())
        fault = CheckWaitedOldestFirst();
    // Far more started calls than the pools hold, one after the other: each went back.
    for (int i = 0; i < 600 && fault.empty(); ++i)
        Start([] {}).Wait();
    return fault;
}

std::string s_jobFault;

void RunCheckJob(U64 check)
{
    s_jobFault = reinterpret_cast<std::string (*)()>(static_cast<UPtr>(check))();
}
OX_JOB_DESCRIPTOR(RunCheckJob);

std::string RunCheckInJob(std::string (*check)())
{
    s_jobFault = "did not run";
    alignas(64) JobDecl decl = MakeJob(RunCheckJob, static_cast<U64>(reinterpret_cast<UPtr>(check)));
    ScopedCounter done(1);
    decl.m_associatedCounter = done.Get().m_pCounter;
    RunJobs(&decl, 1, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    done.Wait();
    return s_jobFault;
}

TEST_P(JobSystemTest, StartedStagesRunInOrderWithoutTheCallerWaitingInBetween)
{
    EXPECT_EQ(CheckAllStarted(), "");
    EXPECT_EQ(RunCheckInJob(CheckAllStarted), "");
}

// Every worker held by a job that lets go only once the host has run a loop's chunks: a
// host thread that waits for started work runs the started loops on its way (here the
// loop before a callable, then a loop of its own) instead of sleeping.
std::atomic<U64> s_heldWorkers{0};
std::atomic<U64> s_chunksRunByHost{0};
std::atomic<U64> s_releaseAt{0};

void HoldWorker(U64)
{
    s_heldWorkers.fetch_add(1);
    while (s_chunksRunByHost.load(std::memory_order_acquire) < s_releaseAt.load(std::memory_order_acquire))
        oxsys::CpuPause();
}
OX_JOB_DESCRIPTOR(HoldWorker);

// Holds every worker until the host has run `chunks` more chunks; the returned counter
// reads 0 once they have let go.
CounterHandle HoldEveryWorkerUntilTheHostRuns(U64 chunks)
{
    const U64 workers = GetNumWorkerThreads();
    s_heldWorkers.store(0);
    s_releaseAt.store(s_chunksRunByHost.load() + chunks);
    alignas(64) JobDecl decls[8];
    EXPECT_LE(workers, 8u);
    for (U64 i = 0; i < workers; ++i)
        decls[i] = MakeJob(HoldWorker, 0);
    CounterHandle held;
    RunJobs(decls, workers, &held, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    while (s_heldWorkers.load() != workers)
        oxsys::CpuPause();
    return held;
}

TEST_P(JobSystemTest, AWaitingHostRunsTheStartedLoopsOnItsWay)
{
    constexpr U64 kChunks = 12;
    std::vector<int> runs(kChunks, 0);
    auto body = [&runs](U64 begin, U64 end)
    {
        for (U64 i = begin; i < end; ++i)
            ++runs[i];
        if (!IsWorkerThread())
            s_chunksRunByHost.fetch_add(end - begin, std::memory_order_release);
    };
    std::atomic<bool> after{false};

    // A loop, then a callable after it: waiting for the callable runs the loop first.
    CounterHandle held = HoldEveryWorkerUntilTheHostRuns(kChunks);
    StartedWork loop = StartParallelFor(0, kChunks, 1, body);
    Start(loop, [&after] { after.store(true); }).Wait();
    EXPECT_TRUE(after.load());
    WaitForCounterAndFree(held, 0);
    loop.Wait();

    // A loop waited for itself.
    held = HoldEveryWorkerUntilTheHostRuns(kChunks);
    StartParallelFor(0, kChunks, 1, body).Wait();
    WaitForCounterAndFree(held, 0);
    for (U64 i = 0; i < kChunks; ++i)
        EXPECT_EQ(runs[i], 2) << "chunk " << i;
}

// 1 when the caller runs on a large stack: a job declared kLargeStack, or a host thread.
U64 OnALargeStack()
{
    JobDecl active;
    if (!IsWorkerThread())
        return 1;
    return GetActiveJobDecl(&active) && (active.m_flags & kLargeStack) ? 1 : 0;
}

std::string CheckLargeStacks()
{
    std::atomic<U64> onLarge{0};
    RunAndWait(
        kLargeStack, [&onLarge] { onLarge.fetch_add(OnALargeStack()); },
        [&onLarge] { onLarge.fetch_add(OnALargeStack()); });
    ParallelFor(
        0, 8, 1, [&onLarge](U64, U64) { onLarge.fetch_add(OnALargeStack()); }, kLargeStack);
    Start(kLargeStack, [&onLarge] { onLarge.fetch_add(OnALargeStack()); }).Wait();
    StartParallelFor(
        0, 3, 1, [&onLarge](U64, U64) { onLarge.fetch_add(OnALargeStack()); }, kLargeStack)
        .Wait();
    return onLarge.load() == 2 + 8 + 1 + 3
               ? ""
               : std::to_string(onLarge.load()) + " of 14 calls ran on a large stack";
}

TEST_P(JobSystemTest, TypedCallsRunOnLargeStacksWhenAsked)
{
    EXPECT_EQ(CheckLargeStacks(), "");
    EXPECT_EQ(RunCheckInJob(CheckLargeStacks), "");
}

INSTANTIATE_TEST_SUITE_P(Workers, JobSystemTest, testing::Values(1, 2, 4));
} // namespace
