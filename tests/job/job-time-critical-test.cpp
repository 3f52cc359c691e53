// Time-critical work: which priorities are time-critical, the split of priorities between
// regular and emergency workers and switching it off and on, time-critical work periods,
// and power save.
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
constexpr I8 kNumPriorities = static_cast<I8>(Priority::kNumPriorities);

// --- Which priorities are time-critical ------------------------------------------------------------

struct TimeCriticalCase
{
    const char* m_name;
    U64 m_numEmergencyWorkers;
    I8 m_numTimeCriticalPriorities;
    U32 m_expectedMask; // bit p: priority p is time-critical
};

const InitParams kDefaults;

const TimeCriticalCase kTimeCriticalCases[] = {
    {"Defaults", kDefaults.m_numEmergencyWorkerThreads,
     static_cast<I8>(kDefaults.m_numTimeCriticalPriorities), 0x001},
    {"NoEmergencyWorkers", 0, 1, 0x000},
    {"NoEmergencyWorkersAllPriorities", 0, kNumPriorities, 0x000},
    {"ThreeTimeCriticalPriorities", 1, 3, 0x007},
    {"NoTimeCriticalPriority", 1, 0, 0x000},
    {"AllPriorities", 1, kNumPriorities, 0x1FF},
};

class JobTimeCriticalPriorities : public testing::TestWithParam<TimeCriticalCase>
{
};

TEST_P(JobTimeCriticalPriorities, AreThoseBelowTheCountWhenEmergencyWorkersExist)
{
    const TimeCriticalCase& tcCase = GetParam();
    InitParams params = SmallParams(1, tcCase.m_numEmergencyWorkers);
    params.m_numTimeCriticalPriorities = Priority{tcCase.m_numTimeCriticalPriorities};
    JobSystemHost host(params);
    host.Start();
    EXPECT_TRUE(IsTimeCriticalWorkEnabled());
    for (I8 p = 0; p < kNumPriorities; ++p)
        EXPECT_EQ(IsTimeCriticalPriority(Priority{p}), ((tcCase.m_expectedMask >> p) & 1) != 0)
            << "priority " << int(p);
}

INSTANTIATE_TEST_SUITE_P(All, JobTimeCriticalPriorities, testing::ValuesIn(kTimeCriticalCases),
                         [](const testing::TestParamInfo<TimeCriticalCase>& info)
                         { return info.param.m_name; });

TEST(JobTimeCritical, InvalidPrioritiesAreRejected)
{
    JobSystemHost host(SmallParams(1, 1));
    host.Start();
    for (I8 p : {static_cast<I8>(-1), kNumPriorities})
        EXPECT_DEATH(IsTimeCriticalPriority(Priority{p}),
                     "priority > Priority::kInvalid && priority < Priority::kNumPriorities")
            << int(p);
}

// --- Where jobs run ----------------------------------------------------------------------------------

std::atomic<U64> s_onRegular{0};
std::atomic<U64> s_onEmergency{0};
std::atomic<U64> s_lastWorker{~0ull};

void RecordWorkerKind(U64)
{
    const U64 workerIndex = GetCurrentWorkerThreadIndex();
    s_lastWorker.store(workerIndex);
    const bool emergency = workerIndex >= GetNumWorkerThreads();
    if (emergency != IsEmergencyWorkerThread(workerIndex))
        s_lastWorker.store(~0ull - 1); // the two answers disagree: fails every check below
    (emergency ? s_onEmergency : s_onRegular).fetch_add(1);
    // A little work, so that an idle worker serving this priority would get its share.
    for (int i = 0; i < 20; ++i)
        std::this_thread::yield();
}

void ResetWorkerKinds()
{
    s_onRegular = 0;
    s_onEmergency = 0;
    s_lastWorker = ~0ull;
}

// Runs jobs at the priority on any worker and waits for them.
void RunRecordingJobs(Priority priority, U64 numJobs)
{
    std::vector<JobDecl> decls(numJobs, MakeJob(RecordWorkerKind, 0));
    CounterHandle counter;
    RunJobs(decls.data(), numJobs, &counter, priority, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(counter, 0);
}

// Holds the one regular worker of the tests below with a job of a regular priority, until
// released.
std::atomic<bool> s_holdStarted{false};
std::atomic<bool> s_holdRelease{false};

void HoldWorkerJob(U64)
{
    s_holdStarted.store(true, std::memory_order_release);
    while (!s_holdRelease.load(std::memory_order_acquire))
        std::this_thread::yield();
}

CounterHandle HoldRegularWorker()
{
    s_holdStarted = false;
    s_holdRelease = false;
    JobDecl decl = MakeJob(HoldWorkerJob, 0);
    CounterHandle counter;
    RunJobs(&decl, 1, &counter, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    jobtest::SpinUntil(s_holdStarted);
    return counter;
}

void ReleaseRegularWorker(CounterHandle hold)
{
    s_holdRelease = true;
    WaitForCounterAndFree(hold, 0);
}

// Emergency workers take a job as soon as it is ready, so that one serving the wrong
// priorities would compete for every job.
InitParams ParamsWithEmergencyWorker(Priority regularWorkerMinPriority)
{
    InitParams params = SmallParams(1, 1);
    params.m_regularWorkerMinPriority = regularWorkerMinPriority;
    params.m_emergencyWorkerDelay = 0;
    return params;
}

class JobTimeCriticalSplit : public testing::TestWithParam<I8>
{
};

TEST_P(JobTimeCriticalSplit, RegularPrioritiesNeverRunOnEmergencyWorkers)
{
    JobSystemHost host(ParamsWithEmergencyWorker(Priority{GetParam()}));
    host.Start();
    for (I8 p = 1; p < kNumPriorities; ++p)
    {
        ResetWorkerKinds();
        RunRecordingJobs(Priority{p}, 8);
        EXPECT_EQ(s_onEmergency.load(), 0u) << "priority " << int(p);
        EXPECT_EQ(s_onRegular.load(), 8u) << "priority " << int(p);
        EXPECT_LT(s_lastWorker.load(), GetNumWorkerThreads());
    }
}

INSTANTIATE_TEST_SUITE_P(RegularWorkerMinPriority, JobTimeCriticalSplit, testing::Values(I8{0}, I8{1}));

TEST(JobTimeCritical, TimeCriticalJobsRunOnEmergencyWorkers)
{
    // Regular workers serve priorities 1 to 8 only.
    JobSystemHost host(ParamsWithEmergencyWorker(Priority{1}));
    host.Start();
    ResetWorkerKinds();
    RunRecordingJobs(Priority{0}, 8);
    EXPECT_EQ(s_onEmergency.load(), 8u);
    EXPECT_EQ(s_onRegular.load(), 0u);
    EXPECT_EQ(s_lastWorker.load(), GetNumWorkerThreads());
}

TEST(JobTimeCritical, WithRegularWorkersBusyAnEmergencyWorkerTakesTimeCriticalWork)
{
    // The default delay: the job waits until it has been ready for 1 ms.
    JobSystemHost host(SmallParams(1, 1));
    host.Start();
    const CounterHandle hold = HoldRegularWorker();
    ResetWorkerKinds();
    RunRecordingJobs(Priority{0}, 3);
    EXPECT_EQ(s_onEmergency.load(), 3u);
    ReleaseRegularWorker(hold);
}

TEST(JobTimeCritical, DisablingHandsAllWorkToRegularWorkersAndEnablingRestoresTheSplit)
{
    JobSystemHost host(ParamsWithEmergencyWorker(Priority{0}));
    host.Start();
    ASSERT_TRUE(IsTimeCriticalPriority(Priority{0}));

    SetTimeCriticalWorkEnabled(false);
    EXPECT_FALSE(IsTimeCriticalWorkEnabled());
    for (I8 p = 0; p < kNumPriorities; ++p)
        EXPECT_FALSE(IsTimeCriticalPriority(Priority{p})) << int(p);
    // Priority 0 is regular now: a mask with the emergency worker only is rejected.
    EXPECT_DEATH(BeginJobArray(1, Priority{0}, 0x2),
                 "0x00000002 requested vs 0x00000001 available \\(Regular\\)");

    ResetWorkerKinds();
    RunRecordingJobs(Priority{0}, 16);
    EXPECT_EQ(s_onEmergency.load(), 0u);
    EXPECT_EQ(s_onRegular.load(), 16u);

    // With the regular worker held, a priority-0 job finds nobody to run it...
    const CounterHandle hold = HoldRegularWorker();
    ResetWorkerKinds();
    JobDecl decl = MakeJob(RecordWorkerKind, 0);
    CounterHandle queued;
    RunJobs(&decl, 1, &queued, Priority{0}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    SetTimeCriticalWorkEnabled(false); // unchanged: nothing happens
    EXPECT_EQ(GetCounterValue(queued), 1);

    // ...until the split is back and the emergency worker serves priority 0 again.
    SetTimeCriticalWorkEnabled(true);
    EXPECT_TRUE(IsTimeCriticalWorkEnabled());
    EXPECT_TRUE(IsTimeCriticalPriority(Priority{0}));
    EXPECT_FALSE(IsTimeCriticalPriority(Priority{1}));
    WaitForCounterAndFree(queued, 0);
    EXPECT_EQ(s_onEmergency.load(), 1u);
    EXPECT_EQ(s_lastWorker.load(), 1u);
    ReleaseRegularWorker(hold);
}

TEST(JobTimeCritical, WithoutEmergencyWorkersEnablingChangesNothing)
{
    JobSystemHost host(SmallParams(2));
    host.Start();
    SetTimeCriticalWorkEnabled(false);
    SetTimeCriticalWorkEnabled(true);
    EXPECT_TRUE(IsTimeCriticalWorkEnabled());
    EXPECT_FALSE(IsTimeCriticalPriority(Priority{0}));
    ResetWorkerKinds();
    RunRecordingJobs(Priority{0}, 4);
    RunRecordingJobs(Priority{8}, 4);
    EXPECT_EQ(s_onRegular.load(), 8u);
}

// --- Time-critical work periods ------------------------------------------------------------------------

TEST(JobTimeCritical, WorkPeriodsNestAndOverlapBetweenThreads)
{
    JobSystemHost host(SmallParams(1, 1));
    host.Start();
    EXPECT_FALSE(IsInTimeCriticalWorkPeriod());
    BeginTimeCriticalWorkPeriod();
    EXPECT_TRUE(IsInTimeCriticalWorkPeriod());
    BeginTimeCriticalWorkPeriod();
    EXPECT_TRUE(IsInTimeCriticalWorkPeriod());

    // While a period is open the emergency worker spins instead of waiting; work still
    // gets done at every priority.
    ResetWorkerKinds();
    RunRecordingJobs(Priority{0}, 4);
    RunRecordingJobs(Priority{5}, 4);
    EXPECT_EQ(s_onRegular.load() + s_onEmergency.load(), 8u);

    EndTimeCriticalWorkPeriod();
    EXPECT_TRUE(IsInTimeCriticalWorkPeriod());

    // Another thread opens and closes its own period inside this one.
    std::atomic<bool> sawPeriodInside{false};
    std::thread other(
        [&sawPeriodInside]
        {
            BeginTimeCriticalWorkPeriod();
            sawPeriodInside = IsInTimeCriticalWorkPeriod();
            EndTimeCriticalWorkPeriod();
        });
    other.join();
    EXPECT_TRUE(sawPeriodInside.load());
    EXPECT_TRUE(IsInTimeCriticalWorkPeriod());

    EndTimeCriticalWorkPeriod();
    EXPECT_FALSE(IsInTimeCriticalWorkPeriod());

    // After the period the emergency worker waits for work again and still takes it.
    ResetWorkerKinds();
    RunRecordingJobs(Priority{0}, 4);
    EXPECT_EQ(s_onRegular.load() + s_onEmergency.load(), 4u);
}

// --- Power save ------------------------------------------------------------------------------------------

class JobPowerSave : public jobtest::JobSystemTest
{
};

TEST_P(JobPowerSave, TogglingKeepsJobsCompleting)
{
    // The fixture starts with power save on.
    EXPECT_TRUE(IsPowerSaveEnabled());
    ResetWorkerKinds();
    for (int round = 0; round < 20; ++round)
    {
        const bool enable = round % 2 != 0;
        SetPowerSaveEnabled(enable);
        SetPowerSaveEnabled(enable); // unchanged: nothing happens
        EXPECT_EQ(IsPowerSaveEnabled(), enable);
        RunRecordingJobs(Priority{3}, 4);
    }
    EXPECT_EQ(s_onRegular.load(), 80u);
}

TEST_P(JobPowerSave, TogglingFromAnotherThreadWhileJobsRun)
{
    ResetWorkerKinds();
    std::atomic<bool> stop{false};
    std::thread toggler(
        [&stop]
        {
            for (bool enable = false; !stop.load(); enable = !enable)
            {
                SetPowerSaveEnabled(enable);
                std::this_thread::yield();
            }
        });
    for (int batch = 0; batch < 12; ++batch)
        RunRecordingJobs(Priority{static_cast<I8>(batch % 2 == 0 ? 2 : 7)}, 3);
    stop = true;
    toggler.join();
    EXPECT_EQ(s_onRegular.load(), 36u);

    // Left on at the end: the workers go back to sleeping between jobs and still take new work.
    SetPowerSaveEnabled(true);
    for (int batch = 0; batch < 5; ++batch)
        RunRecordingJobs(Priority{3}, 2);
    EXPECT_EQ(s_onRegular.load(), 46u);
}

INSTANTIATE_TEST_SUITE_P(Workers, JobPowerSave, testing::Values(1, 2));
} // namespace
