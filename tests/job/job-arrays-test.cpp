// Job arrays and submission: the 32-job rule, capacity, declaration validity, empty
// commits, affinity checks, category inheritance, job descriptors, the walk over queued
// declarations and the job array pool.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace oxjob;
using jobtest::DoutCaptureScope;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
std::atomic<U64> s_jobsRun{0};

void CountingJob(U64)
{
    s_jobsRun.fetch_add(1);
}

// Submits the declarations in one array with a counter and waits until all have run.
void RunAndWait(JobDecl* pJobDecls, U64 numJobs, Priority priority = Priority{3}, U64 affinityMask = ~0ull)
{
    CounterHandle counter;
    RunJobs(pJobDecls, numJobs, &counter, priority, affinityMask, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(counter, 0);
}

// The job array pool's line of PrintJobSystemData.
std::string JobArrayPoolLine()
{
    DoutCaptureScope capture(2);
    PrintJobSystemData();
    const std::string& text = capture.Text();
    const size_t begin = text.find("   Job Array:");
    return begin == std::string::npos ? text : text.substr(begin, text.find('\n', begin) - begin);
}

// A job that holds its worker until the test opens the gate.
std::atomic<bool> s_blockerStarted{false};
std::atomic<bool> s_blockerRelease{false};

void BlockerJob(U64)
{
    s_blockerStarted.store(true, std::memory_order_release);
    while (!s_blockerRelease.load(std::memory_order_acquire))
        std::this_thread::yield();
}

// --- The 32-job rule ---------------------------------------------------------------------

struct SubmitSizeCase
{
    const char* m_name;
    U64 m_numJobs;
    U64 m_flagsOfFirst;
    U64 m_flagsOfLast;
    bool m_accepted;
};

const SubmitSizeCase kSubmitSizes[] = {
    {"ThirtyTwoWithoutFlag", 32, 0, 0, true},
    {"ThirtyThreeFirstDisallowsSleep", 33, kDisallowSleep, 0, true},
    {"ThirtyThreeWithoutFlag", 33, 0, 0, false},
    {"ThirtyThreeOnlyLastDisallowsSleep", 33, 0, kDisallowSleep, false},
};

class JobArraysSubmitSize : public testing::TestWithParam<SubmitSizeCase>
{
};

TEST_P(JobArraysSubmitSize, LargeSubmitsMustNeverSleep)
{
    JobSystemHost host(SmallParams(2));
    host.Start();
    const SubmitSizeCase& submit = GetParam();
    std::vector<JobDecl> decls(submit.m_numJobs, MakeJob(CountingJob, 0));
    decls.front().m_flags = submit.m_flagsOfFirst;
    decls.back().m_flags = submit.m_flagsOfLast;
    if (!submit.m_accepted)
    {
        JobArray* pJobArray = BeginJobArray(submit.m_numJobs, Priority{3});
        EXPECT_DEATH(AddJobs(pJobArray, decls.data(), submit.m_numJobs),
                     "Job submits larger than 32 jobs have to guarantee to never sleep");
        CommitJobArray(pJobArray); // still empty: back to the pool
        return;
    }
    s_jobsRun = 0;
    RunAndWait(decls.data(), submit.m_numJobs);
    EXPECT_EQ(s_jobsRun.load(), submit.m_numJobs);
}

INSTANTIATE_TEST_SUITE_P(All, JobArraysSubmitSize, testing::ValuesIn(kSubmitSizes),
                         [](const testing::TestParamInfo<SubmitSizeCase>& info)
                         { return info.param.m_name; });

// --- Capacity, counts and declaration validity -----------------------------------------------

TEST(JobArrays, AnArrayTakesItsCapacityAndRejectsMore)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_jobsRun = 0;
    const CounterHandle counter = OX_ALLOCATE_COUNTER(4, kWaitForZeroOnly);
    JobDecl decls[5];
    for (JobDecl& decl : decls)
    {
        decl = MakeJob(CountingJob, 0);
        decl.m_associatedCounter = counter.m_pCounter;
    }
    JobArray* pJobArray = BeginJobArray(4, Priority{5});
    ASSERT_NE(pJobArray, nullptr);
    EXPECT_EQ(GetJobArrayCapacity(pJobArray), 4);
    EXPECT_EQ(GetJobCount(pJobArray), 0);
    EXPECT_EQ(GetJobArrayPriority(pJobArray), Priority{5});
    EXPECT_EQ(AddJobs(pJobArray, decls, 3), 3u);
    EXPECT_EQ(GetJobCount(pJobArray), 3);
    EXPECT_EQ(AddJobs(pJobArray, decls + 3, 1), 1u);
    EXPECT_EQ(GetJobCount(pJobArray), 4);
    EXPECT_DEATH(AddJobs(pJobArray, decls + 4, 1), "Assertion failed: numJobsAdded == numJobs");
    EXPECT_EQ(GetJobCount(pJobArray), 4);
    CommitJobArray(pJobArray);
    WaitForCounterAndFree(counter, 0);
    EXPECT_EQ(s_jobsRun.load(), 4u);
}

TEST(JobArrays, AddingMoreThanTheCapacityInOneCallIsRejected)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    JobDecl decls[5] = {MakeJob(CountingJob, 0), MakeJob(CountingJob, 1), MakeJob(CountingJob, 2),
                        MakeJob(CountingJob, 3), MakeJob(CountingJob, 4)};
    EXPECT_DEATH(
        {
            JobArray* pJobArray = BeginJobArray(4, Priority{3});
            AddJobs(pJobArray, decls, 5);
        },
        "Assertion failed: numJobsAdded == numJobs");
}

TEST(JobArrays, ADeclarationNeedsAnEntryAnAssociatedCounterOrTheFirstDependency)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_jobsRun = 0;
    // Already met: the barrier does not wait. With one worker the jobs run in order, so
    // when the counting job is done the barrier is too.
    const CounterHandle dependency = OX_ALLOCATE_COUNTER(0, kWaitForZeroOnly);
    const CounterHandle done = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    JobDecl decls[2];
    decls[0].m_dependentCounter = dependency.m_pCounter;
    decls[1] = MakeJob(CountingJob, 0);
    decls[1].m_associatedCounter = done.m_pCounter;
    JobArray* pJobArray = BeginJobArray(2, Priority{3});
    EXPECT_EQ(AddJobs(pJobArray, decls, 2), 2u);
    CommitJobArray(pJobArray);
    WaitForCounterAndFree(done, 0);
    EXPECT_EQ(s_jobsRun.load(), 1u);
    FreeCounter(dependency);

    const CounterHandle second = OX_ALLOCATE_COUNTER(0, kWaitForZeroOnly);
    JobDecl onlySecond;
    onlySecond.m_dependentCounter2 = second.m_pCounter;
    EXPECT_DEATH(
        {
            JobArray* pRejecting = BeginJobArray(1, Priority{3});
            AddJobs(pRejecting, &onlySecond, 1);
        },
        "pJobDecls\\[i\\].m_pStartFunc \\|\\| pJobDecls\\[i\\].m_associatedCounter \\|\\| "
        "pJobDecls\\[i\\].m_dependentCounter");
    FreeCounter(second);
}

TEST(JobArrays, MisuseOfAddJobsIsRejected)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    JobDecl decls[2] = {MakeJob(CountingJob, 0), MakeJob(CountingJob, 1)};
    EXPECT_DEATH(AddJobs(nullptr, decls, 1), "Assertion failed: pJobArray != nullptr");
    EXPECT_DEATH(
        {
            JobArray* pJobArray = BeginJobArray(1, Priority{3});
            alignas(64) U8 bytes[sizeof(JobDecl) * 2];
            AddJobs(pJobArray, reinterpret_cast<JobDecl*>(bytes + 8), 1);
        },
        "IsPointerAligned\\(pJobDecls, kAlign64\\)");
}

TEST(JobArrays, CommittingAnEmptyArrayReturnsItToThePool)
{
    InitParams params = SmallParams(1);
    params.m_numJobArrays = 2;
    JobSystemHost host(params);
    host.Start();
    EXPECT_EQ(JobArrayPoolLine(), "   Job Array:    0 / 2");
    for (int round = 0; round < 3; ++round)
    {
        JobArray* pFirst = BeginJobArray(4, Priority{3});
        JobArray* pSecond = BeginJobArray(4, Priority{6});
        ASSERT_NE(pFirst, nullptr);
        ASSERT_NE(pSecond, nullptr);
        EXPECT_EQ(JobArrayPoolLine(), "   Job Array:    2 / 2");
        CommitJobArray(pFirst);
        CommitJobArray(pSecond);
        EXPECT_EQ(JobArrayPoolLine(), "   Job Array:    0 / 2");
    }
    // Nothing was registered: a walk over the queued declarations finds none.
    U64 visited = 0;
    EXPECT_TRUE(ForEachJobDeclInEachJobArray(
        [](const JobDecl*, void* pContext)
        {
            ++*static_cast<U64*>(pContext);
            return true;
        },
        &visited));
    EXPECT_EQ(visited, 0u);
}

TEST(JobArrays, ExhaustedPoolMakesBeginJobArrayReturnNull)
{
    InitParams params = SmallParams(1);
    params.m_numJobArrays = 3;
    JobSystemHost host(params);
    host.Start();
    JobArray* arrays[3];
    for (JobArray*& pJobArray : arrays)
    {
        pJobArray = BeginJobArray(1, Priority{3});
        ASSERT_NE(pJobArray, nullptr);
    }
    EXPECT_EQ(BeginJobArray(1, Priority{3}), nullptr);
    EXPECT_EQ(JobArrayPoolLine(), "   Job Array:    3 / 3");
    // RunJob has no array to add its job to.
    EXPECT_DEATH(RunJob(CountingJob, 0, 0, Priority{3}), "Assertion failed: pJobArray != nullptr");

    CommitJobArray(arrays[1]);
    JobArray* pAgain = BeginJobArray(1, Priority{3});
    EXPECT_EQ(pAgain, arrays[1]);
    CommitJobArray(pAgain);
    CommitJobArray(arrays[0]);
    CommitJobArray(arrays[2]);
}

// --- Affinity ---------------------------------------------------------------------------------

// With 2 regular workers and 1 emergency worker the regular mask is 0x3 and the emergency
// mask 0x4; priority 0 is time-critical.
struct AffinityCase
{
    const char* m_name;
    U64 m_maxJobCount;
    I8 m_priority;
    U64 m_affinityMask;
    const char* m_expected;
};

const AffinityCase kBadAffinities[] = {
    {"RegularWorkersForTimeCritical", 1, 0, 0x3,
     "Assertion failed: affinityMask & workerAfinityMask\\s+in .*\\s+"
     "Invalid affinity mask will not allow this JobArray to ever execute! "
     "0x00000003 requested vs 0x00000004 available \\(Time-critical\\)"},
    {"EmergencyWorkerForRegular", 1, 1, 0x4,
     "Invalid affinity mask will not allow this JobArray to ever execute! 0x00000004 requested vs 0x00000003 "
     "available \\(Regular\\)"},
    {"NoWorkerAtAll", 1, 8, 0x10, "0x00000010 requested vs 0x00000003 available \\(Regular\\)"},
    {"EmptyMask", 1, 3, 0, "Assertion failed: affinityMask\\s+in "},
    {"NoJobs", 0, 3, ~0ull, "Assertion failed: maxJobCount > 0"},
};

class JobArraysBadBegin : public testing::TestWithParam<AffinityCase>
{
};

TEST_P(JobArraysBadBegin, IsRejected)
{
    JobSystemHost host(SmallParams(2, 1));
    host.Start();
    const AffinityCase& badCase = GetParam();
    EXPECT_DEATH(BeginJobArray(badCase.m_maxJobCount, Priority{badCase.m_priority}, badCase.m_affinityMask),
                 badCase.m_expected);
}

INSTANTIATE_TEST_SUITE_P(All, JobArraysBadBegin, testing::ValuesIn(kBadAffinities),
                         [](const testing::TestParamInfo<AffinityCase>& info) { return info.param.m_name; });

std::atomic<U64> s_workerSeen{~0ull};

void RecordWorkerJob(U64)
{
    s_workerSeen.store(GetCurrentWorkerThreadIndex());
}

TEST(JobArrays, AMaskThatMeetsTheServingWorkersIsAccepted)
{
    JobSystemHost host(SmallParams(2, 1));
    host.Start();
    struct
    {
        I8 m_priority;
        U64 m_affinityMask;
        U64 m_expectedWorker;
    } const cases[] = {{0, 0x4, 2}, {0, ~0ull, 2}, {1, 0x2, 1}, {8, 0x6, 1}};
    for (const auto& accepted : cases)
    {
        s_workerSeen = ~0ull;
        // An emergency worker takes time-critical work only; with the mask all ones the
        // job may also go to a regular worker, which serves every priority here.
        JobDecl decl = MakeJob(RecordWorkerJob, 0);
        RunAndWait(&decl, 1, Priority{accepted.m_priority}, accepted.m_affinityMask);
        if (accepted.m_affinityMask != ~0ull)
            EXPECT_EQ(s_workerSeen.load(), accepted.m_expectedWorker)
                << static_cast<int>(accepted.m_priority);
        else
            EXPECT_LT(s_workerSeen.load(), 3u);
    }
}

// --- Category inheritance ------------------------------------------------------------------------

struct CategoryCase
{
    const char* m_name;
    U64 m_parentFlags;
    U64 m_childFlags;
    U64 m_expectedChildFlags;
};

const CategoryCase kCategories[] = {
    {"RenderParentPlainChild", kRenderJob, 0, kRenderJob},
    {"RenderParentGameChild", kRenderJob, kGameJob, kGameJob},
    {"GameParentRenderChild", kGameJob, kRenderJob, kRenderJob},
    {"GameParentPlainChild", kGameJob, 0, kGameJob},
    {"BothParentHighlightChild", kGameJob | kRenderJob, kHighlightJob, kHighlightJob | kGameJob | kRenderJob},
    {"RenderParentLargeStackChild", kRenderJob, kLargeStack, kLargeStack | kRenderJob},
    {"UncategorisedParent", kHighlightJob | kLockToStartingWorker, 0, 0},
};

std::atomic<U64> s_childActiveFlags{~0ull};
std::atomic<U64> s_callerDeclFlags{~0ull};
std::atomic<bool> s_childHadDecl{false};

void ChildRecordsItsFlags(U64)
{
    JobDecl active;
    s_childHadDecl.store(GetActiveJobDecl(&active));
    s_childActiveFlags.store(active.m_flags);
}

void ParentSubmitsChild(U64 caseIndex)
{
    JobDecl child = MakeJob(ChildRecordsItsFlags, 0, kCategories[caseIndex].m_childFlags);
    CounterHandle counter;
    RunJobs(&child, 1, &counter, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    // The caller's own declaration received the inherited category too.
    s_callerDeclFlags.store(child.m_flags);
    WaitForCounterAndFree(counter, 0);
}

class JobArraysCategory : public testing::TestWithParam<U64>
{
};

TEST_P(JobArraysCategory, ChildInheritsTheParentsCategoryUnlessItHasOne)
{
    JobSystemHost host(SmallParams(2));
    host.Start();
    const CategoryCase& category = kCategories[GetParam()];
    s_childActiveFlags = ~0ull;
    s_callerDeclFlags = ~0ull;
    s_childHadDecl = false;
    RunJobAndWait(ParentSubmitsChild, GetParam(), category.m_parentFlags, OX_JOB_SOURCE_LOCATION);
    EXPECT_TRUE(s_childHadDecl.load());
    EXPECT_EQ(s_childActiveFlags.load(), category.m_expectedChildFlags) << category.m_name;
    EXPECT_EQ(s_callerDeclFlags.load(), category.m_expectedChildFlags) << category.m_name;
}

INSTANTIATE_TEST_SUITE_P(All, JobArraysCategory, testing::Range<U64>(0, std::size(kCategories)),
                         [](const testing::TestParamInfo<U64>& info)
                         { return kCategories[info.param].m_name; });

TEST(JobArrays, SubmissionsFromAPlainThreadInheritNothing)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_childActiveFlags = ~0ull;
    RunJobAndWait(ChildRecordsItsFlags, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_EQ(s_childActiveFlags.load(), 0u);
    JobDecl active;
    EXPECT_FALSE(GetActiveJobDecl(&active));
}

// --- Job descriptors ---------------------------------------------------------------------------------

std::atomic<U64> s_describedRuns{0};

void DescribedJobA(U64)
{
    s_describedRuns.fetch_add(1);
}
OX_JOB_DESCRIPTOR(DescribedJobA);

void DescribedJobB(U64)
{
    s_describedRuns.fetch_add(10);
}
OX_JOB_DESCRIPTOR(DescribedJobB);

void UndescribedJob(U64)
{
    s_describedRuns.fetch_add(100);
}

TEST(JobArrays, JobDescriptorsNameTheirEntryFunctions)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    struct
    {
        JobEntryFunc m_pStartFunc;
        const char* m_name;
    } const named[] = {{DescribedJobA, "DescribedJobA"}, {DescribedJobB, "DescribedJobB"}};
    for (const auto& job : named)
    {
        const JobDecl decl = MakeJob(job.m_pStartFunc, 0);
        EXPECT_STREQ(GetJobName(&decl), job.m_name);
        EXPECT_STREQ(GetJobName(job.m_pStartFunc), job.m_name);
        const U32 key = GetJobDescriptorKey(job.m_pStartFunc);
        EXPECT_EQ(key, static_cast<U32>(reinterpret_cast<UPtr>(job.m_pStartFunc)));
        const JobDescriptor* pDescriptor = LookUpJobDescriptor(key);
        ASSERT_NE(pDescriptor, nullptr) << job.m_name;
        EXPECT_STREQ(pDescriptor->m_name, job.m_name);
        EXPECT_EQ(pDescriptor->m_key, key);
    }

    const JobDecl undescribed = MakeJob(UndescribedJob, 0);
    EXPECT_STREQ(GetJobName(&undescribed), "<<<BARRIER>>>");
    EXPECT_EQ(LookUpJobDescriptor(GetJobDescriptorKey(UndescribedJob)), nullptr);
    const JobDecl barrier;
    EXPECT_STREQ(GetJobName(&barrier), "<<<BARRIER>>>");

    // The table lives as long as the job system.
    host.Stop();
    EXPECT_EQ(LookUpJobDescriptor(GetJobDescriptorKey(DescribedJobA)), nullptr);
}

// --- Walking the queued declarations -------------------------------------------------------------------

struct VisitLog
{
    std::vector<U64> m_startArgs;
    U64 m_stopAfter = ~0ull;
};

bool LogVisit(const JobDecl* pJobDecl, void* pContext)
{
    VisitLog& log = *static_cast<VisitLog*>(pContext);
    log.m_startArgs.push_back(pJobDecl->m_startArg);
    return log.m_startArgs.size() < log.m_stopAfter;
}

TEST(JobArrays, ForEachJobDeclVisitsQueuedDeclarationsByPriorityThenRegistration)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    s_jobsRun = 0;
    s_blockerStarted = false;
    s_blockerRelease = false;
    // The only worker is held by a more urgent job, so everything committed after it
    // stays queued until the gate opens.
    const CounterHandle blockerDone = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    JobDecl blocker = MakeJob(BlockerJob, 0);
    blocker.m_associatedCounter = blockerDone.m_pCounter;
    JobArray* pBlockerArray = BeginJobArray(1, Priority{0});
    AddJobs(pBlockerArray, &blocker, 1);
    CommitJobArray(pBlockerArray);
    jobtest::SpinUntil(s_blockerStarted);

    const CounterHandle done = OX_ALLOCATE_COUNTER(6, kWaitForZeroOnly);
    auto commit = [&done](Priority priority, std::initializer_list<U64> startArgs)
    {
        std::vector<JobDecl> decls;
        for (U64 startArg : startArgs)
        {
            decls.push_back(MakeJob(CountingJob, startArg));
            decls.back().m_associatedCounter = done.m_pCounter;
        }
        JobArray* pJobArray = BeginJobArray(decls.size(), priority);
        ASSERT_EQ(AddJobs(pJobArray, decls.data(), decls.size()), decls.size());
        CommitJobArray(pJobArray);
    };
    commit(Priority{6}, {60, 61});
    commit(Priority{2}, {20, 21, 22});
    commit(Priority{6}, {65});

    VisitLog all;
    EXPECT_TRUE(ForEachJobDeclInEachJobArray(LogVisit, &all));
    EXPECT_EQ(all.m_startArgs, (std::vector<U64>{20, 21, 22, 60, 61, 65}));

    VisitLog firstTwo;
    firstTwo.m_stopAfter = 2;
    EXPECT_TRUE(ForEachJobDeclInEachJobArray(LogVisit, &firstTwo));
    EXPECT_EQ(firstTwo.m_startArgs, (std::vector<U64>{20, 21}));

    s_blockerRelease = true;
    WaitForCounterAndFree(blockerDone, 0);
    WaitForCounterAndFree(done, 0);
    EXPECT_EQ(s_jobsRun.load(), 6u);
    VisitLog afterwards;
    ForEachJobDeclInEachJobArray(LogVisit, &afterwards);
    EXPECT_TRUE(afterwards.m_startArgs.empty());
}
} // namespace
