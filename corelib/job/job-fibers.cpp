// Job fibers: the two pools, the switch protocol, suspending a job that waits or yields,
// resuming it (possibly on another worker) and moving a job to a fiber of the stack size
// it needs.
//
// Every switch between job fibers is made while holding the fiber-data lock, and the
// first thing the code does on the target fiber is to release it: a fiber that never ran
// releases it in its start function, a parked fiber right after the switch it was parked
// in. The lock passes from the fiber that switches away to the one that runs next, so the
// pools and the worker contexts are never seen half-changed, and no worker can resume a
// suspended job before its fiber has really stopped running.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-local-storage-internal.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-trace.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/system/profiler-events.h"
#include "corelib/util/msg.h"

#include <atomic>
#include <cstring>

namespace oxjob
{
namespace
{
I64 AllocateLargeJobFiber()
{
    JobSysData& data = *g_pJobSysData;
    const I64 clearBitIndex = data.m_largeFiberBits.FindFirstClearBit();
    if (clearBitIndex >= 0 && static_cast<U64>(clearBitIndex) < data.m_initParams.m_maxLargeJobFibers)
    {
        data.m_largeFiberBits.SetBit(static_cast<U64>(clearBitIndex));
        return clearBitIndex;
    }
    // Out of fibers: name every waiting job, then report.
    for (U64 i = 0; i < data.m_numWaitingJobs.load(std::memory_order_relaxed); ++i)
    {
        const RunnableJob& job = data.m_pWaitingJobs[i];
        PrintToActiveMsgOutput("Job %s [%lld] waiting (%s stack)\n", GetJobName(&job.m_jobDecl),
                               static_cast<long long>(job.m_jobId),
                               (job.m_jobDecl.m_flags & kLargeStack) ? "LARGE" : "small");
    }
    OX_JOB_ASSERT_AS_MSG(
        false, "clearBitIndex < g_pJobSysData->m_initParams.m_maxLargeJobFibers", "We ran out of fibers!%s",
        data.m_fibersOverflowed ? " (NOTE: small-stack fibers have overflowed into large-stack fibers)" : "");
    return -1;
}

// Copies the saved allocator stack back to the thread that now runs the job.
void RestoreAllocStack(Memory::AllocStack* pSaved)
{
    Memory::AllocStack* pAllocStack = Memory::GetThreadAllocStack();
    OX_JOB_ASSERT(pAllocStack);
    OX_JOB_ASSERT(pAllocStack->m_allocatorStackSize == 0);
    Memory::CopyAllocStack(pAllocStack, pSaved);
    Memory::FreeAllocStack(pSaved);
}

// Moves the thread's allocator entries to a stack of their own that travels with the job.
Memory::AllocStack* SaveAllocStack()
{
    Memory::AllocStack* pThreadStack = Memory::GetThreadAllocStack();
    if (!pThreadStack || pThreadStack->m_allocatorStackSize == 0)
        return nullptr;
    Memory::AllocStack* pSaved = Memory::AllocateAllocStack();
    OX_JOB_ASSERT(pSaved);
    Memory::CopyAllocStack(pSaved, pThreadStack);
    memset(pThreadStack->m_entries, 0,
           sizeof(Memory::AllocStack::Entry) * pThreadStack->m_allocatorStackSize);
    pThreadStack->m_allocatorStackSize = 0;
    return pSaved;
}

// Switches to fiber while holding the fiber-data lock; the lock comes back (released by
// the target) when some worker switches to the calling fiber again, and is released here.
void SwitchHoldingFiberLock(oxsys::Fiber& fiber)
{
    JobSystemLock& fiberLock = g_pJobSysData->m_fiberLock;
    fiberLock.HoldLeavesFiber();
    oxsys::SwitchToFiber(fiber);
    fiberLock.HoldJoinsFiber();
    RefreshRunningJobLocalStorage();
    g_pJobSysData->m_fiberLock.Unlock();
}

// The lock's marker says the counter was set up; its release rewrites it, so read it atomically.
bool IsCounterLockUsable(Counter* pCounter)
{
    return std::atomic_ref<U64>(pCounter->m_lock.m_marker).load(std::memory_order_relaxed) ==
           OxAtomicLock::kMarker;
}

void CheckMaySleep(const RunnableJob& job)
{
    OX_JOB_ASSERT_MSG(!(job.m_jobDecl.m_flags & kDisallowSleep), "This job (%s) is not allowed to sleep",
                      GetJobName(&job.m_jobDecl));
}
} // namespace

oxsys::Fiber* AllocateFiberForJobAndUpdateContext(bool needsLargeStack)
{
    JobSysData& data = *g_pJobSysData;
    const I64 workerIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerIndex) < kMaxWorkerThreads);
    WorkerThreadContext& context = WorkerContext(static_cast<U64>(workerIndex));
    OX_JOB_ASSERT(context.m_currentFiberIndex == -1);
    if (!needsLargeStack)
    {
        const I64 index = data.m_smallFiberBits.FindFirstClearBit();
        if (index >= 0 && static_cast<U64>(index) < data.m_initParams.m_maxSmallJobFibers)
        {
            data.m_smallFiberBits.SetBit(static_cast<U64>(index));
            context.m_currentFiberIndex = index;
            context.m_isLargeStackFiber = false;
            return &data.m_pSmallFibers[index];
        }
        data.m_fibersOverflowed = true;
    }
    const I64 index = AllocateLargeJobFiber();
    context.m_currentFiberIndex = index;
    context.m_isLargeStackFiber = true;
    return &data.m_pLargeFibers[index];
}

void FreeJobFiber(I64 fiberIndex, bool large)
{
    JobSysData& data = *g_pJobSysData;
    const U64 count = large ? data.m_initParams.m_maxLargeJobFibers : data.m_initParams.m_maxSmallJobFibers;
    OX_JOB_ASSERT(fiberIndex >= 0 && static_cast<U64>(fiberIndex) < count);
    if (large)
        data.m_largeFiberBits.ClearBit(static_cast<U64>(fiberIndex));
    else
        data.m_smallFiberBits.ClearBit(static_cast<U64>(fiberIndex));
}

bool SwitchFiberDueToStackSize(RunnableJob& job)
{
    JobSysData& data = *g_pJobSysData;
    data.m_fiberLock.Lock("SwitchFiberDueToStackSize");
    const U64 workerIndex = static_cast<U64>(ReadWorkerIndex());
    OX_JOB_ASSERT(workerIndex < kMaxWorkerThreads);
    WorkerThreadContext& context = WorkerContext(workerIndex);
    const bool needsLargeStack = (job.m_jobDecl.m_flags & kLargeStack) != 0;
    if (!needsLargeStack && context.m_isLargeStackFiber &&
        data.m_smallFiberBits.CountSetBits() == data.m_initParams.m_maxSmallJobFibers)
    {
        data.m_fiberLock.Unlock();
        return false;
    }
    const I64 oldIndex = context.m_currentFiberIndex;
    const bool oldLarge = context.m_isLargeStackFiber;
    context.ResetJob();
    oxsys::Fiber* pNewFiber = AllocateFiberForJobAndUpdateContext(needsLargeStack);
    FreeJobFiber(oldIndex, oldLarge);
    data.m_fiberSwitchJobs[workerIndex] = job;
    TraceJob(kJobTraceSuspendFiber, job);
    SwitchHoldingFiberLock(*pNewFiber);
    return true;
}

void ResumeJob(RunnableJob& runnableJob)
{
    OX_JOB_ASSERT(runnableJob.m_pActiveFiber);
    JobSysData& data = *g_pJobSysData;
    const U64 workerIndex = static_cast<U64>(ReadWorkerIndex());
    OX_JOB_ASSERT(workerIndex < kMaxWorkerThreads);
    if (!(runnableJob.m_jobDecl.m_flags & kNoActivityTracking))
        NoteWorkerActivity(workerIndex);
    data.m_fiberLock.Lock("ResumeJob");
    WorkerThreadContext& context = WorkerContext(workerIndex);
    // The resumed job may run for any time before it ends or waits again: a job that this
    // worker starts after that must stamp its own start.
    context.m_activityStampFresh = false;
    FreeJobFiber(context.m_currentFiberIndex, context.m_isLargeStackFiber);
    context.ResetJob();
    TraceJob(kJobTraceResumeJob, runnableJob);
    SwitchHoldingFiberLock(*runnableJob.m_pActiveFiber);
}

void SuspendActiveFiberAndSwitchToFree(Counter* pCounter, I64 value, U32 compare)
{
    JobSysData& data = *g_pJobSysData;
    data.m_fiberLock.Lock("SuspendActiveFiberAndSwitchToFree");
    const U64 workerIndex = static_cast<U64>(ReadWorkerIndex());
    OX_JOB_ASSERT(workerIndex < kMaxWorkerThreads);
    WorkerThreadContext& context = WorkerContext(workerIndex);
    const I64 currentFiberIndex = context.m_currentFiberIndex;
    OX_JOB_ASSERT(currentFiberIndex >= 0);
    oxsys::Fiber* pCurrentFiber = context.m_isLargeStackFiber ? &data.m_pLargeFibers[currentFiberIndex]
                                                              : &data.m_pSmallFibers[currentFiberIndex];

    Memory::AllocStack* pSavedAllocStack = SaveAllocStack();
    EndProfileEvent();
    SavedJobContext savedThreadContext{context.m_activeJob, context.m_currentFiberIndex,
                                       context.m_isLargeStackFiber};
    savedThreadContext.m_activeJob.m_pActiveFiber = pCurrentFiber;
    OX_JOB_ASSERT(savedThreadContext.m_activeJob.m_affinityMask);
    OX_JOB_ASSERT(savedThreadContext.m_activeJob.m_priority != Priority::kInvalid);
    OX_JOB_ASSERT(savedThreadContext.m_activeJob.m_jobDecl.m_pStartFunc != nullptr);
    OX_JOB_ASSERT(savedThreadContext.m_activeJob.m_pActiveFiber);
    OX_JOB_ASSERT(savedThreadContext.m_activeJob.m_jobDecl.m_dependentCounter2 == nullptr);
    context.ResetJob();

    bool stored = false;
    if (pCounter && !IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire), value, compare & 3))
    {
        RunnableJob waitingJob = savedThreadContext.m_activeJob;
        waitingJob.m_jobDecl.m_dependentCounter = pCounter;
        waitingJob.m_jobDecl.m_dependentValue = value;
        waitingJob.m_jobDecl.m_dependentCompare = compare & 3;
        stored = !AddJobToWaitData(waitingJob);
    }
    if (!stored)
    {
        RunnableJob wokenJob = savedThreadContext.m_activeJob;
        wokenJob.m_jobDecl.m_dependentCounter = nullptr;
        wokenJob.m_jobDecl.m_dependentValue = 0;
        wokenJob.m_jobDecl.m_dependentCompare = 0;
        SchedulingDataLockJanitor janitor(wokenJob.m_priority, "ScheduleWokenUpJobNoLock", true);
        ScheduleWokenUpJobNoLock(wokenJob);
    }

    oxsys::Fiber* pFiberToRun = AllocateFiberForJobAndUpdateContext(false);
    OX_JOB_ASSERT(pFiberToRun);
    TraceJob(kJobTraceSuspendFiber, savedThreadContext.m_activeJob);
    SwitchHoldingFiberLock(*pFiberToRun);

    // Resumed by ResumeJob, on this worker or another.
    const U64 newWorkerThreadIndex = static_cast<U64>(ReadWorkerIndex());
    OX_JOB_ASSERT(newWorkerThreadIndex < kMaxWorkerThreads);
    WorkerThreadContext& newContext = WorkerContext(newWorkerThreadIndex);
    newContext.m_activeJob = savedThreadContext.m_activeJob;
    newContext.m_currentFiberIndex = savedThreadContext.m_currentFiberIndex;
    newContext.m_isLargeStackFiber = savedThreadContext.m_isLargeStackFiber;
    OX_JOB_ASSERT(g_pJobSysData->m_workerThreadContexts[newWorkerThreadIndex].m_activeJob.m_affinityMask);
    SetJobLocalStorage(kJlsIndexWorkerIndex, kJlsIdWorkerIndex, newWorkerThreadIndex);
    BeginJobProfileEvent(newContext.m_activeJob.m_jobDecl);
    if (pSavedAllocStack)
        RestoreAllocStack(pSavedAllocStack);
}

void WaitForCounter(CounterHandle counter, I64 value, U32 compare)
{
    OX_JOB_ASSERT(g_pJobSysData);
    Counter* pCounter = counter.m_pCounter;
    OX_JOB_ASSERT(pCounter);
    OX_JOB_ASSERT_MSG(value == 0 || pCounter->m_waitRestriction != kWaitForZeroOnly,
                      "This counter [%s:%d] can only be waited on to become '0' (WaitRestriction)",
                      pCounter->m_sourceFile, static_cast<int>(pCounter->m_sourceLine));
    const I64 workerIndex = ReadWorkerIndex();
    const bool onWorker = static_cast<U64>(workerIndex) < kMaxWorkerThreads;
    if (onWorker)
    {
        CheckMaySleep(WorkerContext(static_cast<U64>(workerIndex)).m_activeJob);
        if (!IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire), value, compare))
            SuspendActiveFiberAndSwitchToFree(pCounter, value, compare);
    }
    // The counter's lock is held while a change is being announced to its waiters: wait
    // until that is over too, so that the caller may free the counter on return.
    OX_JOB_ASSERT(IsCounterLockUsable(pCounter));
    while (pCounter->m_lock.IsLocked() ||
           !IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire), value, compare))
    {
        OX_JOB_ASSERT(IsCounterLockUsable(pCounter));
        oxsys::YieldThread();
    }
    while (pCounter->m_lock.IsLocked())
    {
        OX_JOB_ASSERT(IsCounterLockUsable(pCounter));
        if (onWorker)
            oxsys::YieldThread();
        else
            oxsys::SleepMs(1);
    }
    // Pairs with the lock's release: what the counted-down jobs wrote is visible.
    std::atomic_thread_fence(std::memory_order_acquire);
}

void Yield()
{
    OX_JOB_ASSERT(g_pJobSysData);
    const I64 workerIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerIndex) < kMaxWorkerThreads);
    CheckMaySleep(WorkerContext(static_cast<U64>(workerIndex)).m_activeJob);
    SuspendActiveFiberAndSwitchToFree(nullptr, 0, 0);
}
} // namespace oxjob
