// The worker-local lists: a worker runs the arrays it committed newest first, before the
// shared list; other workers take its oldest arrays in order; a lower priority number
// still wins; affinity holds; emergency workers take local work after their delay; the
// scheduling lock covers local arrays; a deep tree of one priority runs depth first; a
// woken job goes to the worker that woke it (the shared woken-up list under the shared lists).
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-system.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// Starts a job system with the given policy and gives the test's policy back afterwards.
class PolicyHost
{
public:
    PolicyHost(SchedulingPolicy policy, const InitParams& params) : m_previous(GetSchedulingPolicy())
    {
        SetSchedulingPolicy(policy);
        m_pHost = new JobSystemHost(params);
        m_pHost->Start();
    }
    ~PolicyHost()
    {
        delete m_pHost;
        SetSchedulingPolicy(m_previous);
    }
    PolicyHost(const PolicyHost&) = delete;
    PolicyHost& operator=(const PolicyHost&) = delete;

private:
    SchedulingPolicy m_previous;
    JobSystemHost* m_pHost;
};

std::mutex s_orderMutex;
std::vector<U64> s_order;
std::vector<U64> s_workers;
std::atomic<bool> s_parentStarted{false};
std::atomic<bool> s_hostDone{false};
std::atomic<U64> s_parentWorker{0};
CounterHandle s_done;

void ResetRecords()
{
    s_order.clear();
    s_workers.clear();
    s_parentStarted = false;
    s_hostDone = false;
    jobtest::s_firstFailedLine = 0;
}

void Record(U64 value)
{
    std::lock_guard<std::mutex> lock(s_orderMutex);
    s_order.push_back(value);
    s_workers.push_back(GetCurrentWorkerThreadIndex());
}

// Commits one array of count jobs that record first, first + 1, ... and count down s_done.
void CommitRecordingArray(U64 first, U64 count, Priority priority, U64 affinity = ~0ull)
{
    alignas(64) JobDecl decls[8];
    for (U64 i = 0; i < count; ++i)
    {
        decls[i] = MakeJob(Record, first + i);
        decls[i].m_associatedCounter = s_done.m_pCounter;
    }
    JobArray* pArray = BeginJobArray(count, priority, affinity);
    AddJobs(pArray, decls, count);
    CommitJobArray(pArray);
}

// Commits the parent job from the host (the shared list, priority 5) and returns once it
// runs; the returned counter reads 0 when it has ended.
CounterHandle StartParent(JobEntryFunc pParent)
{
    CounterHandle parentDone = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    alignas(64) JobDecl parent = MakeJob(pParent, 0);
    parent.m_associatedCounter = parentDone.m_pCounter;
    JobArray* pArray = BeginJobArray(1, Priority{5});
    AddJobs(pArray, &parent, 1);
    CommitJobArray(pArray);
    jobtest::SpinUntil(s_parentStarted);
    return parentDone;
}

// --- One worker: own arrays newest first, before the shared list; priorities win --------------

// The host commits its arrays (to the shared list) while the parent job is held; the
// parent then commits its own and waits for all of them.
struct OrderCase
{
    const char* m_name;
    SchedulingPolicy m_policy;
    std::vector<U64> m_expected;
};

void ParentCommitsTwoArraysAndWaits(U64)
{
    s_parentStarted = true;
    jobtest::SpinUntil(s_hostDone);
    CommitRecordingArray(10, 2, Priority{4});
    CommitRecordingArray(20, 2, Priority{4});
    CommitRecordingArray(30, 1, Priority{1});
    CommitRecordingArray(50, 1, Priority{6});
    WaitForCounter(s_done, 0);
}

class LocalListsOrder : public testing::TestWithParam<OrderCase>
{
};

TEST_P(LocalListsOrder, OneWorkerRunsTheArraysInThePolicysOrder)
{
    PolicyHost host(GetParam().m_policy, SmallParams(1));
    ResetRecords();
    s_done = OX_ALLOCATE_COUNTER(8, kWaitForZeroOnly);
    const CounterHandle parentDone = StartParent(ParentCommitsTwoArraysAndWaits);
    CommitRecordingArray(1, 1, Priority{4});
    CommitRecordingArray(2, 1, Priority{2});
    s_hostDone = true;
    WaitForCounterAndFree(parentDone, 0);
    FreeCounter(s_done);
    EXPECT_EQ(s_order, GetParam().m_expected);
}

INSTANTIATE_TEST_SUITE_P(
    BothPolicies, LocalListsOrder,
    testing::Values(
        // Committed order within each priority, lowest number first.
        OrderCase{"SharedLists", SchedulingPolicy::kSharedLists, {30, 2, 1, 10, 11, 20, 21, 50}},
        // Lowest number first; at priority 4 the parent's own arrays, newest first and each
        // in order, then the host's array from the shared list.
        OrderCase{"WorkerLocalLists", SchedulingPolicy::kWorkerLocalLists, {30, 2, 20, 21, 10, 11, 1, 50}}),
    [](const testing::TestParamInfo<OrderCase>& info) { return info.param.m_name; });

// --- Two workers: the other worker takes the busy worker's oldest arrays, in order ------------

std::atomic<U64> s_jobsLeft{0};

void CountDownRecord(U64 value)
{
    Record(value);
    s_jobsLeft.fetch_sub(1, std::memory_order_acq_rel);
}

void ParentCommitsAndStaysBusy(U64)
{
    s_parentWorker = GetCurrentWorkerThreadIndex();
    alignas(64) JobDecl decls[4];
    for (U64 a = 0; a < 2; ++a)
    {
        for (U64 i = 0; i < 4; ++i)
            decls[i] = MakeJob(CountDownRecord, a * 100 + i);
        JobArray* pArray = BeginJobArray(4, Priority{4});
        AddJobs(pArray, decls, 4);
        CommitJobArray(pArray);
    }
    // No wait: the worker stays busy, so only the other worker can run the children.
    while (s_jobsLeft.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}

TEST(LocalLists, AnotherWorkerTakesTheOldestArrayFirstAndEachInOrder)
{
    PolicyHost host(SchedulingPolicy::kWorkerLocalLists, SmallParams(2));
    ResetRecords();
    s_jobsLeft = 8;
    RunJobAndWait(ParentCommitsAndStaysBusy, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_EQ(s_order, (std::vector<U64>{0, 1, 2, 3, 100, 101, 102, 103}));
    for (U64 worker : s_workers)
        EXPECT_NE(worker, s_parentWorker.load());
}

// --- Affinity ------------------------------------------------------------------------------------

void ParentCommitsPinnedArrays(U64)
{
    const U64 self = GetCurrentWorkerThreadIndex();
    s_parentWorker = self;
    // One array the committing worker may not run (it goes to the shared list), one only it
    // may run (no other worker takes it from its list).
    CommitRecordingArray(0, 4, Priority{4}, 1ull << (1 - self));
    CommitRecordingArray(10, 4, Priority{4}, 1ull << self);
    WaitForCounter(s_done, 0);
}

TEST(LocalLists, AffinityHoldsForOwnAndOtherWorkersArrays)
{
    PolicyHost host(SchedulingPolicy::kWorkerLocalLists, SmallParams(2));
    ResetRecords();
    s_done = OX_ALLOCATE_COUNTER(8, kWaitForZeroOnly);
    RunJobAndWait(ParentCommitsPinnedArrays, 0, 0, OX_JOB_SOURCE_LOCATION);
    FreeCounter(s_done);
    ASSERT_EQ(s_order.size(), 8u);
    for (U64 i = 0; i < s_order.size(); ++i)
    {
        const U64 expectedWorker = s_order[i] >= 10 ? s_parentWorker.load() : 1 - s_parentWorker.load();
        EXPECT_EQ(s_workers[i], expectedWorker) << "job " << s_order[i];
    }
}

// --- Emergency workers ---------------------------------------------------------------------------

void ParentCommitsTimeCriticalAndStaysBusy(U64)
{
    s_parentWorker = GetCurrentWorkerThreadIndex();
    alignas(64) JobDecl decl = MakeJob(CountDownRecord, 7);
    JobArray* pArray = BeginJobArray(1, Priority{0});
    AddJobs(pArray, &decl, 1);
    CommitJobArray(pArray);
    while (s_jobsLeft.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}

TEST(LocalLists, EmergencyWorkerTakesARegularWorkersLocalArray)
{
    InitParams params = SmallParams(1, 1);
    // The regular worker serves priority 0 too, so its array stays in its own list.
    params.m_regularWorkerMinPriority = Priority{0};
    PolicyHost host(SchedulingPolicy::kWorkerLocalLists, params);
    ResetRecords();
    s_jobsLeft = 1;
    RunJobAndWait(ParentCommitsTimeCriticalAndStaysBusy, 0, 0, OX_JOB_SOURCE_LOCATION);
    ASSERT_EQ(s_workers.size(), 1u);
    EXPECT_EQ(s_parentWorker.load(), 0u);
    EXPECT_EQ(s_workers[0], 1u);
}

// --- The scheduling lock and the queued-declaration walk cover local arrays ----------------------

void ParentCommitsAndHolds(U64)
{
    CommitRecordingArray(70, 3, Priority{4});
    s_parentStarted = true;
    jobtest::SpinUntil(s_hostDone);
    WaitForCounter(s_done, 0);
}

TEST(LocalLists, ForEachJobDeclSeesTheWorkersOwnArrays)
{
    PolicyHost host(SchedulingPolicy::kWorkerLocalLists, SmallParams(1));
    ResetRecords();
    s_done = OX_ALLOCATE_COUNTER(3, kWaitForZeroOnly);
    const CounterHandle parentDone = StartParent(ParentCommitsAndHolds);

    std::vector<U64> seen;
    ForEachJobDeclInEachJobArray(
        [](const JobDecl* pDecl, void* pContext)
        {
            static_cast<std::vector<U64>*>(pContext)->push_back(pDecl->m_startArg);
            return true;
        },
        &seen);
    s_hostDone = true;
    WaitForCounterAndFree(parentDone, 0);
    FreeCounter(s_done);
    EXPECT_EQ(seen, (std::vector<U64>{70, 71, 72}));
}

// --- A deep tree of one priority runs depth first --------------------------------------------------

constexpr U64 kTreeDepth = 4;
std::atomic<U64> s_waiting{0};
std::atomic<U64> s_peakWaiting{0};
std::atomic<U64> s_leaves{0};

void TreeNode(U64 level)
{
    if (level == kTreeDepth)
    {
        s_leaves.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    alignas(64) JobDecl children[8];
    for (JobDecl& child : children)
        child = MakeJob(TreeNode, level + 1);
    CounterHandle counter;
    RunJobs(children, 8, &counter, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    const U64 waiting = s_waiting.fetch_add(1, std::memory_order_relaxed) + 1;
    U64 peak = s_peakWaiting.load(std::memory_order_relaxed);
    while (waiting > peak && !s_peakWaiting.compare_exchange_weak(peak, waiting, std::memory_order_relaxed))
    {
    }
    WaitForCounterAndFree(counter, 0);
    s_waiting.fetch_sub(1, std::memory_order_relaxed);
}

TEST(LocalLists, ATreeOfOnePriorityHoldsFewFibers)
{
    constexpr U64 kWorkers = 2;
    PolicyHost host(SchedulingPolicy::kWorkerLocalLists, SmallParams(kWorkers));
    for (int round = 0; round < 3; ++round)
    {
        s_waiting = 0;
        s_peakWaiting = 0;
        s_leaves = 0;
        RunJobAndWait(TreeNode, 0, 0, OX_JOB_SOURCE_LOCATION);
        EXPECT_EQ(s_leaves.load(), 4096u);
        // Each worker's fiber plus the waiting inner jobs: breadth first, the shared lists
        // would hold 585 inner jobs waiting.
        EXPECT_LE(s_peakWaiting.load() + kWorkers, (kTreeDepth + 2) * kWorkers) << "round " << round;
    }
}

// --- A woken job goes to the worker that woke it ------------------------------------------------

CounterHandle s_wakeCounter;
std::atomic<U64> s_waiterStartWorker{0};
std::atomic<U64> s_waiterResumeWorker{0};
std::atomic<bool> s_holderStarted{false};
std::atomic<bool> s_waiterResumed{false};
std::atomic<U64> s_onWakersSlots{0};
std::atomic<U64> s_onSharedList{0};

void Waiter(U64)
{
    s_waiterStartWorker = GetCurrentWorkerThreadIndex();
    WaitForCounter(s_wakeCounter, 0);
    s_waiterResumeWorker = GetCurrentWorkerThreadIndex();
    s_waiterResumed = true;
}

// Keeps the waiter's first worker busy until the waiter has resumed elsewhere.
void HoldUntilTheWaiterResumes(U64)
{
    s_holderStarted = true;
    while (!s_waiterResumed.load())
        std::this_thread::yield();
}

// Counts the waiter's counter down and looks where the woken waiter went; the other
// worker is held, so nothing takes it before the look.
void Waker(U64)
{
    AddToCounter(s_wakeCounter, -1);
    const JobSysData& data = *g_pJobSysData;
    s_onWakersSlots = data.m_workerJobLists[GetCurrentWorkerThreadIndex()].m_numWokenUpJobs.load();
    s_onSharedList = data.m_pSchedData[4].m_numWokenUpJobs.load();
}

void SubmitOne(JobEntryFunc pFunc, U64 affinity, CounterHandle* pDone)
{
    alignas(64) JobDecl decl = MakeJob(pFunc, 0);
    RunJobs(&decl, 1, pDone, Priority{4}, affinity, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
}

struct WakeCase
{
    const char* m_name;
    SchedulingPolicy m_policy;
    U64 m_onWakersSlots;
    U64 m_onSharedList;
};

class WokenJobPlacement : public testing::TestWithParam<WakeCase>
{
};

// The waiter suspends on one worker, which a holder then keeps busy; a waker pinned to the
// other worker wakes it. Worker-local lists keep the woken job in the waker's slots, and it
// resumes on the waker; the shared lists put it on the shared woken-up list.
TEST_P(WokenJobPlacement, AWokenJobGoesWhereThePolicySays)
{
    const WakeCase& c = GetParam();
    PolicyHost host(c.m_policy, SmallParams(2));
    s_wakeCounter = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    s_holderStarted = false;
    s_waiterResumed = false;
    CounterHandle waiterDone, holderDone, wakerDone;
    SubmitOne(Waiter, ~0ull, &waiterDone);
    while (g_pJobSysData->m_numWaitingJobs.load() != 1)
        std::this_thread::yield();
    const U64 first = s_waiterStartWorker.load();
    SubmitOne(HoldUntilTheWaiterResumes, 1ull << first, &holderDone);
    while (!s_holderStarted.load())
        std::this_thread::yield();
    SubmitOne(Waker, 1ull << (1 - first), &wakerDone);
    WaitForCounterAndFree(wakerDone, 0);
    WaitForCounterAndFree(waiterDone, 0);
    WaitForCounterAndFree(holderDone, 0);
    FreeCounter(s_wakeCounter);
    EXPECT_EQ(s_onWakersSlots.load(), c.m_onWakersSlots);
    EXPECT_EQ(s_onSharedList.load(), c.m_onSharedList);
    EXPECT_EQ(s_waiterResumeWorker.load(), 1 - first) << "the waiter resumed on its held worker";
}

INSTANTIATE_TEST_SUITE_P(BothPolicies, WokenJobPlacement,
                         testing::Values(WakeCase{"SharedLists", SchedulingPolicy::kSharedLists, 0, 1},
                                         WakeCase{"WorkerLocalLists", SchedulingPolicy::kWorkerLocalLists, 1,
                                                  0}),
                         [](const testing::TestParamInfo<WakeCase>& info) { return info.param.m_name; });

// --- The policy is chosen before Initialize ---------------------------------------------------------

TEST(LocalListsDeathTest, ChoosingThePolicyWhileTheJobSystemRunsIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1));
            host.Start();
            SetSchedulingPolicy(SchedulingPolicy::kWorkerLocalLists);
        },
        "SetSchedulingPolicy\\(kWorkerLocalLists\\) called while the job system runs: choose the scheduling "
        "policy before Initialize");
}
} // namespace
