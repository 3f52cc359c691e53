// Start-up, shut-down and the worker queries of the job system, and the checks of its
// parameters.
#include "corelib/job/job-system.h"
#include "corelib/system/platform/thread.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::SmallParams;

namespace
{
std::atomic<U64> s_ranOnWorker{0};
std::atomic<I64> s_seenWorkerIndex{-1};

void RecordWorkerJob(U64)
{
    s_seenWorkerIndex.store(static_cast<I64>(GetCurrentWorkerThreadIndex()));
    s_ranOnWorker.store(IsWorkerThread() ? 1 : 2);
}

TEST(JobSystemInit, RepeatedInitializeAndShutdownOnOneBuffer)
{
    JobSystemHost host(SmallParams(2));
    for (int round = 0; round < 3; ++round)
    {
        host.Start();
        EXPECT_TRUE(IsInitialized());
        EXPECT_FALSE(IsWorkerThread());
        EXPECT_EQ(GetCurrentWorkerThreadIndex(), kMaxWorkerThreads);
        EXPECT_EQ(GetNumWorkerThreads(), 2u);
        EXPECT_EQ(GetTotalNumWorkerThreads(), 2u);
        s_ranOnWorker = 0;
        RunJobAndWait(RecordWorkerJob, 0, 0, OX_JOB_SOURCE_LOCATION);
        EXPECT_EQ(s_ranOnWorker.load(), 1u);
        EXPECT_LT(s_seenWorkerIndex.load(), 2);
        host.Stop();
        EXPECT_FALSE(IsInitialized());
    }
}

TEST(JobSystemInit, WorkerThreadsAreNamedAndQueryable)
{
    JobSystemHost host(SmallParams(3, 1));
    host.Start();
    EXPECT_EQ(GetNumWorkerThreads(), 3u);
    EXPECT_EQ(GetTotalNumWorkerThreads(), 4u);
    EXPECT_TRUE(IsTimeCriticalPriority(Priority{0}));
    EXPECT_FALSE(IsTimeCriticalPriority(Priority{1}));

    oxsys::Thread threads[kMaxWorkerThreads];
    EXPECT_EQ(GetWorkerThreads(threads, 2), 2u);
    EXPECT_EQ(GetWorkerThreads(threads, kMaxWorkerThreads), 4u);
    EXPECT_EQ(GetWorkerThreads(nullptr, 4), 0u);
    for (U64 i = 0; i < 4; ++i)
        EXPECT_EQ(GetWorkerThreadIndexFromThreadId(threads[i].GetThreadId()), static_cast<I64>(i));
    EXPECT_EQ(GetWorkerThreadIndexFromThreadId(oxsys::CurrentThreadId()), -1);
    EXPECT_EQ(GetWorkerThreadActiveJobId(kMaxWorkerThreads), ~0ull);

    JobDecl decl;
    EXPECT_FALSE(GetActiveJobDecl(&decl));
    EXPECT_EQ(GetActiveJobAffinityMask(), 0u);
    EXPECT_EQ(GetActiveJobPriority(), Priority::kInvalid);
    EXPECT_TRUE(IsEmergencyWorkerThread(3));
    EXPECT_FALSE(IsEmergencyWorkerThread(2));
    EXPECT_DEATH(IsEmergencyWorkerThread(4), "workerThreadIndex < GetTotalNumWorkerThreads\\(\\)");
}

TEST(JobSystemInit, PrintJobSystemDataShowsPoolUse)
{
    JobSystemHost host(SmallParams(1));
    host.Start();
    CounterHandle counter = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    jobtest::DoutCaptureScope capture(2);
    PrintJobSystemData();
    EXPECT_EQ(capture.Text(), "=========================[ Job System Data]=========================\n"
                              "   Counters:     1 / 256\n"
                              "   Job Array:    0 / 256\n"
                              "   Wait Context: 0 / 64\n"
                              "====================================================================\n");
    FreeCounter(counter);
}

// Each case breaks one parameter and names the condition text it must fail.
struct BadParamCase
{
    const char* m_name;
    void (*m_break)(InitParams& params);
    const char* m_condition;
};

const BadParamCase kBadParams[] = {
    {"MisalignedBuffer", [](InitParams& p) { p.m_pMemoryBuffer = static_cast<U8*>(p.m_pMemoryBuffer) + 64; },
     "IsPointerAligned\\(pParams->m_pMemoryBuffer, kAlign128\\)"},
    {"OddSize", [](InitParams& p) { p.m_memoryBufferSize -= 1; },
     "IsSizeAligned\\(pParams->m_memoryBufferSize, kAlign128\\)"},
    {"TooManyCounters", [](InitParams& p) { p.m_numCounters = kMaxSupportedCounters + 1; },
     "pParams->m_numCounters <= kMaxSupportedCounters"},
    {"TooManyArrays", [](InitParams& p) { p.m_numJobArrays = kMaxSupportedJobArrays + 1; },
     "pParams->m_numJobArrays <= kMaxSupportedJobArrays"},
    {"NoWorkers", [](InitParams& p) { p.m_numWorkerThreads = 0; }, "pParams->m_numWorkerThreads > 0"},
    {"TooManyWorkers", [](InitParams& p) { p.m_numWorkerThreads = 25; },
     "pParams->m_numWorkerThreads <= kMaxWorkerThreads"},
    {"TooFewFibers",
     [](InitParams& p) {
         p.m_maxSmallJobFibers = 1;
         p.m_maxLargeJobFibers = 0;
     },
     "\\(pParams->m_maxSmallJobFibers \\+ pParams->m_maxLargeJobFibers\\) >= pParams->m_numWorkerThreads"},
    {"TooManyLarge", [](InitParams& p) { p.m_maxLargeJobFibers = kMaxLargeJobFibers + 1; },
     "pParams->m_maxLargeJobFibers <= kMaxLargeJobFibers"},
    {"TooManySmall", [](InitParams& p) { p.m_maxSmallJobFibers = kMaxSmallJobFibers + 1; },
     "pParams->m_maxSmallJobFibers <= kMaxSmallJobFibers"},
    {"SmallStack", [](InitParams& p) { p.m_smallJobFiberStackSpace = 16384 * 2 + 1; },
     "IsSizeAligned\\(pParams->m_smallJobFiberStackSpace, kAlign16k\\)"},
    {"LargeStack", [](InitParams& p) { p.m_largeJobFiberStackSpace = 16384 * 4 + 1; },
     "IsSizeAligned\\(pParams->m_largeJobFiberStackSpace, kAlign16k\\)"},
    {"TotalWorkersOver24",
     [](InitParams& p) {
         p.m_numWorkerThreads = 24;
         p.m_numEmergencyWorkerThreads = 1;
     },
     "g_pJobSysData->m_numWorkerThreads <= kMaxWorkerThreads"},
    {"BufferTooSmall", [](InitParams& p) { p.m_memoryBufferSize = 128 * 1024; },
     "The job system needs more than"},
};

class JobSystemBadParams : public testing::TestWithParam<BadParamCase>
{
};

TEST_P(JobSystemBadParams, IsRejectedWithItsCondition)
{
    JobSystemHost host(SmallParams(2));
    InitParams params = host.m_params;
    GetParam().m_break(params);
    EXPECT_DEATH(Initialize(&params), GetParam().m_condition);
}

INSTANTIATE_TEST_SUITE_P(All, JobSystemBadParams, testing::ValuesIn(kBadParams),
                         [](const testing::TestParamInfo<BadParamCase>& info) { return info.param.m_name; });

TEST(JobSystemInit, TwentyThreePlusOneWorkersAndEqualFiberCountAreAccepted)
{
    InitParams params = SmallParams(23, 1);
    params.m_maxSmallJobFibers = 24;
    params.m_maxLargeJobFibers = 0;
    JobSystemHost host(params);
    host.Start();
    EXPECT_EQ(GetTotalNumWorkerThreads(), 24u);
    s_ranOnWorker = 0;
    RunJobAndWait(RecordWorkerJob, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_EQ(s_ranOnWorker.load(), 1u);
}
} // namespace
