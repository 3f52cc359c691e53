// Misuse of the job system by its host, case by case: each case does one wrong thing,
// before Initialize, on the host thread of a running job system or inside a job, and must
// end in the assertion report that names its condition. Misuse that other suites already
// cover is not repeated here: the parameters of Initialize (job-system-test), BeginJobArray's
// job count and affinity, AddJobs' checks (job-arrays-test), counter call sites, pool
// exhaustion and restricted waits (job-counters-test, job-waiting-test), waiting, fibers and
// wait slots running out (job-waiting-test), job local storage indices and identifiers
// (job-local-storage-test), time-critical priorities and emergency worker indices
// (job-time-critical-test, job-system-test).
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-trace.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <new>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// Starts a job system for the misuse that follows. Each case runs in a death test's
// process of its own, which ends with it: the host is never stopped.
JobSystemHost& StartHost(const InitParams& params = SmallParams(1))
{
    JobSystemHost* pHost = new JobSystemHost(params);
    pHost->Start();
    return *pHost;
}

// Runs the job on a started job system and waits for it, so that the process ends in the
// job's assertion report.
void RunJobOnHost(JobEntryFunc pStartFunc, U64 flags = 0, const InitParams& params = SmallParams(1))
{
    StartHost(params);
    RunJobAndWait(pStartFunc, 0, flags, OX_JOB_SOURCE_LOCATION);
}

// A counter that never reaches 0: what waits for it waits until the process ends.
CounterHandle NeverZero()
{
    return OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
}

// The parameters of a started job system, broken by the case and given to Initialize.
void InitializeWith(void (*breakParams)(InitParams& params))
{
    JobSystemHost* pHost = new JobSystemHost(SmallParams(1));
    InitParams params = pHost->m_params;
    breakParams(params);
    Initialize(&params);
}

void MisuseNoOpJob(U64) {}
OX_JOB_DESCRIPTOR(MisuseNoOpJob);

void MisuseYieldJob(U64)
{
    Yield();
}
OX_JOB_DESCRIPTOR(MisuseYieldJob);

void UnlockFromItsOwnWorkerJob(U64)
{
    UnlockActiveJobFromCore(~(1ull << GetCurrentWorkerThreadIndex()));
}

void ShutdownFromAJob(U64)
{
    Shutdown();
}

void TryGetJobLocalStorageWithoutOutputJob(U64)
{
    TryGetJobLocalStorage(3, nullptr);
}

void GetJobLocalStoragePtrWithoutOutputJob(U64)
{
    GetJobLocalStoragePtr(3, nullptr);
}

// Priorities 1 to 4 are served by no worker here: regular workers serve 5 to 8 and the
// emergency worker the time-critical priority 0. Arrays registered at priority 2 stay.
InitParams ParamsWithUnservedPriorities()
{
    InitParams params = SmallParams(1, 1);
    params.m_regularWorkerMinPriority = Priority{5};
    params.m_numTimeCriticalPriorities = Priority{1};
    return params;
}

struct MisuseCase
{
    const char* m_name;
    void (*m_misuse)();
    const char* m_expected;
};

const MisuseCase kMisuseCases[] = {
    // --- Before Initialize ------------------------------------------------------------------------
    {"InitializeWithoutParameters", [] { Initialize(nullptr); }, "Assertion failed: pParams\\s"},
    {"ShutdownTwice",
     []
     {
         StartHost().Stop();
         Shutdown();
     },
     "Assertion failed: g_pJobSysData\\s+in .*\\s+The job system is not initialised: Shutdown found no running "
     "job system \\(never started, or shut down already\\)"},

    // --- Start-up ---------------------------------------------------------------------------------------
    {"InitializeTwice",
     []
     {
         JobSystemHost& host = StartHost();
         Initialize(&host.m_params);
     },
     "Assertion failed: g_pJobSysData == nullptr"},
    {"TimeCriticalPrioritiesBeyondTheLast",
     [] { InitializeWith([](InitParams& params) { params.m_numTimeCriticalPriorities = Priority{10}; }); },
     "static_cast<U8>\\(pParams->m_numTimeCriticalPriorities\\) <= "
     "static_cast<U8>\\(Priority::kNumPriorities\\)"},
    {"RegularWorkersFromBeyondTheLastPriority",
     [] { InitializeWith([](InitParams& params) { params.m_regularWorkerMinPriority = Priority{10}; }); },
     "static_cast<U8>\\(pParams->m_regularWorkerMinPriority\\) <= "
     "static_cast<U8>\\(Priority::kNumPriorities\\)"},
    {"MisalignedTraceBuffer",
     []
     {
         InitializeWith(
             [](InitParams& params)
             {
                 params.m_pTraceMemoryBuffer =
                     static_cast<U8*>(::operator new(8192, std::align_val_t(128))) + 64;
                 params.m_traceMemoryBufferSize = 4096;
             });
     },
     "IsPointerAligned\\(pParams->m_pTraceMemoryBuffer, kAlign128\\)"},
    {"ShutdownFromAJob", [] { RunJobOnHost(ShutdownFromAJob); },
     "Shutdown must be called from a thread that is not a job worker"},

    // --- Counters ---------------------------------------------------------------------------------------
    {"AllocateCounterWithoutACounterPool",
     []
     {
         InitParams params = SmallParams(1);
         params.m_numCounters = 0;
         StartHost(params);
         NeverZero();
     },
     "Assertion failed: g_pJobSysData->m_initParams.m_numCounters"},
    {"WaitForCounterWithoutACounter",
     []
     {
         StartHost();
         WaitForCounter(CounterHandle{}, 0);
     },
     "Assertion failed: pCounter\\s"},
    {"FreeCounterTwice",
     []
     {
         StartHost();
         const CounterHandle counter = NeverZero();
         FreeCounter(counter);
         FreeCounter(counter);
     },
     "FreeCounter: the counter .* is not in use \\(freed twice\\?\\)"},
    {"EndTimeCriticalWorkPeriodWithoutBegin", [] { EndTimeCriticalWorkPeriod(); },
     "EndTimeCriticalWorkPeriod without a matching BeginTimeCriticalWorkPeriod"},
    {"WakeUpJobsWaitingOnNoCounter",
     []
     {
         StartHost();
         WakeUpJobsWaitingOnCounter(CounterHandle{}, 0);
     },
     "pCounter\\s"},

    // --- Job arrays -----------------------------------------------------------------------------------
    {"BeginJobArrayWithoutAJobArrayPool",
     []
     {
         InitParams params = SmallParams(1);
         params.m_numJobArrays = 0;
         StartHost(params);
         BeginJobArray(1, Priority{3});
     },
     "Assertion failed: g_pJobSysData->m_initParams.m_numJobArrays"},
    {"BeginJobArrayAtAnInvalidPriority",
     []
     {
         StartHost();
         BeginJobArray(1, Priority{9});
     },
     "Invalid priority 9"},
    {"MoreJobsThanAnArrayCanAddress",
     []
     {
         StartHost();
         BeginJobArray(0x7FFFFFFF / sizeof(JobDecl) + 1, Priority{3});
     },
     "Too many jobs for one job array: 16777216"},
    {"JobDeclarationPoolExhausted",
     []
     {
         // The pool holds about 1 MiB: 8192 declarations, not 16384.
         StartHost();
         BeginJobArray(16384, Priority{3});
     },
     "Assertion failed: pJobDeclBuffer\\s+in .*\\s+The job declaration pool is exhausted: 2097152 bytes asked, "
     ".* bytes free"},
    {"AddJobsToACommittedArray",
     []
     {
         StartHost();
         // Blocked on its dependency, the committed array stays as it is.
         JobArray* pJobArray = BeginJobArray(2, NeverZero(), 0, kCompareEqual, Priority{3});
         alignas(64) JobDecl decl = MakeJob(MisuseNoOpJob, 0);
         AddJobs(pJobArray, &decl, 1);
         CommitJobArray(pJobArray);
         AddJobs(pJobArray, &decl, 1);
     },
     "Assertion failed: pJobArray->m_bOpen"},
    {"CommitWithoutAnArray",
     []
     {
         StartHost();
         CommitJobArray(nullptr);
     },
     "Assertion failed: pJobArray\\s"},
    {"ArrayWaitingForNonZeroOnAZeroOnlyCounter",
     []
     {
         StartHost();
         JobArray* pJobArray = BeginJobArray(1, NeverZero(), 1, kCompareEqual, Priority{3});
         alignas(64) JobDecl decl = MakeJob(MisuseNoOpJob, 0);
         AddJobs(pJobArray, &decl, 1);
         CommitJobArray(pJobArray);
     },
     "JobArray has a dependent counter and a non-zero dep value. However, this counter "
     "\\[.*job-misuse-test.cpp:.*\\] "
     "can only be waited on to become '0' \\(WaitRestriction\\)"},
    {"JobWaitingForNonZeroOnAZeroOnlyCounter",
     []
     {
         StartHost();
         const CounterHandle never = NeverZero();
         alignas(64) JobDecl decl = MakeJob(MisuseNoOpJob, 0);
         decl.m_dependentCounter = never.m_pCounter;
         decl.m_dependentValue = 1;
         RunJobs(&decl, 1, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
         WaitForCounter(never, 0);
     },
     "Job 'MisuseNoOpJob' has a dependent counter and a non-zero dep value. However, this counter "
     "\\[.*job-misuse-test.cpp:.*\\] can only be waited on to become '0' \\(WaitRestriction\\)"},
    {"GetJobCountWithoutAnArray",
     []
     {
         StartHost();
         GetJobCount(nullptr);
     },
     "Assertion failed: pJobArray\\s"},
    {"GetJobArrayCapacityWithoutAnArray",
     []
     {
         StartHost();
         GetJobArrayCapacity(nullptr);
     },
     "Assertion failed: pJobArray\\s"},
    {"RunJobsWithoutJobs",
     []
     {
         StartHost();
         alignas(64) JobDecl decl = MakeJob(MisuseNoOpJob, 0);
         RunJobs(&decl, 0, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
     },
     "Assertion failed: numJobs > 0"},
    {"AddJobsWithoutDeclarations",
     []
     {
         StartHost();
         AddJobs(BeginJobArray(2, Priority{3}), nullptr, 2);
     },
     "Assertion failed: pJobDecls \\|\\| numJobs == 0"},
    {"RunJobsWithoutDeclarations",
     []
     {
         StartHost();
         RunJobs(nullptr, 2, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
     },
     "Assertion failed: pJobDecls\\s"},
    {"ForEachJobDeclWithoutAVisitor",
     []
     {
         StartHost();
         ForEachJobDeclInEachJobArray(nullptr, nullptr);
     },
     "Assertion failed: visitor\\s"},
    {"UnregisterAnArrayThatIsNotRegistered",
     []
     {
         StartHost();
         UnregisterJobArray(BeginJobArray(1, Priority{3}));
     },
     "Assertion failed: jobListFound"},
    {"RegisterAnEmptyArray",
     []
     {
         StartHost();
         RegisterJobArray(BeginJobArray(1, Priority{3}), true);
     },
     "Assertion failed: !pJobArray->m_jobQueue.IsEmpty\\(\\)"},
    {"RegisterOneArrayMoreThanAPriorityHolds",
     []
     {
         StartHost(ParamsWithUnservedPriorities());
         JobArray* pJobArray = BeginJobArray(1, Priority{2});
         alignas(64) JobDecl decl = MakeJob(MisuseNoOpJob, 0);
         AddJobs(pJobArray, &decl, 1);
         for (U64 i = 0; i <= kMaxSupportedJobArrays; ++i)
             RegisterJobArray(pJobArray, true);
     },
     "Assertion failed: \\(pSchedData->m_numRegisteredJobArrays < kMaxSupportedJobArrays\\)"},

    // --- Scheduling locks ----------------------------------------------------------------------------
    {"LockSchedulingDataOfAnInvalidPriority",
     []
     {
         StartHost();
         LockSchedulingData(Priority{9}, "misuse");
     },
     "Invalid priority 9"},
    {"UnlockSchedulingDataOfAnInvalidPriority",
     []
     {
         StartHost();
         UnlockSchedulingData(Priority::kInvalid);
     },
     "Invalid priority -1"},
    {"JanitorOfAnInvalidPriority",
     []
     {
         StartHost();
         SchedulingDataLockJanitor janitor(Priority{9}, "misuse", false);
     },
     "priority > Priority::kInvalid && priority < Priority::kNumPriorities"},
    {"JanitorLockedTwice",
     []
     {
         StartHost();
         SchedulingDataLockJanitor janitor(Priority{3}, "misuse", true);
         janitor.Lock("misuse again");
     },
     "Assertion failed: !m_locked"},

    // --- The active job -----------------------------------------------------------------------------------
    {"GetActiveJobDeclWithoutOutput",
     []
     {
         StartHost();
         GetActiveJobDecl(nullptr);
     },
     "Assertion failed: pJobDecl\\s"},
    {"GetWorkerThreadJobDeclWithoutOutput",
     []
     {
         StartHost();
         GetWorkerThreadJobDecl(0, nullptr);
     },
     "Assertion failed: pJobDecl\\s"},
    {"GetWorkerThreadJobDeclOfWorker24",
     []
     {
         StartHost();
         JobDecl decl;
         GetWorkerThreadJobDecl(kMaxWorkerThreads, &decl);
     },
     "Assertion failed: workerThreadIndex < oxjob::kMaxWorkerThreads"},
    {"UnlockActiveJobFromItsOwnWorker", [] { RunJobOnHost(UnlockFromItsOwnWorkerJob, 0, SmallParams(2)); },
     "Assertion failed: allowedAffinity & \\(1ULL << workerThreadIndex\\)"},
    {"LockActiveJobToCoreOffAWorker",
     []
     {
         StartHost();
         LockActiveJobToCore();
     },
     "Assertion failed: static_cast<U64>\\(workerThreadIndex\\) < kMaxWorkerThreads"},
    {"SetActiveJobFlagsOffAWorker",
     []
     {
         StartHost();
         SetActiveJobFlags(kHighlightJob);
     },
     "Assertion failed: static_cast<U64>\\(workerThreadIndex\\) < kMaxWorkerThreads"},

    // --- Waiting and fibers
    // ---------------------------------------------------------------------------------
    {"YieldOffAWorker",
     []
     {
         StartHost();
         Yield();
     },
     "Assertion failed: static_cast<U64>\\(workerIndex\\) < kMaxWorkerThreads"},
    {"YieldInAJobThatMayNotSleep", [] { RunJobOnHost(MisuseYieldJob, kDisallowSleep); },
     "This job \\(MisuseYieldJob\\) is not allowed to sleep"},
    {"LargeStackJobWithoutLargeFibers",
     []
     {
         InitParams params = SmallParams(1);
         params.m_maxLargeJobFibers = 0;
         RunJobOnHost(MisuseNoOpJob, kLargeStack, params);
     },
     "Assertion failed: clearBitIndex < g_pJobSysData->m_initParams.m_maxLargeJobFibers\\s+in .*\\s+"
     "We ran out of fibers!\\s"},

    // --- Job local storage
    // ----------------------------------------------------------------------------------
    {"TryGetJobLocalStorageWithoutOutput", [] { RunJobOnHost(TryGetJobLocalStorageWithoutOutputJob); },
     "Assertion failed: pValue\\s"},
    {"GetJobLocalStoragePtrWithoutOutput", [] { RunJobOnHost(GetJobLocalStoragePtrWithoutOutputJob); },
     "Assertion failed: ppValue\\s"},
    {"JobLocalStorageByIndexOffAJobFiber",
     []
     {
         StartHost();
         SetJobLocalStorage(5, 0x1234, 1);
     },
     "No job local storage on this thread"},

    // --- Job trace
    // ------------------------------------------------------------------------------------------
    {"SetupThreadJobTraceOfWorker24",
     []
     {
         alignas(128) static U8 buffer[4096];
         SetupThreadJobTrace(kMaxWorkerThreads, buffer, sizeof(buffer));
     },
     "Assertion failed: threadIndex < kMaxWorkerThreads"},
    {"PrintTraceElementOfAnUnknownKind",
     []
     {
         JobTraceElement element;
         element.m_kind = 6;
         PrintTraceElement(0, element, 1);
     },
     "Unhandled job trace event\\."},
};

// The calls that need a running job system. Each, made before Initialize or after
// Shutdown, reports its check of the state record with the explanation.
struct CallCase
{
    const char* m_name;
    void (*m_call)();
};

const CallCase kCallsThatNeedTheJobSystem[] = {
    {"Shutdown", [] { Shutdown(); }},
    {"GetNumWorkerThreads", [] { GetNumWorkerThreads(); }},
    {"GetTotalNumWorkerThreads", [] { GetTotalNumWorkerThreads(); }},
    {"GetWorkerThreads", [] { GetWorkerThreads(nullptr, 0); }},
    {"GetWorkerThreadIndexFromThreadId", [] { GetWorkerThreadIndexFromThreadId(1); }},
    {"AllocateCounter", [] { NeverZero(); }},
    {"FreeCounter", [] { FreeCounter(CounterHandle{}); }},
    {"GetCounterValue", [] { GetCounterValue(CounterHandle{}); }},
    {"SetCounterValue", [] { SetCounterValue(CounterHandle{}, 0); }},
    {"AddToCounter", [] { AddToCounter(CounterHandle{}, -1); }},
    {"WaitForCounter", [] { WaitForCounter(CounterHandle{}, 0); }},
    {"WaitForCounterAndFree", [] { WaitForCounterAndFree(CounterHandle{}, 0); }},
    {"WakeUpJobsWaitingOnCounter", [] { WakeUpJobsWaitingOnCounter(CounterHandle{}, 0); }},
    {"DumpAllocatedCounters", [] { DumpAllocatedCounters(); }},
    {"BeginJobArray", [] { BeginJobArray(1, Priority{3}); }},
    {"AddJobs", [] { AddJobs(nullptr, nullptr, 0); }},
    {"CommitJobArray", [] { CommitJobArray(nullptr); }},
    {"RegisterJobArray", [] { RegisterJobArray(nullptr, true); }},
    {"UnregisterJobArray", [] { UnregisterJobArray(nullptr); }},
    {"RunJobs",
     []
     {
         alignas(64) JobDecl decl = MakeJob(MisuseNoOpJob, 0);
         RunJobs(&decl, 1, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
     }},
    {"RunJob", [] { RunJob(MisuseNoOpJob, 0, 0, Priority{3}); }},
    {"RunJobAndWait", [] { RunJobAndWait(MisuseNoOpJob, 0, 0, OX_JOB_SOURCE_LOCATION); }},
    {"ForEachJobDeclInEachJobArray", [] { ForEachJobDeclInEachJobArray(nullptr, nullptr); }},
    {"Yield", [] { Yield(); }},
    {"LockSchedulingData", [] { LockSchedulingData("misuse"); }},
    {"UnlockSchedulingData", [] { UnlockSchedulingData(); }},
    {"LockSchedulingDataOfOnePriority", [] { LockSchedulingData(Priority{3}, "misuse"); }},
    {"UnlockSchedulingDataOfOnePriority", [] { UnlockSchedulingData(Priority{3}); }},
    {"SchedulingDataLockJanitor", [] { SchedulingDataLockJanitor janitor(Priority{3}, "misuse", true); }},
    {"LockActiveJobToCore", [] { LockActiveJobToCore(); }},
    {"UnlockActiveJobFromCore", [] { UnlockActiveJobFromCore(~0ull); }},
    {"SetActiveJobFlags", [] { SetActiveJobFlags(0); }},
    {"PrintJobSystemData", [] { PrintJobSystemData(); }},
    {"Debug_AreAllJobsDoneExceptForGameLoop", [] { Debug_AreAllJobsDoneExceptForGameLoop(); }},
    {"IsEmergencyWorkerThread", [] { IsEmergencyWorkerThread(0); }},
    {"IsTimeCriticalWorkEnabled", [] { IsTimeCriticalWorkEnabled(); }},
    {"SetTimeCriticalWorkEnabled", [] { SetTimeCriticalWorkEnabled(true); }},
    {"NotifyTimeCriticalWork", [] { NotifyTimeCriticalWork(); }},
    {"IsPowerSaveEnabled", [] { IsPowerSaveEnabled(); }},
    {"SetPowerSaveEnabled", [] { SetPowerSaveEnabled(true); }},
    {"SetJobLocalStorageByIdentifier", [] { SetJobLocalStorage(U64{0x1234}, U64{1}); }},
    {"GetJobLocalStorageByIdentifier",
     []
     {
         U64 value = 0;
         GetJobLocalStorage(U64{0x1234}, &value);
     }},
    {"ClearJobLocalStorageByIdentifier", [] { ClearJobLocalStorage(U64{0x1234}); }},
};

constexpr const char* kNotInitialisedReport =
    "Assertion failed: g_pJobSysData\\s+in .*\\s+The job system is not initialised";

class JobNotInitialisedDeathTest : public testing::TestWithParam<CallCase>
{
};

TEST_P(JobNotInitialisedDeathTest, BeforeInitialize)
{
    EXPECT_DEATH(GetParam().m_call(), kNotInitialisedReport);
}

TEST_P(JobNotInitialisedDeathTest, AfterShutdown)
{
    EXPECT_DEATH(
        {
            StartHost().Stop();
            GetParam().m_call();
        },
        kNotInitialisedReport);
}

INSTANTIATE_TEST_SUITE_P(All, JobNotInitialisedDeathTest, testing::ValuesIn(kCallsThatNeedTheJobSystem),
                         [](const testing::TestParamInfo<CallCase>& info) { return info.param.m_name; });

class JobMisuseDeathTest : public testing::TestWithParam<MisuseCase>
{
};

TEST_P(JobMisuseDeathTest, EndsInTheAssertionReport)
{
    EXPECT_DEATH(GetParam().m_misuse(), GetParam().m_expected);
}

INSTANTIATE_TEST_SUITE_P(All, JobMisuseDeathTest, testing::ValuesIn(kMisuseCases),
                         [](const testing::TestParamInfo<MisuseCase>& info) { return info.param.m_name; });
} // namespace
