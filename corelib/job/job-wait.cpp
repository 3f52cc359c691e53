// The wait data (jobs waiting on counters, job arrays parked on their dependency), the
// wake-up that runs when a counter changes, and the move of woken work into the
// per-priority lists.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-trace.h"

namespace oxjob
{
namespace
{
// Up to this many woken jobs move per taking of the wake-up lock.
constexpr U64 kWokenUpJobBatch = 8;
// Woken jobs that a wake-up moves into the priority lists itself (they live on the
// waking thread's stack, which may be a 16 KiB job fiber's: keep it small).
constexpr U64 kDirectWokenUpJobs = 2;

// A dependency is satisfied now when it has no counter, or its counter is the one that
// changed and the new value meets it. A job that tests its dependencies again before it
// runs keeps the one met first while it waits for the other, so for such a job a
// dependency on another counter is judged by that counter's current value; otherwise a
// change of the second counter would never wake it.
bool IsSatisfiedNow(const Counter* pDependency, const Counter* pCounter, I64 target, U32 compare,
                    I64 newValue, bool recheck)
{
    if (!pDependency)
        return true;
    if (pDependency == pCounter)
        return IsDependencyMet(newValue, target, compare);
    return recheck && IsDependencyMet(pDependency->m_value.load(std::memory_order_acquire), target, compare);
}

void RemoveWaitingJob(JobSysData& data, U64 index)
{
    const U64 last = data.m_numWaitingJobs.load(std::memory_order_relaxed) - 1;
    if (index != last)
    {
        data.m_pWaitingJobs[index] = data.m_pWaitingJobs[last];
        data.m_pWaitKeys[index] = data.m_pWaitKeys[last];
    }
    data.m_numWaitingJobs.store(last, std::memory_order_relaxed);
}

// Moves a woken job into its priority's list (or, under worker-local lists, keeps it on
// the worker that woke it) and wakes a sleeping worker that may resume
// it (the one it is locked to, for a job that must continue where it started); a
// time-critical job is announced by the caller once, through anyTimeCritical.
void ScheduleWokenUpJob(const RunnableJob& job, bool& anyTimeCritical)
{
    if (!ScheduleWokenUpJobOnWaker(job))
    {
        SchedulingDataLockJanitor janitor(job.m_priority, "ScheduleWokenUpJobNoLock", true);
        ScheduleWokenUpJobNoLock(job);
    }
    if (IsTimeCriticalPriority(job.m_priority))
        anyTimeCritical = true;
    else
        WakeUpSleepingWorkers(1, job.m_priority, job.m_affinityMask);
}
} // namespace

bool AddJobToWaitData(RunnableJob& jobToSuspend)
{
    JobSysData& data = *g_pJobSysData;
    OX_JOB_ASSERT(jobToSuspend.m_jobDecl.m_dependentCounter || jobToSuspend.m_jobDecl.m_dependentCounter2);
    OX_JOB_ASSERT_MSG(!(jobToSuspend.m_pActiveFiber && (jobToSuspend.m_jobDecl.m_flags & kDisallowSleep)),
                      "This job (%s) is not allowed to sleep", GetJobName(&jobToSuspend.m_jobDecl));
    data.m_waitLock.Lock("AddJobToWaitData");
    {
        JobSysData* pWaitData = &data;
        OX_JOB_ASSERT(pWaitData->m_numWaitingJobs < kMaxWaitingJobs);
    }
    if (CheckAndUpdatePreConditions(jobToSuspend))
    {
        data.m_waitLock.Unlock();
        return true;
    }
    const U64 index = data.m_numWaitingJobs.load(std::memory_order_relaxed);
    data.m_pWaitingJobs[index] = jobToSuspend;
    data.m_pWaitKeys[index] =
        WaitKey{static_cast<U32>(reinterpret_cast<UPtr>(jobToSuspend.m_jobDecl.m_dependentCounter)),
                static_cast<U32>(reinterpret_cast<UPtr>(jobToSuspend.m_jobDecl.m_dependentCounter2))};
    data.m_numWaitingJobs.store(index + 1, std::memory_order_relaxed);
    TraceJob(kJobTraceSleepJob, jobToSuspend, jobToSuspend.m_jobDecl.m_dependentCounter,
             jobToSuspend.m_jobDecl.m_dependentValue);
    data.m_waitLock.Unlock();
    return false;
}

void AddWaitingJobArray(JobArray* pJobArray)
{
    JobSysData& data = *g_pJobSysData;
    data.m_waitLock.Lock("AddWaitingJobArray");
    Counter* pCounter = pJobArray->m_pDependentCounter;
    if (!pCounter || !IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire),
                                      pJobArray->m_dependentValue, pJobArray->m_dependentCompare))
    {
        RecordPool<kMaxWaitContexts, WaitContext>& pool = data.m_waitContextPool;
        const I64 index = pool.m_storage.FindFirstClearBit();
        WaitContext* pNewWaitContext = index >= 0 ? &pool.m_pRecords[index] : nullptr;
        OX_JOB_ASSERT(pNewWaitContext);
        pool.m_storage.SetBit(static_cast<U64>(index));
        pNewWaitContext->m_pJobArray = pJobArray;
        pNewWaitContext->m_pNext = data.m_pWaitingJobArrays;
        data.m_pWaitingJobArrays = pNewWaitContext;
        data.m_numWaitingJobArrays.store(data.m_numWaitingJobArrays.load(std::memory_order_relaxed) + 1,
                                         std::memory_order_relaxed);
        data.m_waitLock.Unlock();
        return;
    }
    data.m_waitLock.Unlock();
    pJobArray->m_pDependentCounter = nullptr;
    pJobArray->m_dependentValue = 0;
    pJobArray->m_dependentCompare = 0;
    RegisterJobArray(pJobArray, false);
}

// When a wake-up ring is full, the woken item goes straight into its priority's list
// (wait lock -> wake-up lock -> priority lock is an order nothing reverses), so no woken
// job or array is ever dropped.
//
// The first few woken jobs (most counters release one waiter) do not pass through the
// ring: they are kept here and moved into their priorities' lists once the wait lock is
// released, which saves two takings of the wake-up lock and two copies per wake-up. Only
// what goes through the rings is left for ScheduleWokenUpJobs.
bool WakeUpWaitingJobs(Counter* pCounter, I64 newValue)
{
    OX_JOB_ASSERT(pCounter);
    JobSysData& data = *g_pJobSysData;
    RunnableJob directJobs[kDirectWokenUpJobs];
    U64 numDirectJobs = 0;
    data.m_waitLock.Lock("WakeUpWaitingJobs");
    bool wakeUpLocked = false;
    bool directTimeCritical = false;
    const U32 key = static_cast<U32>(reinterpret_cast<UPtr>(pCounter));

    for (U64 i = 0; i < data.m_numWaitingJobs.load(std::memory_order_relaxed);)
    {
        const WaitKey waitKey = data.m_pWaitKeys[i];
        if (waitKey.m_counter1 != key && waitKey.m_counter2 != key)
        {
            ++i;
            continue;
        }
        JobDecl& decl = data.m_pWaitingJobs[i].m_jobDecl;
        const bool recheck = (decl.m_flags & kRecheckDependencyOnResume) != 0;
        const bool satisfied1 = IsSatisfiedNow(decl.m_dependentCounter, pCounter, decl.m_dependentValue,
                                               decl.m_dependentCompare, newValue, recheck);
        const bool satisfied2 = IsSatisfiedNow(decl.m_dependentCounter2, pCounter, decl.m_dependentValue2,
                                               decl.m_dependentCompare2, newValue, recheck);
        if (satisfied1 && !recheck)
        {
            decl.m_dependentCounter = nullptr;
            decl.m_dependentValue = 0;
            decl.m_dependentCompare = 0;
        }
        if (satisfied2 && !recheck)
        {
            decl.m_dependentCounter2 = nullptr;
            decl.m_dependentValue2 = 0;
            decl.m_dependentCompare2 = 0;
        }
        if (!(satisfied1 && satisfied2))
        {
            ++i;
            continue;
        }
        if (numDirectJobs < kDirectWokenUpJobs)
        {
            directJobs[numDirectJobs++] = data.m_pWaitingJobs[i];
            RemoveWaitingJob(data, i);
            i = 0;
            continue;
        }
        const RunnableJob job = data.m_pWaitingJobs[i];
        RemoveWaitingJob(data, i);
        if (!wakeUpLocked)
        {
            data.m_wakeUpLock.Lock("Adding a job to be woken up");
            wakeUpLocked = true;
        }
        if (!data.m_wokenUpJobs.IsFull())
        {
            data.m_wokenUpJobs.Push(job);
        }
        else
        {
            ScheduleWokenUpJob(job, directTimeCritical);
        }
        i = 0;
    }

    for (WaitContext** ppLink = &data.m_pWaitingJobArrays; *ppLink;)
    {
        WaitContext* pContext = *ppLink;
        JobArray* pJobArray = pContext->m_pJobArray;
        if (pJobArray->m_pDependentCounter != pCounter ||
            !IsDependencyMet(newValue, pJobArray->m_dependentValue, pJobArray->m_dependentCompare))
        {
            ppLink = &pContext->m_pNext;
            continue;
        }
        *ppLink = pContext->m_pNext;
        data.m_numWaitingJobArrays.store(data.m_numWaitingJobArrays.load(std::memory_order_relaxed) - 1,
                                         std::memory_order_relaxed);
        if (!wakeUpLocked)
        {
            data.m_wakeUpLock.Lock("Adding a job array to be woken up");
            wakeUpLocked = true;
        }
        if (!data.m_wokenUpJobArrays.IsFull())
        {
            data.m_wokenUpJobArrays.Push(pJobArray);
        }
        else
        {
            pJobArray->m_pDependentCounter = nullptr;
            pJobArray->m_dependentValue = 0;
            pJobArray->m_dependentCompare = 0;
            SchedulingDataLockJanitor janitor(pJobArray->m_priority, "RegisterJobArray", true);
            RegisterJobArrayNoLock(data.m_pSchedData, pJobArray, false);
        }
        const U64 contextIndex = data.m_waitContextPool.IndexOf(pContext);
        OX_JOB_ASSERT(contextIndex < kMaxWaitContexts);
        data.m_waitContextPool.m_storage.ClearBit(contextIndex);
        ppLink = &data.m_pWaitingJobArrays;
    }

    if (wakeUpLocked)
        data.m_wakeUpLock.Unlock();
    data.m_waitLock.Unlock();
    for (U64 j = 0; j < numDirectJobs; ++j)
        ScheduleWokenUpJob(directJobs[j], directTimeCritical);
    if (directTimeCritical)
        NotifyTimeCriticalWork();
    return wakeUpLocked;
}

void ScheduleWokenUpJobs()
{
    JobSysData& data = *g_pJobSysData;
    bool anyTimeCritical = false;
    for (;;)
    {
        bool movedAny = false;
        while (!data.m_wokenUpJobs.IsEmpty())
        {
            RunnableJob batch[kWokenUpJobBatch];
            U64 batchSize = 0;
            data.m_wakeUpLock.Lock("Scheduling woken up jobs");
            while (batchSize < kWokenUpJobBatch && !data.m_wokenUpJobs.IsEmpty())
                batch[batchSize++] = data.m_wokenUpJobs.Pop();
            data.m_wakeUpLock.Unlock();
            for (U64 i = 0; i < batchSize; ++i)
                ScheduleWokenUpJob(batch[i], anyTimeCritical);
            movedAny = movedAny || batchSize > 0;
        }
        while (!data.m_wokenUpJobArrays.IsEmpty())
        {
            JobArray* pJobArray = nullptr;
            data.m_wakeUpLock.Lock("Scheduling woken up job array");
            if (!data.m_wokenUpJobArrays.IsEmpty())
                pJobArray = data.m_wokenUpJobArrays.Pop();
            data.m_wakeUpLock.Unlock();
            if (!pJobArray)
                break;
            pJobArray->m_pDependentCounter = nullptr;
            pJobArray->m_dependentValue = 0;
            pJobArray->m_dependentCompare = 0;
            // Registration notifies the workers itself.
            RegisterJobArray(pJobArray, false);
            movedAny = true;
        }
        if (!movedAny)
            break;
    }
    if (anyTimeCritical)
        NotifyTimeCriticalWork();
}

void ScheduleWokenUpJobNoLock(const RunnableJob& job)
{
    const JobDecl& decl = job.m_jobDecl;
    OX_JOB_ASSERT(!decl.m_dependentCounter || (decl.m_flags & kRecheckDependencyOnResume));
    OX_JOB_ASSERT(!decl.m_dependentCounter2 || (decl.m_flags & kRecheckDependencyOnResume));
    SchedulingData* pShedData = &g_pJobSysData->m_pSchedData[static_cast<U8>(job.m_priority)];
    OX_JOB_ASSERT(pShedData->m_numWokenUpJobs < kMaxWaitingJobs);
    const U64 count = pShedData->m_numWokenUpJobs.load(std::memory_order_relaxed);
    pShedData->m_wokenUpJobs[count] = job;
    pShedData->m_numWokenUpJobs.store(count + 1, std::memory_order_seq_cst);
    // After the count: a worker whose figure includes this push sees the work too.
    pShedData->m_pushCount.store(pShedData->m_pushCount.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_release);
}
} // namespace oxjob
