// The job system: small units of work (jobs) run on a fixed set of worker threads, each
// job on a fiber of its own, so that a job waiting for a counter is suspended and its
// worker picks up other work. One job system per process: a host starts it with
// Initialize, handing it one memory block from which every structure is carved, and
// stops it with Shutdown, from a thread that is not a worker.
//
// Work is submitted in job arrays (BeginJobArray, AddJobs, CommitJobArray, or RunJobs
// for all three). Counters count jobs down; WaitForCounter suspends a job (or makes a
// plain thread yield) until a counter meets a target. Job local storage and the
// time-critical and power-save switches come with this header.
#pragma once

#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-scheduling-policy.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-types.h"
#include "corelib/util/error.h"
#include "corelib/util/types.h"

namespace oxsys
{
class Thread;
}

namespace oxjob
{
struct JobArray;

// Start-up parameters. The defaults are those of the fields' initialisers.
struct InitParams
{
    void* m_pMemoryBuffer = nullptr; // 128-byte aligned
    U64 m_memoryBufferSize = 0;      // a multiple of 128
    void* m_pTraceMemoryBuffer = nullptr;
    U64 m_traceMemoryBufferSize = 0;
    U64 m_numCounters = 0;  // at most kMaxSupportedCounters
    U64 m_numJobArrays = 0; // at most kMaxSupportedJobArrays
    U64 m_numWorkerThreads = 13;
    U64 m_numEmergencyWorkerThreads = 2;
    Priority m_regularWorkerMinPriority = Priority{0};
    Priority m_numTimeCriticalPriorities = Priority{1};
    // How long a job must have been ready before an emergency worker takes it, in units
    // of 1/(300 * 2^32) s; the default is 1 ms.
    U64 m_emergencyWorkerDelay = 1288490240;
    U64 m_maxSmallJobFibers = 0; // at most kMaxSmallJobFibers
    U64 m_maxLargeJobFibers = 0; // at most kMaxLargeJobFibers; small + large >= m_numWorkerThreads
    U64 m_smallJobFiberStackSpace = 16384; // a multiple of 16384
    U64 m_largeJobFiberStackSpace = 65536; // a multiple of 16384
    bool m_lockWorkerThreadsToCores = false;
};

// Bytes of the memory block that Initialize needs before the job declaration pool (which
// takes the rest): the state record, the counter and job array pools, the fixed blocks,
// the fiber handles and contexts, the fiber stacks block and the job descriptor table.
U64 GetRequiredMemoryBufferSize(const InitParams& params);

// --- Start and stop ------------------------------------------------------------------

// Starts the job system and returns once every worker runs its first fiber. The calling
// thread needs an allocator stack; it stays a non-worker thread. Misuse is fatal.
Err Initialize(const InitParams* pParams);
// Stops the workers and releases everything; the memory block may then be reused.
void Shutdown();
// True between Initialize and Shutdown.
bool IsInitialized();

// --- Worker threads ---------------------------------------------------------------------

// True on a job system worker thread.
bool IsWorkerThread();
// Regular worker threads (the parameter).
U64 GetNumWorkerThreads();
// Regular and emergency worker threads together.
U64 GetTotalNumWorkerThreads();
// Copies the handles of workers 0, 1, ... into pThreads (at most maxCount); returns how many.
U64 GetWorkerThreads(oxsys::Thread* pThreads, U64 maxCount);
// The index of the worker with this thread id, or -1.
I64 GetWorkerThreadIndexFromThreadId(U32 threadId);
// The calling worker's index (follows the running job); kMaxWorkerThreads off a worker.
U64 GetCurrentWorkerThreadIndex();

// --- The job running on the calling worker (stale snapshots; no locks) -------------------

// Copies the running job's declaration; false off a worker.
bool GetActiveJobDecl(JobDecl* pJobDecl);
// Copies worker workerThreadIndex's running declaration; false when it runs none.
bool GetWorkerThreadJobDecl(U64 workerThreadIndex, JobDecl* pJobDecl);
// The running job's affinity mask; 0 off a worker.
U64 GetActiveJobAffinityMask();
// The running job's priority; Priority::kInvalid off a worker.
Priority GetActiveJobPriority();
// Worker workerThreadIndex's running job id (0: none); all ones for an index of 24 or more.
U64 GetWorkerThreadActiveJobId(U64 workerThreadIndex);
// Restricts the running job to the calling worker, so that it resumes there after a wait.
void LockActiveJobToCore();
// Sets the running job's affinity; the mask must include the calling worker.
void UnlockActiveJobFromCore(U64 allowedAffinity);
// Replaces the running job's flags by the low 60 bits of flags.
void SetActiveJobFlags(U64 flags);

// --- Counters ---------------------------------------------------------------------------

// Takes a counter from the pool with an initial value; the call site names it in reports.
// Running out prints the counters in use and is fatal.
CounterHandle AllocateCounter(const char* srcFile, U32 srcLine, const char* srcFunc, I64 initialValue,
                              WaitRestriction waitRestriction = kWaitForZeroOnly);
CounterHandle AllocateCounter(I64 initialValue, WaitRestriction waitRestriction, const SourceLocation& location);
// Gives a counter back. Nobody may wait on it or count it down any more.
void FreeCounter(CounterHandle counter);
// The counter's current value.
I64 GetCounterValue(CounterHandle counter);
// Sets the counter's value and wakes what waits for that value.
void SetCounterValue(CounterHandle counter, I64 value);
// Adds delta to the counter's value (negative to count down) and wakes what waits for
// the new value; returns the new value.
I64 AddToCounter(CounterHandle counter, I64 delta);
// Waits for the counter to meet (value, compare), then frees it.
void WaitForCounterAndFree(CounterHandle counter, I64 value, U32 compare = kCompareEqual);
// Prints every counter in use on channel 1.
void DumpAllocatedCounters();
// Wakes the jobs and job arrays waiting for the counter whose condition the value meets.
void WakeUpJobsWaitingOnCounter(CounterHandle counter, I64 value);

// Allocates a counter named after the calling line.
#define OX_ALLOCATE_COUNTER(initialValue, waitRestriction)                                                   \
    ::oxjob::AllocateCounter(__FILE__, static_cast<U32>(__LINE__), __PRETTY_FUNCTION__, (initialValue),     \
                             (waitRestriction))

// --- Job arrays and submission -------------------------------------------------------------

// Opens a job array for up to maxJobCount jobs; null when the job array pool is exhausted.
JobArray* BeginJobArray(U64 maxJobCount, CounterHandle dependentCounter, I64 dependentValue, U32 dependentCompare,
                        Priority priority, U64 affinityMask = ~0ull);
JobArray* BeginJobArray(U64 maxJobCount, Priority priority, U64 affinityMask = ~0ull);
// Copies numJobs declarations into an open array (pJobDecls 64-byte aligned); returns the
// number added. The declarations receive the calling job's category.
U64 AddJobs(JobArray* pJobArray, JobDecl* pJobDecls, U64 numJobs);
// Closes the array and hands it to the workers.
void CommitJobArray(JobArray* pJobArray);
bool RegisterJobArray(JobArray* pJobArray, bool addToBack);
bool UnregisterJobArray(JobArray* pJobArray);
I64 GetJobCount(const JobArray* pJobArray);
I64 GetJobArrayCapacity(const JobArray* pJobArray);
Priority GetJobArrayPriority(const JobArray* pJobArray);

// Submits numJobs jobs in one array; when pOutCounter is not null a counter starting at
// numJobs becomes every job's associated counter and is stored there.
void RunJobs(JobDecl* pJobDecls, U64 numJobs, CounterHandle* pOutCounter, const char* srcFile, U32 srcLine,
             const char* srcFunc, Priority priority, U64 affinityMask = ~0ull,
             WaitRestriction waitRestriction = kWaitForZeroOnly);
void RunJobs(JobDecl* pJobDecls, U64 numJobs, CounterHandle* pOutCounter, Priority priority, U64 affinityMask,
             WaitRestriction waitRestriction, const SourceLocation& location);
// Submits one job that nothing waits for.
void RunJob(JobEntryFunc pStartFunc, U64 startArg, U64 flags, Priority priority, U64 affinityMask = ~0ull);
// Runs one job at priority 3 on any worker and returns when it has finished.
void RunJobAndWait(JobEntryFunc pStartFunc, U64 startArg, U64 flags, const char* srcFile, U32 srcLine,
                   const char* srcFunc);
void RunJobAndWait(JobEntryFunc pStartFunc, U64 startArg, U64 flags, const SourceLocation& location);

// Calls visitor for every queued declaration of every registered array, priority 0 to 8,
// holding all scheduling locks (the visitor must not submit or wait); stops when it
// returns false.
using JobDeclVisitor = bool (*)(const JobDecl* pJobDecl, void* pContext);
bool ForEachJobDeclInEachJobArray(JobDeclVisitor visitor, void* pContext);

// --- Waiting ------------------------------------------------------------------------------

// Returns when the counter meets (value, compare). A job is suspended meanwhile and its
// worker runs other jobs; a plain thread yields its processor.
void WaitForCounter(CounterHandle counter, I64 value, U32 compare = kCompareEqual);
// Lets other ready work of the job's priority or a more urgent one run, then continues.
// Workers only.
void Yield();

// --- Locks ------------------------------------------------------------------------------------

// All nine scheduling locks (taken 8 down to 0, released 0 up to 8).
void LockSchedulingData(const char* name);
void UnlockSchedulingData();
// One priority's scheduling lock.
void LockSchedulingData(Priority priority, const char* name);
void UnlockSchedulingData(Priority priority);

// Holds one priority's scheduling lock for a scope.
class SchedulingDataLockJanitor
{
public:
    SchedulingDataLockJanitor(Priority priority, const char* name, bool lockNow);
    ~SchedulingDataLockJanitor();
    SchedulingDataLockJanitor(const SchedulingDataLockJanitor&) = delete;
    SchedulingDataLockJanitor& operator=(const SchedulingDataLockJanitor&) = delete;

    void Lock(const char* name);
    void Unlock();

private:
    Priority m_priority;
    bool m_locked;
};

// --- Diagnostics ---------------------------------------------------------------------------

// Prints the use of the counter, job array and wait-context pools on channel 2.
void PrintJobSystemData();
// While on (off at process start), idle workers watch for deadlocks.
void SetDeadlockDetectionEnabled(bool enabled);
bool IsDeadlockDetectionEnabled();
// The inactivity, in seconds, after which the deadlock watch starts checking (5 unless a
// test sets another figure; 0 restores 5).
void SetDeadlockDetectionThresholdSeconds(F32 seconds);
// True when exactly one worker runs a job and exactly one job waits, and that stays so
// with no worker activity for a millisecond.
bool Debug_AreAllJobsDoneExceptForGameLoop();
} // namespace oxjob
