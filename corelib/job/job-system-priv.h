// The job system's internal records: the process-wide state record carved at the start
// of the host's memory block, worker contexts, runnable jobs, per-priority scheduling
// data, counters, job arrays, the wait and wake-up data, and the internal functions that
// the job system's files call on each other.
#pragma once

#include "corelib/job/job-system.h"
#include "corelib/job/job-types.h"
#include "corelib/memory/bigmalloc.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/condition-variable.h"
#include "corelib/system/platform/event.h"
#include "corelib/system/platform/fiber.h"
#include "corelib/system/platform/mutex.h"
#include "corelib/system/platform/platform.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/platform/waitable-timer.h"
#include "corelib/util/bit-array.h"
#include "corelib/util/types.h"

#include <atomic>

namespace oxjob
{
// --- Counters -------------------------------------------------------------------------------

struct alignas(128) Counter
{
    const char* m_sourceFile;
    U64 m_sourceLine;
    const char* m_sourceFunction;
    U64 m_allocTime;
    OxAtomicLock m_lock; // guards changes of m_value and the wake-up that follows them
    std::atomic<I64> m_value;
    WaitRestriction m_waitRestriction;

    // The state of a free counter.
    void Reset();
};
static_assert(sizeof(Counter) == 128, "a counter is 128 bytes");

// --- Job arrays -----------------------------------------------------------------------------

// A ring of job declarations: push at the tail, pop at the head.
struct JobDeclRing
{
    I32 m_head;
    I32 m_tail;
    I32 m_count;
    I32 m_capacity;
    JobDecl* m_pBuffer;

    bool IsEmpty() const { return m_count == 0; }
};

struct alignas(128) JobArray
{
    JobDeclRing m_jobQueue;
    Counter* m_pDependentCounter;
    I64 m_dependentValue;
    U32 m_dependentCompare;
    U64 m_affinityMask;
    void* m_pJobDeclBuffer;
    bool m_bOpen;
    Priority m_priority;
    U64 m_readyTime;
    U8 m_submitWorkerIndex;
    // The worker whose own list holds the array (worker-local lists), or kNoListOwner.
    U8 m_listOwner;
    // The neighbours in the owner's list: the array committed after this one and before.
    JobArray* m_pNewer;
    JobArray* m_pOlder;

    // The state of a free array.
    void Reset();
};
static_assert(sizeof(JobArray) == 128, "a job array is 128 bytes");

constexpr U8 kNoSubmitWorker = 0xFF;
constexpr U8 kNoListOwner = 0xFF;

// --- Runnable jobs and worker contexts ---------------------------------------------------------

// A job as the scheduler holds it. Copied by value out of the shared lists, so that no
// lock is held while it runs.
struct alignas(64) RunnableJob
{
    JobDecl m_jobDecl;
    U64 m_affinityMask;
    Priority m_priority;
    U8 m_reserved[7];
    U64 m_jobId;     // 0: empty
    U64 m_readyTime; // performance-counter time from which the job is ready
    U8 m_submitWorkerIndex;
    oxsys::Fiber* m_pActiveFiber; // the fiber a suspended job continues on

    // An empty record (no job, invalid priority, no fiber).
    void Reset();
};
static_assert(sizeof(RunnableJob) <= 256, "a runnable job fits 256 bytes");

constexpr U32 kWorkerWokenUpSlots = 4;

// A worker's own job arrays (worker-local lists), one list per priority from the newest
// to the oldest. The owner pushes and takes at the newest end, other workers take from
// the oldest; every change is made under the lock, which is held only for the change.
struct alignas(128) WorkerJobLists
{
    OxAtomicLock m_lock;
    JobArray* m_pNewest[static_cast<int>(Priority::kNumPriorities)];
    JobArray* m_pOldest[static_cast<int>(Priority::kNumPriorities)];
    // Arrays in each list; read without the lock to pass an empty list by.
    std::atomic<U32> m_numArrays[static_cast<int>(Priority::kNumPriorities)];
    // Jobs this worker woke that may continue on it, any priority (the shared woken-up
    // lists take the others and these when the slots are full).
    std::atomic<U32> m_numWokenUpJobs;
    RunnableJob m_wokenUpJobs[kWorkerWokenUpSlots];
};

// Per-worker state. The priority range is written by SetTimeCriticalWorkEnabled from any
// thread and read by the worker's loop, hence atomic.
struct alignas(128) WorkerThreadContext
{
    RunnableJob m_activeJob;
    I64 m_threadPriority;
    I64 m_currentFiberIndex; // -1 while the worker runs no fiber
    bool m_isLargeStackFiber;
    bool m_isEmergency;
    // Set when the worker's activity time was stamped at the end of its last job and it
    // has not idled since: the next job's start would stamp almost the same time.
    bool m_activityStampFresh;
    std::atomic<Priority> m_beginPriority;
    std::atomic<Priority> m_endPriority;
    // The push counts of the worker's priorities (see IdleSignature) when a pick last found
    // nothing this worker may take; valid while m_hasIdleSignature. Until more work is
    // pushed, what the worker can still see is work it may not run (another worker's
    // affinity), and looking again would only take the scheduling locks.
    U64 m_idleSignature;
    bool m_hasIdleSignature;

    // Clears the running job and the fiber; the range and the emergency flag stay.
    void ResetJob();
};

// What a suspended job keeps on its own fiber's stack.
struct SavedJobContext
{
    RunnableJob m_activeJob;
    I64 m_currentFiberIndex;
    bool m_isLargeStackFiber;
};

// What the job system keeps in each fiber's context: the timer of its scheduling loop,
// created when the fiber first runs and destroyed by Shutdown (a parked fiber never
// returns from its loop).
struct JobFiberState
{
    oxsys::WaitableTimer m_timer;
};
static_assert(sizeof(JobFiberState) <= sizeof(oxsys::FiberContext::m_data),
              "the fiber state fits its context");

inline JobFiberState& FiberState(oxsys::FiberContext& context)
{
    return *reinterpret_cast<JobFiberState*>(context.m_data);
}

// --- Per-priority scheduling data ----------------------------------------------------------

struct alignas(128) SchedulingData
{
    JobArray* m_registeredJobArrays[kMaxSupportedJobArrays];
    std::atomic<U64> m_numRegisteredJobArrays;
    std::atomic<U64> m_numWokenUpJobs;
    RunnableJob* m_wokenUpJobs; // kMaxWaitingJobs slots
    // Counts every registration of an array and every woken job added, under the lock
    // (in the record's tail padding, on the line of the two counts above).
    std::atomic<U64> m_pushCount;
    // Arrays and woken jobs of this priority in the workers' own lists (worker-local lists).
    std::atomic<U64> m_numLocalJobArrays;
    std::atomic<U64> m_numLocalWokenUpJobs;
};
static_assert(sizeof(SchedulingData) == 8320, "scheduling data is 8320 bytes");

// --- Locks -----------------------------------------------------------------------------------

// A named OS mutex that must be initialised before use.
class JobSystemLock
{
public:
    void Init(const char* name);
    void Lock(const char* name);
    void Unlock();
    void Shutdown();
    // The fiber-data lock is taken on one fiber and released on the fiber its thread runs
    // next: the thread keeps holding it across the switch, and a sanitizer that tracks each
    // fiber as a thread of its own is told that the hold moves. Call the first right
    // before the switch, the second on the fiber that then runs.
    void HoldLeavesFiber();
    void HoldJoinsFiber();

    oxsys::Mutex m_mutex;
    bool m_isInitialized;
    char m_name[32]; // names the lock's waits in a profiler capture
};

// A 64-bit atomic alone on its cache line.
struct alignas(128) AlignedAtomicU64 : std::atomic<U64>
{
    using std::atomic<U64>::atomic;
    using std::atomic<U64>::operator=;
};

// A lock alone on its cache line.
struct alignas(128) AlignedJobSystemLock : JobSystemLock
{
};

// --- Pools --------------------------------------------------------------------------------------

// A fixed pool of records with a bit per record in use and the next-fit rule: search
// onward from the most recently taken index, then from 0.
template <U64 kMaxBits, typename T>
struct RecordPool
{
    BitArrayT<InternalBitArrayStorage<kMaxBits>> m_storage;
    T* m_pRecords;
    U64 m_capacity;
    U64 m_lastIndex;
    U32 m_searchMode;

    void Init(T* pRecords, U64 capacity)
    {
        m_storage.ClearBitRange(0, kMaxBits - 1);
        m_pRecords = pRecords;
        m_capacity = capacity;
        m_lastIndex = capacity ? capacity - 1 : 0;
        m_searchMode = 1;
    }

    // A free index, or an index at or above the capacity when the pool is full.
    U64 FindFreeIndex() const
    {
        I64 index = kBitNotFound;
        if (m_searchMode == 1 && m_lastIndex + 1 < m_capacity)
            index = m_storage.FindNextClearBit(m_lastIndex);
        if (index == kBitNotFound || static_cast<U64>(index) >= m_capacity)
            index = m_storage.FindFirstClearBit();
        return index == kBitNotFound ? kMaxBits : static_cast<U64>(index);
    }

    U64 IndexOf(const T* pRecord) const { return static_cast<U64>(pRecord - m_pRecords); }
};

struct alignas(128) WaitContext
{
    JobArray* m_pJobArray;
    WaitContext* m_pNext;
};

// A fixed ring of records: push at the tail, pop at the head. Changed under its owner's
// lock; the count may be read without it (a stale answer only delays the reader).
template <typename T, U64 kCapacity>
struct RingQueue
{
    U64 m_head;
    U64 m_tail;
    std::atomic<U64> m_count;
    T m_items[kCapacity];

    void Clear()
    {
        m_head = m_tail = 0;
        m_count.store(0, std::memory_order_relaxed);
    }
    bool IsEmpty() const { return m_count.load(std::memory_order_relaxed) == 0; }
    bool IsFull() const { return m_count.load(std::memory_order_relaxed) == kCapacity; }
    void Push(const T& item)
    {
        m_items[m_tail] = item;
        m_tail = m_tail + 1 == kCapacity ? 0 : m_tail + 1;
        m_count.store(m_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    T& Pop()
    {
        T& item = m_items[m_head];
        m_head = m_head + 1 == kCapacity ? 0 : m_head + 1;
        m_count.store(m_count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        return item;
    }
};

// The key of a waiting job: the low 32 bits of both dependent counters.
struct WaitKey
{
    U32 m_counter1;
    U32 m_counter2;
};

// --- The state record ------------------------------------------------------------------------------

struct alignas(128) JobSysData
{
    InitParams m_initParams;
    std::atomic<bool> m_requestShutdown;
    std::atomic<U32> m_numStartedWorkerThreads;
    bool m_numStartedWorkerThreadsInitialized;
    std::atomic<bool> m_timeCriticalEnabled;
    U64 m_predictableStackBase;
    std::atomic<bool> m_powerSaveEnabled;
    std::atomic<bool> m_workerSleeping[kMaxWorkerThreads];
    oxsys::Mutex m_powerSaveMutexes[kMaxWorkerThreads];
    oxsys::ConditionVariable m_powerSaveConditions[kMaxWorkerThreads];
    oxsys::Thread m_workerThreads[kMaxWorkerThreads];
    U64 m_numWorkerThreads;
    oxsys::Event m_timeCriticalWorkEvent;
    U64 m_regularWorkerMask;
    U64 m_emergencyWorkerMask;
    WorkerThreadContext m_workerThreadContexts[kMaxWorkerThreads];
    RunnableJob m_fiberSwitchJobs[kMaxWorkerThreads];
    // One cache line per worker: each worker stamps its own at every job, and stamps that
    // shared a line made it move between the cores at every job of either worker.
    AlignedAtomicU64 m_lastActivityTime[kMaxWorkerThreads];
    // The regular workers that are awake and looking for work (a bit per worker): new work
    // that one of them may run reaches it without a wake-up.
    AlignedAtomicU64 m_spinningWorkers;
    JobSystemLock m_statsLock;

    alignas(128) RecordPool<kMaxSupportedCounters, Counter> m_counterPool;
    JobSystemLock m_counterLock;

    alignas(128) RecordPool<kMaxSupportedJobArrays, JobArray> m_jobArrayPool;
    MemoryPoolMalloc m_jobDeclAllocator;
    JobSystemLock m_jobArrayLock;

    // Fiber data.
    alignas(128) oxsys::FiberContext* m_pFiberContexts;
    oxsys::Fiber* m_pSmallFibers;
    oxsys::Fiber* m_pLargeFibers;
    BitArrayT<InternalBitArrayStorage<kMaxSmallJobFibers>> m_smallFiberBits;
    BitArrayT<InternalBitArrayStorage<kMaxLargeJobFibers>> m_largeFiberBits;
    JobSystemLock m_fiberLock;

    // Wait data.
    alignas(128) RecordPool<kMaxWaitContexts, WaitContext> m_waitContextPool;
    WaitContext* m_pWaitingJobArrays;
    // Changed under the wait lock; the deadlock watch reads it without.
    std::atomic<U64> m_numWaitingJobArrays;
    WaitKey* m_pWaitKeys;        // kMaxWaitingJobs keys (the 4096-byte block)
    RunnableJob* m_pWaitingJobs; // kMaxWaitingJobs jobs
    std::atomic<U64> m_numWaitingJobs;
    JobSystemLock m_waitLock;

    // Wake-up data.
    alignas(128) RingQueue<JobArray*, kMaxWokenUpJobArrays> m_wokenUpJobArrays;
    RingQueue<RunnableJob, kMaxWaitingJobs> m_wokenUpJobs;
    JobSystemLock m_wakeUpLock;

    SchedulingData* m_pSchedData;

    alignas(128) std::atomic<U64> m_jobIdGenerator;
    U64 m_jobIdGeneratorMarker;

    // Each on a cache line of its own: workers take them at every pick, and a lock that
    // shared its line with the next priority's would move between cores for both.
    AlignedJobSystemLock m_schedLocks[static_cast<int>(Priority::kNumPriorities)];

    bool m_fibersOverflowed; // a small fiber was wanted while all were in use

    // The scheduling policy chosen for this start, and each worker's own job arrays.
    bool m_workerLocalLists;
    WorkerJobLists m_workerJobLists[kMaxWorkerThreads];
};
static_assert(sizeof(JobSysData) <= 155904, "the state record fits its budget");

extern JobSysData* g_pJobSysData;

// --- Internal functions ---------------------------------------------------------------------------

constexpr U64 kWorkerIndexSlotFlag = 0x8000;
constexpr I64 kInfiniteAffinity = -1;

// The calling thread's worker index, or -1. Not inlined: a fiber may continue on another
// thread, and the compiler must not keep the old thread's slot address across a switch.
OX_NOINLINE I64 ReadWorkerIndex();
void WriteWorkerIndexSlot(U64 value);

inline WorkerThreadContext& WorkerContext(U64 workerIndex)
{
    return g_pJobSysData->m_workerThreadContexts[workerIndex];
}

// The dependency test: met when (value <= target and compare 1) or (value == target and compare 0).
inline bool IsDependencyMet(I64 value, I64 target, U32 compare)
{
    return (compare == kCompareLessOrEqual && value <= target) ||
           (compare == kCompareEqual && value == target);
}

// A copy of a worker's running job taken without a lock, for reports and queries from
// other threads: the copy may mix two jobs, which the callers accept.
OX_NO_SANITIZE_THREAD inline RunnableJob SnapshotActiveJob(U64 workerIndex)
{
    RunnableJob job;
    const volatile U64* pSource =
        reinterpret_cast<const volatile U64*>(&WorkerContext(workerIndex).m_activeJob);
    U64* pDestination = reinterpret_cast<U64*>(&job);
    for (U64 i = 0; i < sizeof(RunnableJob) / sizeof(U64); ++i)
        pDestination[i] = pSource[i];
    return job;
}

// Opens the profiler region of a job, named after it and in its flags' colour; the name
// is looked up only while the thread records regions.
void BeginJobProfileEvent(const JobDecl& jobDecl);

// Job ids: 0x1001 upward; the id 2^46 is followed by 0x1001 again.
U64 GenerateJobId();

// Scheduling (job-scheduling.cpp).
void DoJobScheduling(JobFiberState& fiberState);
bool CheckAndUpdatePreConditions(RunnableJob& job);
bool RegisterJobArrayNoLock(SchedulingData* pSchedData, JobArray* pJobArray, bool addToBack);
bool UnregisterJobArrayNoLock(SchedulingData* pSchedData, JobArray* pJobArray);
void FreeJobArray(JobArray* pJobArray);
// Hands a closed array to the workers: the committing worker's own list under worker-local
// lists when it may run the array, else the shared list of its priority.
void ScheduleCommittedJobArray(JobArray* pJobArray);
// Under worker-local lists, keeps a job woken by the calling worker on that worker when it
// may run there; false when it belongs in the shared woken-up list.
bool ScheduleWokenUpJobOnWaker(const RunnableJob& job);
// Every worker's own lists (worker-local lists), taken after the scheduling locks.
void LockWorkerJobLists();
void UnlockWorkerJobLists();
// Calls visit for each array in the workers' own lists of a priority; the caller holds
// LockWorkerJobLists.
template <typename Visit>
void ForEachWorkerJobArray(U64 priority, Visit visit);
// Wakes up to maxToWake sleeping regular workers (power save) whose affinity bit is in
// the mask and that serve the priority (Priority::kInvalid: any priority).
void WakeUpSleepingWorkers(U64 maxToWake, Priority priority, U64 affinityMask);
void NoteWorkerActivity(U64 workerIndex);

// Fibers, waiting and wake-up (job-fibers.cpp, job-wait.cpp).
oxsys::Fiber* AllocateFiberForJobAndUpdateContext(bool needsLargeStack);
void FreeJobFiber(I64 fiberIndex, bool large);
bool SwitchFiberDueToStackSize(RunnableJob& job);
void ResumeJob(RunnableJob& job);
void SuspendActiveFiberAndSwitchToFree(Counter* pCounter, I64 value, U32 compare);
bool AddJobToWaitData(RunnableJob& job);
bool WakeUpWaitingJobs(Counter* pCounter, I64 newValue);
void ScheduleWokenUpJobs();
void ScheduleWokenUpJobNoLock(const RunnableJob& job);
void AddWaitingJobArray(JobArray* pJobArray);

// Counters (job-counters.cpp): changes the value under the counter's lock and wakes
// the waiters the new value releases; returns the new value.
I64 ChangeCounterValue(Counter* pCounter, I64 delta, bool set);

// Time-critical work (job-time-critical.cpp).
// Sets the priorities a worker serves: with time-critical work enabled and emergency
// workers present, emergency workers serve [0, m_numTimeCriticalPriorities) and regular
// ones [m_regularWorkerMinPriority, 9); disabled, emergency workers serve nothing;
// otherwise every worker serves [0, 9).
void ApplyPriorityRange(WorkerThreadContext& context, const InitParams& params, bool timeCriticalEnabled);
bool IsTimeCriticalPriority(Priority priority);
void NotifyTimeCriticalWork();
bool IsInTimeCriticalWorkPeriod();

// Deadlock watch (job-deadlock.cpp).
void WatchForDeadlock(U64 workerIndex);

// Job trace (job-trace.cpp): adds a record of kind (a JobTraceKind) about the job for the
// calling worker.
void TraceJob(U8 kind, const RunnableJob& job, const Counter* pCounter = nullptr, I64 value = 0);
// Takes every worker's ring away (the host may reuse the trace memory afterwards).
void ShutdownJobTrace();

template <typename Visit>
void ForEachWorkerJobArray(U64 priority, Visit visit)
{
    const JobSysData& data = *g_pJobSysData;
    for (U64 w = 0; w < data.m_numWorkerThreads; ++w)
        for (JobArray* pJobArray = data.m_workerJobLists[w].m_pOldest[priority]; pJobArray;
             pJobArray = pJobArray->m_pNewer)
            visit(pJobArray);
}
} // namespace oxjob
