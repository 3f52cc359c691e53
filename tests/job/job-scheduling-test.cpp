// The scheduling of jobs: every job runs exactly once, priorities order the work of a
// worker, affinity masks hold, job arrays with unmet dependencies are parked and come back
// at the front of their priority, and jobs wait for their dependent counters.
#include "corelib/job/job-system.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <mutex>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::JobSystemTest;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
constexpr U64 kJobsPerPriority = 200;
std::atomic<U32> s_runCounts[9 * kJobsPerPriority];

void CountRun(U64 index)
{
    s_runCounts[index].fetch_add(1, std::memory_order_relaxed);
}

TEST_P(JobSystemTest, EveryJobOfEveryPriorityRunsExactlyOnce)
{
    for (auto& count : s_runCounts)
        count = 0;
    CounterHandle counters[9];
    for (U64 p = 0; p < 9; ++p)
    {
        alignas(64) JobDecl decls[kJobsPerPriority];
        for (U64 i = 0; i < kJobsPerPriority; ++i)
            decls[i] = MakeJob(CountRun, p * kJobsPerPriority + i, kDisallowSleep);
        RunJobs(decls, kJobsPerPriority, &counters[p], Priority{static_cast<I8>(p)}, ~0ull, kWaitForZeroOnly,
                OX_JOB_SOURCE_LOCATION);
    }
    for (CounterHandle counter : counters)
        WaitForCounterAndFree(counter, 0);
    for (U64 i = 0; i < 9 * kJobsPerPriority; ++i)
        ASSERT_EQ(s_runCounts[i].load(), 1u) << "job " << i;
}

// --- Priority order on one worker ------------------------------------------------------------

std::atomic<bool> s_gateOpen{false};
std::atomic<bool> s_gateEntered{false};
std::mutex s_orderMutex;
std::vector<U64> s_order;

void GateJob(U64)
{
    s_gateEntered = true;
    jobtest::SpinUntil(s_gateOpen);
}

void RecordOrder(U64 value)
{
    std::lock_guard<std::mutex> lock(s_orderMutex);
    s_order.push_back(value);
}

TEST(JobScheduling, OneWorkerTakesLowerPriorityNumbersFirst)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_gateOpen = false;
    s_gateEntered = false;
    s_order.clear();
    RunJob(GateJob, 0, 0, Priority{8});
    jobtest::SpinUntil(s_gateEntered);

    // Submitted least urgent first, two arrays per priority.
    CounterHandle counter = OX_ALLOCATE_COUNTER(18, kWaitForZeroOnly);
    for (int p = 8; p >= 0; --p)
        for (U64 k = 0; k < 2; ++k)
        {
            alignas(64) JobDecl decl = MakeJob(RecordOrder, static_cast<U64>(p) * 10 + k);
            decl.m_associatedCounter = counter.m_pCounter;
            JobArray* pArray = BeginJobArray(1, Priority{static_cast<I8>(p)});
            AddJobs(pArray, &decl, 1);
            CommitJobArray(pArray);
        }
    s_gateOpen = true;
    WaitForCounterAndFree(counter, 0);

    std::vector<U64> expected;
    for (U64 p = 0; p < 9; ++p)
        for (U64 k = 0; k < 2; ++k)
            expected.push_back(p * 10 + k);
    EXPECT_EQ(s_order, expected);
}

// One worker: the parked array is re-registered at the front when its counter holds, so
// it runs before arrays of its priority committed while it was parked.
TEST(JobScheduling, WokenJobArrayIsRegisteredAtTheFront)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_order.clear();
    s_gateOpen = false;
    s_gateEntered = false;
    CounterHandle gate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    CounterHandle done = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
    alignas(64) JobDecl decls[3];
    for (U64 i = 0; i < 3; ++i)
    {
        decls[i] = MakeJob(RecordOrder, i + 1);
        decls[i].m_associatedCounter = done.m_pCounter;
    }
    JobArray* pDependent = BeginJobArray(1, gate, 0, kCompareEqual, Priority{4});
    AddJobs(pDependent, &decls[0], 1);
    CommitJobArray(pDependent);
    // A less urgent job: once it has run, the worker has met the dependent array first
    // and parked it.
    alignas(64) JobDecl later = MakeJob([](U64) {}, 0);
    CounterHandle laterDone;
    RunJobs(&later, 1, &laterDone, Priority{5}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(laterDone, 0);

    RunJob(GateJob, 0, 0, Priority{0});
    jobtest::SpinUntil(s_gateEntered);
    for (U64 i = 1; i < 3; ++i)
    {
        JobArray* pArray = BeginJobArray(1, Priority{4});
        AddJobs(pArray, &decls[i], 1);
        CommitJobArray(pArray);
    }
    SetCounterValue(gate, 0);
    s_gateOpen = true;
    WaitForCounterAndFree(done, 0);
    FreeCounter(gate);
    EXPECT_EQ(s_order, (std::vector<U64>{1, 2, 3}));
}

// --- Affinity --------------------------------------------------------------------------------

std::atomic<U64> s_wrongWorker{0};

void CheckOnWorkerOne(U64)
{
    if (GetCurrentWorkerThreadIndex() != 1)
        s_wrongWorker.fetch_add(1);
}

TEST(JobScheduling, AffinityMaskIsHonoured)
{
    JobSystemHost host(SmallParams(3));
    host.Start();
    s_wrongWorker = 0;
    alignas(64) JobDecl decls[64];
    for (auto& decl : decls)
        decl = MakeJob(CheckOnWorkerOne, 0, kDisallowSleep);
    CounterHandle counter;
    RunJobs(decls, 64, &counter, Priority{3}, 1ull << 1, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(counter, 0);
    EXPECT_EQ(s_wrongWorker.load(), 0u);
}

TEST(JobScheduling, AffinityMaskWithoutAnyServingWorkerIsRejected)
{
    JobSystemHost host(SmallParams(2));
    host.Start();
    EXPECT_DEATH(BeginJobArray(1, Priority{3}, 1ull << 5),
                 "Invalid affinity mask will not allow this JobArray to ever execute! 0x00000020 requested vs "
                 "0x00000003 available \\(Regular\\)");
}

// --- Dependencies ----------------------------------------------------------------------------

TEST_P(JobSystemTest, ParkedJobArrayRunsAfterItsCounterAndBeforeLaterArrays)
{
    s_order.clear();
    CounterHandle gate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    CounterHandle done = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
    alignas(64) JobDecl decl = MakeJob(RecordOrder, 1);
    decl.m_associatedCounter = done.m_pCounter;
    JobArray* pDependent = BeginJobArray(1, gate, 0, kCompareEqual, Priority{4});
    AddJobs(pDependent, &decl, 1);
    CommitJobArray(pDependent);

    // Let a worker find the array blocked and park it.
    for (int i = 0; i < 3; ++i)
        RunJobAndWait([](U64) {}, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_TRUE(s_order.empty());

    SetCounterValue(gate, 0);
    decl = MakeJob(RecordOrder, 2);
    decl.m_associatedCounter = done.m_pCounter;
    alignas(64) JobDecl decl2 = decl;
    decl2.m_startArg = 3;
    RunJobs(&decl, 1, nullptr, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    RunJobs(&decl2, 1, nullptr, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    FreeCounter(gate);
    ASSERT_EQ(s_order.size(), 3u);
    EXPECT_NE(std::find(s_order.begin(), s_order.end(), 1u), s_order.end());
}

TEST_P(JobSystemTest, JobWaitsForBothDependentCounters)
{
    s_order.clear();
    CounterHandle first = OX_ALLOCATE_COUNTER(2, kNoWaitRestriction);
    CounterHandle second = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    CounterHandle done = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    alignas(64) JobDecl decl = MakeJob(RecordOrder, 7);
    decl.m_dependentCounter = first.m_pCounter;
    decl.m_dependentValue = 1;
    decl.m_dependentCompare = kCompareLessOrEqual;
    decl.m_dependentCounter2 = second.m_pCounter;
    decl.m_dependentValue2 = 0;
    decl.m_associatedCounter = done.m_pCounter;
    RunJobs(&decl, 1, nullptr, Priority{2}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);

    AddToCounter(first, -1); // 1: the first condition holds, the second does not
    for (int i = 0; i < 3; ++i)
        RunJobAndWait([](U64) {}, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_EQ(GetCounterValue(done), 1);
    SetCounterValue(second, 0);
    WaitForCounterAndFree(done, 0);
    EXPECT_EQ(s_order, std::vector<U64>{7});
    FreeCounter(first);
    FreeCounter(second);
}

void NoOp(U64) {}

TEST_P(JobSystemTest, BarrierJobOnlyCountsDown)
{
    CounterHandle done = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    alignas(64) JobDecl decl;
    decl.m_associatedCounter = done.m_pCounter;
    RunJobs(&decl, 1, nullptr, Priority{5}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(done, 0);
    SUCCEED();
    (void)NoOp;
}

INSTANTIATE_TEST_SUITE_P(Workers, JobSystemTest, testing::Values(1u, 2u, 4u));
} // namespace
