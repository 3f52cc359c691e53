// The scheduling loop every job fiber runs: wait for visible work, choose one piece of it
// (lowest priority number first; within a priority woken-up jobs before fresh ones), then
// run, resume, move to a fiber of the right stack size, park or free it.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-local-storage-internal.h"
#include "corelib/job/job-platform-error.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-trace.h"
#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/platform-error.h"
#include "corelib/system/profiler-events.h"
#include "corelib/system/timing.h"
#include "corelib/util/error.h"
#include "corelib/util/msg.h"

namespace oxjob
{
namespace
{
// Idle turns a regular worker spins before it may sleep in power save.
constexpr U64 kIdleSpinsBeforeSleep = 1000;

// Emergency workers wait for a job to have been ready this long (counter ticks).
U64 EmergencyDelayTicks()
{
    const F32 microseconds = static_cast<F32>(g_pJobSysData->m_initParams.m_emergencyWorkerDelay) *
                             7.7610216e-13f * 1000.0f * 1000.0f;
    return GetTimerFrequency() * static_cast<U64>(microseconds) / 1000000;
}

bool IsEligible(U64 affinityMask, U64 readyTime, U64 bit, bool isEmergency, U64 delay, U64 now)
{
    return (affinityMask & bit) && (!isEmergency || readyTime + delay <= now);
}

bool ChooseFiberSwitchJob(U64 workerIndex, RunnableJob& job)
{
    RunnableJob& slot = g_pJobSysData->m_fiberSwitchJobs[workerIndex];
    if (!slot.m_jobDecl.m_pStartFunc)
        return false;
    job = slot;
    slot.Reset();
    return true;
}

// Links the array in as the newest of its owner's list; the caller holds the list's lock.
void LinkWorkerJobArray(WorkerJobLists& lists, U8 owner, JobArray* pJobArray)
{
    const U64 p = static_cast<U8>(pJobArray->m_priority);
    pJobArray->m_listOwner = owner;
    pJobArray->m_pNewer = nullptr;
    pJobArray->m_pOlder = lists.m_pNewest[p];
    if (lists.m_pNewest[p])
        lists.m_pNewest[p]->m_pNewer = pJobArray;
    else
        lists.m_pOldest[p] = pJobArray;
    lists.m_pNewest[p] = pJobArray;
    lists.m_numArrays[p].store(lists.m_numArrays[p].load(std::memory_order_relaxed) + 1,
                               std::memory_order_relaxed);
    SchedulingData& schedData = g_pJobSysData->m_pSchedData[p];
    // Sequentially consistent, as the shared list's count: a worker going to sleep either
    // sees it or is seen asleep by the wake-up that follows.
    schedData.m_numLocalJobArrays.fetch_add(1, std::memory_order_seq_cst);
    schedData.m_pushCount.fetch_add(1, std::memory_order_release);
}

// Takes the array out of its owner's list; the caller holds the list's lock.
void UnlinkWorkerJobArray(WorkerJobLists& lists, JobArray* pJobArray)
{
    const U64 p = static_cast<U8>(pJobArray->m_priority);
    OX_JOB_ASSERT(pJobArray->m_listOwner != kNoListOwner);
    if (pJobArray->m_pNewer)
        pJobArray->m_pNewer->m_pOlder = pJobArray->m_pOlder;
    else
        lists.m_pNewest[p] = pJobArray->m_pOlder;
    if (pJobArray->m_pOlder)
        pJobArray->m_pOlder->m_pNewer = pJobArray->m_pNewer;
    else
        lists.m_pOldest[p] = pJobArray->m_pNewer;
    pJobArray->m_pNewer = nullptr;
    pJobArray->m_pOlder = nullptr;
    pJobArray->m_listOwner = kNoListOwner;
    lists.m_numArrays[p].store(lists.m_numArrays[p].load(std::memory_order_relaxed) - 1,
                               std::memory_order_relaxed);
    g_pJobSysData->m_pSchedData[p].m_numLocalJobArrays.fetch_sub(1, std::memory_order_relaxed);
}

// What a pick found in one array, before anything is taken from it.
enum class ArrayStep : U8
{
    kPass, // the worker may not run its jobs (yet)
    kFree, // empty: leaves its list and returns to the pool
    kPark, // its dependency is not met: leaves its list and waits
    kTake, // the worker takes its next job
};

struct PickContext
{
    U64 m_workerIndex;
    U64 m_bit;
    bool m_isEmergency;
    U64 m_delay;
    U64 m_now;
};

ArrayStep ExamineJobArray(JobArray* pJobArray, const PickContext& pick)
{
    if (pJobArray->m_jobQueue.m_count == 0)
        return ArrayStep::kFree;
    if (Counter* pCounter = pJobArray->m_pDependentCounter)
    {
        if (!IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire), pJobArray->m_dependentValue,
                             pJobArray->m_dependentCompare))
            return ArrayStep::kPark;
        pJobArray->m_pDependentCounter = nullptr;
        pJobArray->m_dependentValue = 0;
        pJobArray->m_dependentCompare = 0;
    }
    if (!IsEligible(pJobArray->m_affinityMask, pJobArray->m_readyTime, pick.m_bit, pick.m_isEmergency,
                    pick.m_delay, pick.m_now))
        return ArrayStep::kPass;
    return ArrayStep::kTake;
}

// Copies the array's next job out and advances its head. The id (m_jobId 0 until then) is
// drawn by the caller once the list's lock is released: the generator's cache line is
// shared by every worker, and the other workers may wait for this lock.
void TakeNextJob(JobArray* pJobArray, RunnableJob& job)
{
    JobDeclRing& ring = pJobArray->m_jobQueue;
    job.Reset();
    job.m_jobDecl = ring.m_pBuffer[ring.m_head];
    --ring.m_count;
    ring.m_head = ring.m_head + 1 == ring.m_capacity ? 0 : ring.m_head + 1;
    job.m_affinityMask = pJobArray->m_affinityMask;
    job.m_priority = pJobArray->m_priority;
    job.m_readyTime = pJobArray->m_readyTime;
    job.m_submitWorkerIndex = pJobArray->m_submitWorkerIndex;
}

// A list of job arrays of one priority as a pick walks it: the shared list in its order,
// or a worker's own list, newest first for its owner and oldest first for the others.
class ArrayListWalk
{
public:
    static ArrayListWalk Shared(U64 priority)
    {
        ArrayListWalk walk;
        walk.m_priority = priority;
        return walk;
    }
    static ArrayListWalk Worker(U64 priority, U64 ownerIndex, bool isOwner)
    {
        ArrayListWalk walk;
        walk.m_priority = priority;
        walk.m_pLists = &g_pJobSysData->m_workerJobLists[ownerIndex];
        walk.m_newestFirst = isOwner;
        return walk;
    }

    // Without the lock: false when the list holds nothing (a stale answer only delays).
    bool MayHoldArrays() const
    {
        return m_pLists ? m_pLists->m_numArrays[m_priority].load(std::memory_order_relaxed) > 0
                        : Sched().m_numRegisteredJobArrays.load(std::memory_order_relaxed) > 0;
    }
    void Lock()
    {
        if (m_pLists)
            OX_ATOMIC_LOCK_ACQUIRE(m_pLists->m_lock);
        else
            LockSchedulingData(Priority{static_cast<I8>(m_priority)}, "ChooseJobToRun");
    }
    void Unlock()
    {
        if (m_pLists)
            m_pLists->m_lock.Release();
        else
            UnlockSchedulingData(Priority{static_cast<I8>(m_priority)});
    }
    JobArray* First()
    {
        m_index = 0;
        if (m_pLists)
            return m_newestFirst ? m_pLists->m_pNewest[m_priority] : m_pLists->m_pOldest[m_priority];
        return Sched().m_numRegisteredJobArrays.load(std::memory_order_relaxed)
                   ? Sched().m_registeredJobArrays[0]
                   : nullptr;
    }
    JobArray* Next(const JobArray* pJobArray)
    {
        if (m_pLists)
            return m_newestFirst ? pJobArray->m_pOlder : pJobArray->m_pNewer;
        ++m_index;
        return m_index < Sched().m_numRegisteredJobArrays.load(std::memory_order_relaxed)
                   ? Sched().m_registeredJobArrays[m_index]
                   : nullptr;
    }
    void Remove(JobArray* pJobArray)
    {
        if (!m_pLists)
        {
            const bool unregistered = UnregisterJobArrayNoLock(g_pJobSysData->m_pSchedData, pJobArray);
            OX_JOB_ASSERT(unregistered);
            return;
        }
        UnlinkWorkerJobArray(*m_pLists, pJobArray);
    }

private:
    SchedulingData& Sched() const { return g_pJobSysData->m_pSchedData[m_priority]; }

    U64 m_priority = 0;
    WorkerJobLists* m_pLists = nullptr;
    bool m_newestFirst = false;
    U64 m_index = 0;
};

// Takes from the first array of the list that has work for the worker: its next job, or
// the array itself when it is empty or waits for its dependency. Under worker-local lists
// an array also leaves its list with its last job (and is freed by the caller), so that no
// later pick walks over it.
bool TakeFromArrayList(ArrayListWalk& walk, const PickContext& pick, JobArray** ppJobArrayToFree,
                       JobArray** ppJobArrayToPark, RunnableJob& job)
{
    walk.Lock();
    for (JobArray* pJobArray = walk.First(); pJobArray; pJobArray = walk.Next(pJobArray))
    {
        const ArrayStep step = ExamineJobArray(pJobArray, pick);
        if (step == ArrayStep::kPass)
            continue;
        if (step == ArrayStep::kTake)
        {
            TakeNextJob(pJobArray, job);
            if (pJobArray->m_jobQueue.m_count != 0 || !g_pJobSysData->m_workerLocalLists)
            {
                walk.Unlock();
                return true;
            }
        }
        (step == ArrayStep::kPark ? *ppJobArrayToPark : *ppJobArrayToFree) = pJobArray;
        walk.Remove(pJobArray);
        walk.Unlock();
        return true;
    }
    walk.Unlock();
    return false;
}

bool TakeWokenUpJob(SchedulingData& schedData, U64 priority, const PickContext& pick, RunnableJob& job)
{
    if (schedData.m_numWokenUpJobs.load(std::memory_order_relaxed) == 0)
        return false;
    SchedulingDataLockJanitor janitor(Priority{static_cast<I8>(priority)}, "ChooseJobToRun", true);
    const U64 numWokenUp = schedData.m_numWokenUpJobs.load(std::memory_order_relaxed);
    for (U64 i = 0; i < numWokenUp; ++i)
    {
        RunnableJob& candidate = schedData.m_wokenUpJobs[i];
        if (!IsEligible(candidate.m_affinityMask, candidate.m_readyTime, pick.m_bit, pick.m_isEmergency,
                        pick.m_delay, pick.m_now))
            continue;
        OX_JOB_ASSERT((!candidate.m_jobDecl.m_dependentCounter && !candidate.m_jobDecl.m_dependentCounter2) ||
                      (candidate.m_jobDecl.m_flags & kRecheckDependencyOnResume));
        job = candidate;
        if (i != numWokenUp - 1)
            candidate = schedData.m_wokenUpJobs[numWokenUp - 1];
        schedData.m_numWokenUpJobs.store(numWokenUp - 1, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// Takes a woken job of the priority from a worker's own slots (worker-local lists).
bool TakeWorkerWokenUpJob(U64 ownerIndex, U64 priority, const PickContext& pick, RunnableJob& job)
{
    JobSysData& data = *g_pJobSysData;
    WorkerJobLists& lists = data.m_workerJobLists[ownerIndex];
    if (lists.m_numWokenUpJobs.load(std::memory_order_relaxed) == 0)
        return false;
    OX_ATOMIC_LOCK_ACQUIRE(lists.m_lock);
    const U32 numWokenUp = lists.m_numWokenUpJobs.load(std::memory_order_relaxed);
    for (U32 i = 0; i < numWokenUp; ++i)
    {
        RunnableJob& candidate = lists.m_wokenUpJobs[i];
        if (static_cast<U64>(static_cast<U8>(candidate.m_priority)) != priority ||
            !IsEligible(candidate.m_affinityMask, candidate.m_readyTime, pick.m_bit, pick.m_isEmergency,
                        pick.m_delay, pick.m_now))
            continue;
        job = candidate;
        if (i != numWokenUp - 1)
            candidate = lists.m_wokenUpJobs[numWokenUp - 1];
        lists.m_numWokenUpJobs.store(numWokenUp - 1, std::memory_order_relaxed);
        data.m_pSchedData[priority].m_numLocalWokenUpJobs.fetch_sub(1, std::memory_order_relaxed);
        lists.m_lock.Release();
        return true;
    }
    lists.m_lock.Release();
    return false;
}

// Chooses the worker's next piece of work, lowest priority number first. At each priority:
// woken-up jobs (under worker-local lists its own first, then the shared ones, then those
// other workers woke), then (worker-local lists) the worker's own arrays newest first, then the
// shared list, then (worker-local lists) the other workers' arrays, oldest first.
bool ChooseJobToRun(U64 workerIndex, SchedulingData* pSchedData, JobArray** ppJobArrayToFree,
                    JobArray** ppJobArrayToPark, RunnableJob& job)
{
    OX_JOB_ASSERT(workerIndex < kMaxWorkerThreads);
    const JobSysData& data = *g_pJobSysData;
    WorkerThreadContext& context = WorkerContext(workerIndex);
    const Priority beginPriority = context.m_beginPriority.load(std::memory_order_relaxed);
    const Priority endPriority = context.m_endPriority.load(std::memory_order_relaxed);
    OX_JOB_ASSERT(beginPriority > Priority::kInvalid && beginPriority <= Priority::kNumPriorities);
    OX_JOB_ASSERT(endPriority > Priority::kInvalid && endPriority <= Priority::kNumPriorities);
    PickContext pick;
    pick.m_workerIndex = workerIndex;
    pick.m_bit = 1ull << workerIndex;
    pick.m_isEmergency = context.m_isEmergency;
    pick.m_now = pick.m_isEmergency ? GetTimeNow() : 0;
    pick.m_delay = pick.m_isEmergency ? EmergencyDelayTicks() : 0;
    const bool local = data.m_workerLocalLists;
    const U64 numWorkers = data.m_numWorkerThreads;

    for (U64 p = static_cast<U64>(beginPriority); p < static_cast<U64>(endPriority); ++p)
    {
        SchedulingData& schedData = pSchedData[p];
        // Each list is looked at without its lock first: most are empty at most priorities.
        auto take = [&](ArrayListWalk walk) {
            return walk.MayHoldArrays() &&
                   TakeFromArrayList(walk, pick, ppJobArrayToFree, ppJobArrayToPark, job);
        };
        // Woken jobs: the ones this worker woke, the shared ones, the ones others woke.
        if (local && TakeWorkerWokenUpJob(workerIndex, p, pick, job))
            return true;
        if (TakeWokenUpJob(schedData, p, pick, job))
            return true;
        if (local && schedData.m_numLocalWokenUpJobs.load(std::memory_order_relaxed) > 0)
            for (U64 i = 1; i < numWorkers; ++i)
                if (TakeWorkerWokenUpJob((workerIndex + i) % numWorkers, p, pick, job))
                    return true;
        if (local && take(ArrayListWalk::Worker(p, workerIndex, true)))
            return true;
        if (take(ArrayListWalk::Shared(p)))
            return true;
        if (!local || schedData.m_numLocalJobArrays.load(std::memory_order_relaxed) == 0)
            continue;
        for (U64 i = 1; i < numWorkers; ++i)
            if (take(ArrayListWalk::Worker(p, (workerIndex + i) % numWorkers, false)))
                return true;
    }
    return false;
}

// The push counts of the worker's priorities and its range in one figure: it changes
// whenever work is pushed at one of them or the range changes.
U64 IdleSignature(const WorkerThreadContext& context)
{
    const JobSysData& data = *g_pJobSysData;
    const I32 begin = static_cast<I32>(context.m_beginPriority.load(std::memory_order_relaxed));
    const I32 end = static_cast<I32>(context.m_endPriority.load(std::memory_order_relaxed));
    U64 signature =
        (static_cast<U64>(static_cast<U8>(begin)) << 48) | (static_cast<U64>(static_cast<U8>(end)) << 56);
    for (I32 p = begin; p < end; ++p)
        signature += data.m_pSchedData[p].m_pushCount.load(std::memory_order_acquire);
    return signature;
}

bool IsWorkVisible(U64 workerIndex)
{
    const JobSysData& data = *g_pJobSysData;
    if (data.m_fiberSwitchJobs[workerIndex].m_jobDecl.m_pStartFunc)
        return true;
    const WorkerThreadContext& context = WorkerContext(workerIndex);
    const I32 begin = static_cast<I32>(context.m_beginPriority.load(std::memory_order_relaxed));
    const I32 end = static_cast<I32>(context.m_endPriority.load(std::memory_order_relaxed));
    bool visible = false;
    // Acquire: a count that shows new work comes with the push count of that work.
    for (I32 p = begin; p < end && !visible; ++p)
        visible = data.m_pSchedData[p].m_numWokenUpJobs.load(std::memory_order_acquire) ||
                  data.m_pSchedData[p].m_numRegisteredJobArrays.load(std::memory_order_acquire) ||
                  data.m_pSchedData[p].m_numLocalJobArrays.load(std::memory_order_acquire) ||
                  data.m_pSchedData[p].m_numLocalWokenUpJobs.load(std::memory_order_acquire);
    // Work this worker has already found it may not take is not work for it. Emergency
    // workers look again all the same: the work they wait for becomes theirs with time.
    if (visible && context.m_hasIdleSignature && !context.m_isEmergency &&
        IdleSignature(context) == context.m_idleSignature)
        return false;
    return visible;
}

void WaitForJobs(oxsys::WaitableTimer* pTimer)
{
    JobSysData& data = *g_pJobSysData;
    const I64 workerIndexSigned = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerIndexSigned) < kMaxWorkerThreads);
    const U64 workerIndex = static_cast<U64>(workerIndexSigned);
    WorkerThreadContext& context = WorkerContext(workerIndex);
    U64 spinCount = 0;
    const U64 bit = 1ull << workerIndex;
    bool spinning = false;
    while (!data.m_requestShutdown.load(std::memory_order_relaxed))
    {
        if (IsWorkVisible(workerIndex))
            break;
        ++spinCount;
        context.m_activityStampFresh = false;
        if (!context.m_isEmergency)
        {
            if (!spinning)
            {
                // Sequentially consistent, then the next turn looks for work again: either
                // a waker sees this worker spin, or this worker sees the waker's work.
                data.m_spinningWorkers.fetch_or(bit, std::memory_order_seq_cst);
                spinning = true;
            }
            if (data.m_powerSaveEnabled.load(std::memory_order_relaxed) && spinCount > kIdleSpinsBeforeSleep)
            {
                // No longer counted as awake: the sleep below looks for work once more
                // after its flag is set, so work pushed meanwhile is seen or wakes it.
                data.m_spinningWorkers.fetch_and(~bit, std::memory_order_seq_cst);
                spinning = false;
                oxsys::Mutex& mutex = data.m_powerSaveMutexes[workerIndex];
                mutex.Lock();
                // The flag is set before the last look for work: a registration after that
                // look sees it and signals under this mutex, which the wait releases.
                data.m_workerSleeping[workerIndex].store(true, std::memory_order_seq_cst);
                std::atomic_thread_fence(std::memory_order_seq_cst);
                if (data.m_powerSaveEnabled.load(std::memory_order_relaxed) && !IsWorkVisible(workerIndex) &&
                    !data.m_requestShutdown.load(std::memory_order_relaxed))
                    data.m_powerSaveConditions[workerIndex].Wait(mutex, 10);
                data.m_workerSleeping[workerIndex].store(false, std::memory_order_relaxed);
                mutex.Unlock();
            }
            else
            {
                oxsys::CpuPause();
            }
        }
        else if (IsInTimeCriticalWorkPeriod())
        {
            oxsys::YieldThread();
        }
        else if (pTimer)
        {
            const bool result = oxsys::SetWaitableTimer(*pTimer, -5000);
            if (!result)
            {
                const U32 error = oxsys::GetLastPlatformError();
                OX_JOB_ASSERT_MSG(result, "Emergency worker SetWaitableTimer failed: %s (0x%08X)",
                                  ErrFromPlatformError(error).GetErrorString(), error);
            }
            oxsys::WaitForTimerOrEvent(*pTimer, data.m_timeCriticalWorkEvent);
        }
        else
        {
            oxsys::WaitForEvent(data.m_timeCriticalWorkEvent, 1);
        }
        if (workerIndex % 4 == 0 && IsDeadlockDetectionEnabled())
            WatchForDeadlock(workerIndex);
    }
    if (spinning)
        data.m_spinningWorkers.fetch_and(~bit, std::memory_order_relaxed);
}

void ExecuteJob(RunnableJob& runnableJob)
{
    OX_JOB_ASSERT(!runnableJob.m_pActiveFiber);
    const I64 workerThreadIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerThreadIndex) < kMaxWorkerThreads);
    const bool trackActivity = !(runnableJob.m_jobDecl.m_flags & kNoActivityTracking);
    WorkerThreadContext& startContext = WorkerContext(static_cast<U64>(workerThreadIndex));
    if (trackActivity && !startContext.m_activityStampFresh)
        NoteWorkerActivity(static_cast<U64>(workerThreadIndex));
    startContext.m_activityStampFresh = false;

    if (runnableJob.m_jobDecl.m_pStartFunc)
    {
        OX_JOB_ASSERT(runnableJob.m_affinityMask);
        OX_JOB_ASSERT(runnableJob.m_affinityMask & (1ULL << workerThreadIndex));
        WorkerThreadContext& context = WorkerContext(static_cast<U64>(workerThreadIndex));
        context.m_activeJob = runnableJob;
        if (runnableJob.m_jobDecl.m_flags & kLockToStartingWorker)
            context.m_activeJob.m_affinityMask = 1ull << workerThreadIndex;
        BeginJobProfileEvent(runnableJob.m_jobDecl);
        SetJobLocalStorage(kJlsIndexJobId, kJlsIdJobId, runnableJob.m_jobId);
        SetJobLocalStorage(kJlsIndexWorkerIndex, kJlsIdWorkerIndex, static_cast<U64>(workerThreadIndex));

        TraceJob(kJobTraceStartJob, runnableJob);
        runnableJob.m_jobDecl.m_pStartFunc(runnableJob.m_jobDecl.m_startArg);
        TraceJob(kJobTraceCompleteJob, runnableJob);

        // The job may have been suspended and resumed on another worker.
        const U64 finalWorkerIndex = static_cast<U64>(ReadWorkerIndex());
        OX_JOB_ASSERT(finalWorkerIndex < kMaxWorkerThreads);
        EndProfileEvent();
        WorkerContext(finalWorkerIndex).m_activeJob.Reset();
        ResetJobLocalStorage();
        if (trackActivity)
        {
            NoteWorkerActivity(finalWorkerIndex);
            WorkerContext(finalWorkerIndex).m_activityStampFresh = true;
        }
    }

    if (Counter* pCounter = runnableJob.m_jobDecl.m_associatedCounter)
        ChangeCounterValue(pCounter, -1, false);
}

// As many sleeping workers as the array has jobs, of those that may run them: waking
// every sleeper for a few jobs made most of them find nothing, spin and sleep again.
void AnnounceJobArray(Priority priority, U64 numJobs, U64 affinityMask)
{
    if (IsTimeCriticalPriority(priority))
        NotifyTimeCriticalWork();
    else
        WakeUpSleepingWorkers(numJobs, priority, affinityMask);
}

// Wake-ups go to as many sleepers as there is new work, less the workers awake and looking
// for work; a woken or spinning worker may still take other work, or a worker may go to
// sleep while work remains. So a worker that took work while more is queued at any
// priority it serves wakes one more sleeper (power save only).
void PassOnWakeUp(U64 workerIndex)
{
    const JobSysData& data = *g_pJobSysData;
    if (!data.m_powerSaveEnabled.load(std::memory_order_relaxed))
        return;
    const WorkerThreadContext& context = WorkerContext(workerIndex);
    const I32 begin = static_cast<I32>(context.m_beginPriority.load(std::memory_order_relaxed));
    const I32 end = static_cast<I32>(context.m_endPriority.load(std::memory_order_relaxed));
    for (I32 p = begin; p < end; ++p)
    {
        const SchedulingData& schedData = data.m_pSchedData[p];
        if (schedData.m_numWokenUpJobs.load(std::memory_order_relaxed) > 0 ||
            schedData.m_numRegisteredJobArrays.load(std::memory_order_relaxed) > 0 ||
            schedData.m_numLocalJobArrays.load(std::memory_order_relaxed) > 0 ||
            schedData.m_numLocalWokenUpJobs.load(std::memory_order_relaxed) > 0)
        {
            WakeUpSleepingWorkers(1, Priority{static_cast<I8>(p)}, ~0ull);
            return;
        }
    }
}
} // namespace

void BeginJobProfileEvent(const JobDecl& jobDecl)
{
    if (GetProfileEventBlock())
        BeginProfileEvent(ProfileEventColorForJobFlags(static_cast<U32>(jobDecl.m_flags)),
                          GetJobName(&jobDecl));
}

void NoteWorkerActivity(U64 workerIndex)
{
    g_pJobSysData->m_lastActivityTime[workerIndex].store(GetTimeNow(), std::memory_order_relaxed);
}

void ScheduleCommittedJobArray(JobArray* pJobArray)
{
    JobSysData& data = *g_pJobSysData;
    const U8 worker = pJobArray->m_submitWorkerIndex;
    bool ownList = data.m_workerLocalLists && worker != kNoSubmitWorker &&
                   (pJobArray->m_affinityMask & (1ull << worker));
    if (ownList)
    {
        // Only work the committing worker may run itself goes to its own list: work of a
        // priority outside its range would wait there for thieves.
        const WorkerThreadContext& context = WorkerContext(worker);
        ownList = pJobArray->m_priority >= context.m_beginPriority.load(std::memory_order_relaxed) &&
                  pJobArray->m_priority < context.m_endPriority.load(std::memory_order_relaxed);
    }
    if (!ownList)
    {
        SchedulingDataLockJanitor janitor(pJobArray->m_priority, "RegisterJobArray", true);
        RegisterJobArrayNoLock(data.m_pSchedData, pJobArray, true);
        return;
    }
    OX_JOB_ASSERT_MSG(IsValidPriority(pJobArray->m_priority), "Invalid priority %d",
                      static_cast<int>(pJobArray->m_priority));
    WorkerJobLists& lists = data.m_workerJobLists[worker];
    OX_ATOMIC_LOCK_ACQUIRE(lists.m_lock);
    LinkWorkerJobArray(lists, worker, pJobArray);
    // Read before the lock is released: from then on another worker may take the array's
    // jobs and free it.
    const Priority priority = pJobArray->m_priority;
    const U64 numJobs = static_cast<U64>(pJobArray->m_jobQueue.m_count);
    const U64 affinityMask = pJobArray->m_affinityMask;
    lists.m_lock.Release();
    AnnounceJobArray(priority, numJobs, affinityMask);
}

bool ScheduleWokenUpJobOnWaker(const RunnableJob& job)
{
    JobSysData& data = *g_pJobSysData;
    if (!data.m_workerLocalLists)
        return false;
    const I64 waker = ReadWorkerIndex();
    if (static_cast<U64>(waker) >= kMaxWorkerThreads || !(job.m_affinityMask & (1ull << waker)))
        return false;
    const WorkerThreadContext& context = WorkerContext(static_cast<U64>(waker));
    if (job.m_priority < context.m_beginPriority.load(std::memory_order_relaxed) ||
        job.m_priority >= context.m_endPriority.load(std::memory_order_relaxed))
        return false;
    const JobDecl& decl = job.m_jobDecl;
    OX_JOB_ASSERT(!decl.m_dependentCounter || (decl.m_flags & kRecheckDependencyOnResume));
    OX_JOB_ASSERT(!decl.m_dependentCounter2 || (decl.m_flags & kRecheckDependencyOnResume));
    WorkerJobLists& lists = data.m_workerJobLists[waker];
    OX_ATOMIC_LOCK_ACQUIRE(lists.m_lock);
    const U32 count = lists.m_numWokenUpJobs.load(std::memory_order_relaxed);
    if (count == kWorkerWokenUpSlots)
    {
        lists.m_lock.Release();
        return false;
    }
    lists.m_wokenUpJobs[count] = job;
    lists.m_numWokenUpJobs.store(count + 1, std::memory_order_relaxed);
    SchedulingData& schedData = data.m_pSchedData[static_cast<U8>(job.m_priority)];
    // As for the shared list: the count first, sequentially consistent, then the push count.
    schedData.m_numLocalWokenUpJobs.fetch_add(1, std::memory_order_seq_cst);
    schedData.m_pushCount.fetch_add(1, std::memory_order_release);
    lists.m_lock.Release();
    return true;
}

void LockWorkerJobLists()
{
    JobSysData& data = *g_pJobSysData;
    for (U64 w = 0; w < data.m_numWorkerThreads; ++w)
        OX_ATOMIC_LOCK_ACQUIRE(data.m_workerJobLists[w].m_lock);
}

void UnlockWorkerJobLists()
{
    JobSysData& data = *g_pJobSysData;
    for (U64 w = data.m_numWorkerThreads; w > 0; --w)
        data.m_workerJobLists[w - 1].m_lock.Release();
}

void FreeJobArray(JobArray* pJobArray)
{
    JobSysData& data = *g_pJobSysData;
    data.m_jobArrayLock.Lock("FreeJobArray");
    OX_JOB_ASSERT(g_pJobSysData->m_initParams.m_numJobArrays);
    data.m_jobDeclAllocator.Free(pJobArray->m_pJobDeclBuffer);
    const U64 index = data.m_jobArrayPool.IndexOf(pJobArray);
    OX_JOB_ASSERT(index < kMaxSupportedJobArrays);
    pJobArray->m_jobQueue.m_head = 0;
    pJobArray->m_jobQueue.m_tail = 0;
    pJobArray->m_jobQueue.m_count = 0;
    data.m_jobArrayPool.m_storage.ClearBit(index);
    data.m_jobArrayLock.Unlock();
}

bool CheckAndUpdatePreConditions(RunnableJob& job)
{
    JobDecl& decl = job.m_jobDecl;
    auto check = [&decl](Counter*& pCounter, I64& value, U32 compare, bool second)
    {
        if (!pCounter)
            return;
        if (value != 0 && pCounter->m_waitRestriction == kWaitForZeroOnly)
            OX_JOB_ASSERT_FAIL(
                "Job '%s' has a dependent counter and a non-zero dep value. However, this counter [%s:%d] "
                "can only be waited on to become '0' (WaitRestriction)",
                GetJobName(&decl), pCounter->m_sourceFile, static_cast<int>(pCounter->m_sourceLine));
        if (IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire), value, compare))
        {
            pCounter = nullptr;
            value = 0;
            if (second)
                decl.m_dependentCompare2 = 0;
            else
                decl.m_dependentCompare = 0;
        }
    };
    check(decl.m_dependentCounter, decl.m_dependentValue, decl.m_dependentCompare, false);
    check(decl.m_dependentCounter2, decl.m_dependentValue2, decl.m_dependentCompare2, true);
    return !decl.m_dependentCounter && !decl.m_dependentCounter2;
}

bool RegisterJobArrayNoLock(SchedulingData* pSchedData, JobArray* pJobArray, bool addToBack)
{
    OX_JOB_ASSERT_MSG(IsValidPriority(pJobArray->m_priority), "Invalid priority %d",
                      static_cast<int>(pJobArray->m_priority));
    OX_JOB_ASSERT(!pJobArray->m_jobQueue.IsEmpty());
    SchedulingData* pShedData = &pSchedData[static_cast<U8>(pJobArray->m_priority)];
    const U64 count = pShedData->m_numRegisteredJobArrays.load(std::memory_order_relaxed);
    {
        SchedulingData* pSchedData = pShedData;
        OX_JOB_ASSERT((pSchedData->m_numRegisteredJobArrays < kMaxSupportedJobArrays));
    }
    if (addToBack)
    {
        pShedData->m_registeredJobArrays[count] = pJobArray;
    }
    else
    {
        for (U64 i = count; i > 0; --i)
            pShedData->m_registeredJobArrays[i] = pShedData->m_registeredJobArrays[i - 1];
        pShedData->m_registeredJobArrays[0] = pJobArray;
    }
    pShedData->m_numRegisteredJobArrays.store(count + 1, std::memory_order_seq_cst);
    // After the count: a worker whose figure includes this push sees the work too.
    pShedData->m_pushCount.store(pShedData->m_pushCount.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_release);

    AnnounceJobArray(pJobArray->m_priority, static_cast<U64>(pJobArray->m_jobQueue.m_count),
                     pJobArray->m_affinityMask);
    return true;
}

bool UnregisterJobArrayNoLock(SchedulingData* pSchedData, JobArray* pJobArray)
{
    OX_JOB_ASSERT_MSG(IsValidPriority(pJobArray->m_priority), "Invalid priority %d",
                      static_cast<int>(pJobArray->m_priority));
    SchedulingData& schedData = pSchedData[static_cast<U8>(pJobArray->m_priority)];
    const U64 count = schedData.m_numRegisteredJobArrays.load(std::memory_order_relaxed);
    bool jobListFound = false;
    for (U64 i = 0; i < count; ++i)
    {
        if (schedData.m_registeredJobArrays[i] != pJobArray)
            continue;
        for (U64 j = i + 1; j < count; ++j)
            schedData.m_registeredJobArrays[j - 1] = schedData.m_registeredJobArrays[j];
        schedData.m_registeredJobArrays[count - 1] = nullptr;
        schedData.m_numRegisteredJobArrays.store(count - 1, std::memory_order_relaxed);
        jobListFound = true;
        break;
    }
    OX_JOB_ASSERT(jobListFound);
    return jobListFound;
}

void WakeUpSleepingWorkers(U64 maxToWake, Priority priority, U64 affinityMask)
{
    JobSysData& data = *g_pJobSysData;
    if (maxToWake == 0 || !data.m_powerSaveEnabled.load(std::memory_order_relaxed))
        return;
    // Pairs with the fence of a worker going to sleep: either it sees the new work, or
    // this sees its asleep flag. The same for a worker that starts to spin.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    auto serves = [priority](U64 workerIndex)
    {
        if (priority == Priority::kInvalid)
            return true;
        const WorkerThreadContext& context = WorkerContext(workerIndex);
        return priority >= context.m_beginPriority.load(std::memory_order_relaxed) &&
               priority < context.m_endPriority.load(std::memory_order_relaxed);
    };
    // Workers awake and looking for work that may run it take it without a wake-up: waking
    // a sleeper besides them, with more workers than cores, made the threads queue for the
    // cores at every hand-over.
    for (U64 spinners = data.m_spinningWorkers.load(std::memory_order_relaxed) & affinityMask;
         spinners && maxToWake > 0; spinners &= spinners - 1)
        if (serves(static_cast<U64>(__builtin_ctzll(spinners))))
            --maxToWake;
    for (U64 i = 0; i < data.m_numWorkerThreads && maxToWake > 0; ++i)
    {
        if (!(affinityMask & (1ull << i)) || !data.m_workerSleeping[i].load(std::memory_order_relaxed))
            continue;
        if (!serves(i))
            continue;
        data.m_powerSaveMutexes[i].Lock();
        // Cleared by the waker, so that the next wake-up passes this worker by and wakes
        // another one.
        const bool wasAsleep = data.m_workerSleeping[i].exchange(false, std::memory_order_relaxed);
        data.m_powerSaveConditions[i].Signal();
        data.m_powerSaveMutexes[i].Unlock();
        if (wasAsleep)
            --maxToWake;
    }
}

void DoJobScheduling(JobFiberState& fiberState)
{
    JobSysData& data = *g_pJobSysData;
    oxsys::WaitableTimer& timer = fiberState.m_timer;
    oxsys::WaitableTimer* pTimer = &timer;
    if (!oxsys::CreateHighResolutionWaitableTimer(timer))
    {
        const U32 error = oxsys::GetLastPlatformError();
        SetMsgOutputTextColor(GetActiveMsgOutput(), 0x21);
        PrintToActiveMsgOutput(
            "Failed to create high-resolution time-critical waitable timer. Are we running on an "
            "old version of Windows or under Proton?: %s (0x%08X)\n",
            ErrFromPlatformError(error).GetErrorString(), error);
        const bool hTimer = oxsys::CreateWaitableTimer(timer);
        OX_JOB_ASSERT(hTimer);
    }

    while (!data.m_requestShutdown.load(std::memory_order_relaxed))
    {
        WaitForJobs(pTimer);
        if (data.m_requestShutdown.load(std::memory_order_relaxed))
            break;
        RunnableJob job;
        job.Reset();
        JobArray* pJobArrayToFree = nullptr;
        JobArray* pJobArrayToPark = nullptr;
        const I64 workerIndex = ReadWorkerIndex();
        OX_JOB_ASSERT(static_cast<U64>(workerIndex) < kMaxWorkerThreads);
        WorkerThreadContext& context = WorkerContext(static_cast<U64>(workerIndex));
        // Taken before the pick, so that work pushed during it changes the figure.
        const U64 signature = IdleSignature(context);
        if (!ChooseFiberSwitchJob(static_cast<U64>(workerIndex), job) &&
            !ChooseJobToRun(static_cast<U64>(workerIndex), data.m_pSchedData, &pJobArrayToFree,
                            &pJobArrayToPark, job))
        {
            context.m_idleSignature = signature;
            context.m_hasIdleSignature = true;
            continue;
        }
        context.m_hasIdleSignature = false;
        // Under worker-local lists an array leaves with its last job: both come back.
        const bool hasJob = job.m_priority != Priority::kInvalid;
        if (hasJob)
        {
            // A fresh job from an array still needs its id (see TakeNextJob).
            if (job.m_jobId == 0)
                job.m_jobId = GenerateJobId();
            PassOnWakeUp(static_cast<U64>(workerIndex));
        }

        if (pJobArrayToFree)
        {
            FreeJobArray(pJobArrayToFree);
            if (!hasJob)
                continue;
        }
        if (pJobArrayToPark)
        {
            AddWaitingJobArray(pJobArrayToPark);
            continue;
        }
        bool ok = CheckAndUpdatePreConditions(job);
        if (!ok)
            ok = AddJobToWaitData(job);
        if (!ok)
            continue;
        if (job.m_pActiveFiber)
        {
            ResumeJob(job);
            continue;
        }
        const bool needsLargeStack = (job.m_jobDecl.m_flags & kLargeStack) != 0;
        if (!job.m_jobDecl.m_pStartFunc ||
            WorkerContext(static_cast<U64>(workerIndex)).m_isLargeStackFiber == needsLargeStack ||
            !SwitchFiberDueToStackSize(job))
            ExecuteJob(job);
    }
}
} // namespace oxjob
