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

bool ChooseJobToRun(U64 workerIndex, SchedulingData* pSchedData, JobArray** ppJobArrayToFree,
                    JobArray** ppJobArrayToPark, RunnableJob& job)
{
    OX_JOB_ASSERT(workerIndex < kMaxWorkerThreads);
    WorkerThreadContext& context = WorkerContext(workerIndex);
    const Priority beginPriority = context.m_beginPriority.load(std::memory_order_relaxed);
    const Priority endPriority = context.m_endPriority.load(std::memory_order_relaxed);
    OX_JOB_ASSERT(beginPriority > Priority::kInvalid && beginPriority <= Priority::kNumPriorities);
    OX_JOB_ASSERT(endPriority > Priority::kInvalid && endPriority <= Priority::kNumPriorities);
    const U64 bit = 1ull << workerIndex;
    const bool isEmergency = context.m_isEmergency;
    const U64 now = isEmergency ? GetTimeNow() : 0;
    const U64 delay = isEmergency ? EmergencyDelayTicks() : 0;

    for (I32 p = static_cast<I32>(beginPriority); p < static_cast<I32>(endPriority); ++p)
    {
        SchedulingData& schedData = pSchedData[p];
        if (schedData.m_numWokenUpJobs.load(std::memory_order_relaxed) > 0)
        {
            SchedulingDataLockJanitor janitor(Priority{static_cast<I8>(p)}, "ChooseJobToRun", true);
            const U64 numWokenUp = schedData.m_numWokenUpJobs.load(std::memory_order_relaxed);
            for (U64 i = 0; i < numWokenUp; ++i)
            {
                RunnableJob& candidate = schedData.m_wokenUpJobs[i];
                if (!IsEligible(candidate.m_affinityMask, candidate.m_readyTime, bit, isEmergency, delay,
                                now))
                    continue;
                OX_JOB_ASSERT(
                    (!candidate.m_jobDecl.m_dependentCounter && !candidate.m_jobDecl.m_dependentCounter2) ||
                    (candidate.m_jobDecl.m_flags & kRecheckDependencyOnResume));
                job = candidate;
                if (i != numWokenUp - 1)
                    candidate = schedData.m_wokenUpJobs[numWokenUp - 1];
                schedData.m_numWokenUpJobs.store(numWokenUp - 1, std::memory_order_relaxed);
                return true;
            }
        }
        if (schedData.m_numRegisteredJobArrays.load(std::memory_order_relaxed) > 0)
        {
            SchedulingDataLockJanitor janitor(Priority{static_cast<I8>(p)}, "ChooseJobToRun", true);
            const U64 numArrays = schedData.m_numRegisteredJobArrays.load(std::memory_order_relaxed);
            for (U64 a = 0; a < numArrays; ++a)
            {
                JobArray* pPossibleJobArray = schedData.m_registeredJobArrays[a];
                OX_JOB_ASSERT(pPossibleJobArray);
                if (pPossibleJobArray->m_jobQueue.m_count == 0)
                {
                    const bool unregistered = UnregisterJobArrayNoLock(pSchedData, pPossibleJobArray);
                    OX_JOB_ASSERT(unregistered);
                    *ppJobArrayToFree = pPossibleJobArray;
                    return true;
                }
                if (Counter* pCounter = pPossibleJobArray->m_pDependentCounter)
                {
                    if (!IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire),
                                         pPossibleJobArray->m_dependentValue,
                                         pPossibleJobArray->m_dependentCompare))
                    {
                        const bool unregistered = UnregisterJobArrayNoLock(pSchedData, pPossibleJobArray);
                        OX_JOB_ASSERT(unregistered);
                        *ppJobArrayToPark = pPossibleJobArray;
                        return true;
                    }
                    pPossibleJobArray->m_pDependentCounter = nullptr;
                    pPossibleJobArray->m_dependentValue = 0;
                    pPossibleJobArray->m_dependentCompare = 0;
                }
                if (!IsEligible(pPossibleJobArray->m_affinityMask, pPossibleJobArray->m_readyTime, bit,
                                isEmergency, delay, now))
                    continue;
                JobDeclRing& ring = pPossibleJobArray->m_jobQueue;
                job.Reset();
                job.m_jobDecl = ring.m_pBuffer[ring.m_head];
                --ring.m_count;
                ring.m_head = ring.m_head + 1 == ring.m_capacity ? 0 : ring.m_head + 1;
                job.m_affinityMask = pPossibleJobArray->m_affinityMask;
                job.m_priority = pPossibleJobArray->m_priority;
                job.m_readyTime = pPossibleJobArray->m_readyTime;
                job.m_submitWorkerIndex = pPossibleJobArray->m_submitWorkerIndex;
                // The id (m_jobId 0 until then) is drawn by the caller once the lock is
                // released: the generator's cache line is shared by every worker, and
                // the other workers wait for this lock.
                return true;
            }
        }
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
    U64 signature = (static_cast<U64>(static_cast<U8>(begin)) << 48) | (static_cast<U64>(static_cast<U8>(end)) << 56);
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
                  data.m_pSchedData[p].m_numRegisteredJobArrays.load(std::memory_order_acquire);
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
    while (!data.m_requestShutdown.load(std::memory_order_relaxed))
    {
        if (IsWorkVisible(workerIndex))
            return;
        ++spinCount;
        context.m_activityStampFresh = false;
        if (!context.m_isEmergency)
        {
            if (data.m_powerSaveEnabled.load(std::memory_order_relaxed) && spinCount > kIdleSpinsBeforeSleep)
            {
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

// Wake-ups go to as many sleepers as there is new work; a woken worker may still take
// other work, or a worker may go to sleep while work remains. So a worker that took work
// while more of that priority is queued wakes one more sleeper (power save only).
void PassOnWakeUp(Priority priority)
{
    const JobSysData& data = *g_pJobSysData;
    if (!data.m_powerSaveEnabled.load(std::memory_order_relaxed) || !IsValidPriority(priority))
        return;
    const SchedulingData& schedData = data.m_pSchedData[static_cast<U8>(priority)];
    if (schedData.m_numWokenUpJobs.load(std::memory_order_relaxed) > 0 ||
        schedData.m_numRegisteredJobArrays.load(std::memory_order_relaxed) > 0)
        WakeUpSleepingWorkers(1, priority, ~0ull);
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

    // As many sleeping workers as the array has jobs, of those that may run them: waking
    // every sleeper for a few jobs made most of them find nothing, spin and sleep again.
    if (IsTimeCriticalPriority(pJobArray->m_priority))
        NotifyTimeCriticalWork();
    else
        WakeUpSleepingWorkers(static_cast<U64>(pJobArray->m_jobQueue.m_count), pJobArray->m_priority,
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
    // this sees its asleep flag.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (U64 i = 0; i < data.m_numWorkerThreads && maxToWake > 0; ++i)
    {
        if (!(affinityMask & (1ull << i)) || !data.m_workerSleeping[i].load(std::memory_order_relaxed))
            continue;
        if (priority != Priority::kInvalid)
        {
            const WorkerThreadContext& context = WorkerContext(i);
            if (priority < context.m_beginPriority.load(std::memory_order_relaxed) ||
                priority >= context.m_endPriority.load(std::memory_order_relaxed))
                continue;
        }
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
        if (!pJobArrayToFree && !pJobArrayToPark)
        {
            // A fresh job from an array still needs its id (see ChooseJobToRun).
            if (job.m_jobId == 0)
                job.m_jobId = GenerateJobId();
            PassOnWakeUp(job.m_priority);
        }

        if (pJobArrayToFree)
        {
            FreeJobArray(pJobArrayToFree);
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
