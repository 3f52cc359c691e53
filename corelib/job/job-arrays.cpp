// Job arrays and submission: opening an array, adding declarations, committing it to the
// scheduler, and the RunJobs family that wraps the three steps.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/timing.h"

namespace oxjob
{
void JobArray::Reset()
{
    m_jobQueue = JobDeclRing{};
    m_pDependentCounter = nullptr;
    m_dependentValue = 0;
    m_dependentCompare = 0;
    m_affinityMask = ~0ull;
    m_pJobDeclBuffer = nullptr;
    m_bOpen = true;
    m_priority = Priority{3};
    m_readyTime = 0;
    m_submitWorkerIndex = 0;
    m_listOwner = kNoListOwner;
    m_pNewer = nullptr;
    m_pOlder = nullptr;
}

JobArray* BeginJobArray(U64 maxJobCount, CounterHandle dependentCounter, I64 dependentValue,
                        U32 dependentCompare, Priority priority, U64 affinityMask)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(maxJobCount > 0);
    OX_JOB_ASSERT(g_pJobSysData->m_initParams.m_numJobArrays);
    OX_JOB_ASSERT(affinityMask);
    OX_JOB_ASSERT_MSG(IsValidPriority(priority), "Invalid priority %d", static_cast<int>(priority));
    OX_JOB_ASSERT_MSG(maxJobCount <= 0x7FFFFFFF / sizeof(JobDecl), "Too many jobs for one job array: %llu",
                      static_cast<unsigned long long>(maxJobCount));
    JobSysData& data = *g_pJobSysData;
    const bool timeCritical = IsTimeCriticalPriority(priority);
    const U64 workerAfinityMask = timeCritical ? data.m_emergencyWorkerMask : data.m_regularWorkerMask;
    OX_JOB_ASSERT_MSG(
        affinityMask & workerAfinityMask,
        "Invalid affinity mask will not allow this JobArray to ever execute! 0x%08X requested vs 0x%08X "
        "available (%s)",
        static_cast<U32>(affinityMask), static_cast<U32>(workerAfinityMask),
        timeCritical ? "Time-critical" : "Regular");

    data.m_jobArrayLock.Lock("BeginJobArray");
    RecordPool<kMaxSupportedJobArrays, JobArray>& pool = data.m_jobArrayPool;
    const U64 index = pool.FindFreeIndex();
    if (index >= pool.m_capacity)
    {
        data.m_jobArrayLock.Unlock();
        return nullptr;
    }
    pool.m_lastIndex = index;
    pool.m_storage.SetBit(index);
    JobArray* pJobArray = &pool.m_pRecords[index];
    pJobArray->Reset();
    void* pJobDeclBuffer =
        data.m_jobDeclAllocator.Malloc(static_cast<I32>(maxJobCount * sizeof(JobDecl)), 128, 0);
    OX_JOB_ASSERT_MSG(pJobDeclBuffer,
                      "The job declaration pool is exhausted: %llu bytes asked, %llu bytes free",
                      static_cast<unsigned long long>(maxJobCount * sizeof(JobDecl)),
                      static_cast<unsigned long long>(data.m_jobDeclAllocator.GetFreeSize()));

    pJobArray->m_jobQueue.m_capacity = static_cast<I32>(maxJobCount);
    pJobArray->m_jobQueue.m_pBuffer = static_cast<JobDecl*>(pJobDeclBuffer);
    pJobArray->m_pJobDeclBuffer = pJobDeclBuffer;
    pJobArray->m_pDependentCounter = dependentCounter.m_pCounter;
    pJobArray->m_dependentValue = dependentValue;
    pJobArray->m_dependentCompare = dependentCompare;
    pJobArray->m_priority = priority;
    pJobArray->m_affinityMask = affinityMask;
    data.m_jobArrayLock.Unlock();
    return pJobArray;
}

JobArray* BeginJobArray(U64 maxJobCount, Priority priority, U64 affinityMask)
{
    return BeginJobArray(maxJobCount, CounterHandle{}, 0, 0, priority, affinityMask);
}

U64 AddJobs(JobArray* pJobArray, JobDecl* pJobDecls, U64 numJobs)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(pJobArray != nullptr);
    OX_JOB_ASSERT(pJobArray->m_bOpen);
    OX_JOB_ASSERT(IsPointerAligned(pJobDecls, kAlign64));
    OX_JOB_ASSERT(pJobDecls || numJobs == 0);
    OX_JOB_ASSERT_MSG(
        numJobs <= 32 || (numJobs > 0 && pJobDecls[0].m_flags & kDisallowSleep),
        "Job submits larger than 32 jobs have to guarantee to never sleep as that would consume too many "
        "system resources. Use 'kDisallowSleep or SpawnerJob'.");

    U64 inheritedFlags = 0;
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) < kMaxWorkerThreads)
        inheritedFlags = WorkerContext(static_cast<U64>(workerIndex)).m_activeJob.m_jobDecl.m_flags &
                         (kGameJob | kRenderJob);

    JobDeclRing& ring = pJobArray->m_jobQueue;
    U64 numJobsAdded = 0;
    for (U64 i = 0; i < numJobs; ++i)
    {
        OX_JOB_ASSERT(pJobDecls[i].m_pStartFunc || pJobDecls[i].m_associatedCounter ||
                      pJobDecls[i].m_dependentCounter);
        if (!(pJobDecls[i].m_flags & (kGameJob | kRenderJob)))
            pJobDecls[i].m_flags |= inheritedFlags;
        if (ring.m_count == ring.m_capacity)
            break;
        ++ring.m_count;
        ring.m_pBuffer[ring.m_tail] = pJobDecls[i];
        ring.m_tail = ring.m_tail + 1 == ring.m_capacity ? 0 : ring.m_tail + 1;
        ++numJobsAdded;
    }
    OX_JOB_ASSERT(numJobsAdded == numJobs);
    return numJobsAdded;
}

void CommitJobArray(JobArray* pJobArray)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(pJobArray);
    if (pJobArray->m_jobQueue.m_count == 0)
    {
        FreeJobArray(pJobArray);
        return;
    }
    const Counter* pCounter = pJobArray->m_pDependentCounter;
    if (pCounter && pJobArray->m_dependentValue != 0 && pCounter->m_waitRestriction == kWaitForZeroOnly)
        OX_JOB_ASSERT_FAIL(
            "JobArray has a dependent counter and a non-zero dep value. However, this counter [%s:%d] can "
            "only be waited on to become '0' (WaitRestriction)",
            pCounter->m_sourceFile, static_cast<int>(pCounter->m_sourceLine));
    pJobArray->m_bOpen = false;
    pJobArray->m_readyTime = GetTimeNow();
    const I64 workerIndex = ReadWorkerIndex();
    pJobArray->m_submitWorkerIndex =
        static_cast<U64>(workerIndex) < kMaxWorkerThreads ? static_cast<U8>(workerIndex) : kNoSubmitWorker;
    ScheduleCommittedJobArray(pJobArray);
}

bool RegisterJobArray(JobArray* pJobArray, bool addToBack)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(pJobArray);
    SchedulingDataLockJanitor janitor(pJobArray->m_priority, "RegisterJobArray", true);
    return RegisterJobArrayNoLock(g_pJobSysData->m_pSchedData, pJobArray, addToBack);
}

bool UnregisterJobArray(JobArray* pJobArray)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(pJobArray);
    SchedulingDataLockJanitor janitor(pJobArray->m_priority, "UnregisterJobArray", true);
    return UnregisterJobArrayNoLock(g_pJobSysData->m_pSchedData, pJobArray);
}

I64 GetJobCount(const JobArray* pJobArray)
{
    OX_JOB_ASSERT(pJobArray);
    return pJobArray->m_jobQueue.m_count;
}

I64 GetJobArrayCapacity(const JobArray* pJobArray)
{
    OX_JOB_ASSERT(pJobArray);
    return pJobArray->m_jobQueue.m_capacity;
}

Priority GetJobArrayPriority(const JobArray* pJobArray)
{
    OX_JOB_ASSERT(pJobArray);
    return pJobArray->m_priority;
}

void RunJobs(JobDecl* pJobDecls, U64 numJobs, CounterHandle* pOutCounter, const char* srcFile, U32 srcLine,
             const char* srcFunc, Priority priority, U64 affinityMask, WaitRestriction waitRestriction)
{
    OX_JOB_ASSERT(numJobs > 0);
    OX_JOB_ASSERT(pJobDecls);
    JobArray* pJobArray = BeginJobArray(numJobs, priority, affinityMask);
    if (pOutCounter)
    {
        const CounterHandle counter =
            AllocateCounter(srcFile, srcLine, srcFunc, static_cast<I64>(numJobs), waitRestriction);
        for (U64 i = 0; i < numJobs; ++i)
            pJobDecls[i].m_associatedCounter = counter.m_pCounter;
        *pOutCounter = counter;
    }
    const U64 jobsAdded = AddJobs(pJobArray, pJobDecls, numJobs);
    OX_JOB_ASSERT(jobsAdded == numJobs);
    CommitJobArray(pJobArray);
}

void RunJobs(JobDecl* pJobDecls, U64 numJobs, CounterHandle* pOutCounter, Priority priority, U64 affinityMask,
             WaitRestriction waitRestriction, const SourceLocation& location)
{
    RunJobs(pJobDecls, numJobs, pOutCounter, location.m_sourceFile, location.m_sourceLine,
            location.m_sourceFunction, priority, affinityMask, waitRestriction);
}

void RunJob(JobEntryFunc pStartFunc, U64 startArg, U64 flags, Priority priority, U64 affinityMask)
{
    JobDecl jobDecl;
    jobDecl.m_pStartFunc = pStartFunc;
    jobDecl.m_startArg = startArg;
    jobDecl.m_flags = flags & ((1ull << 60) - 1);
    const U64 numJobs = 1;
    JobArray* pJobArray = BeginJobArray(numJobs, priority, affinityMask);
    const U64 jobsAdded = AddJobs(pJobArray, &jobDecl, numJobs);
    OX_JOB_ASSERT(jobsAdded == numJobs);
    CommitJobArray(pJobArray);
}

void RunJobAndWait(JobEntryFunc pStartFunc, U64 startArg, U64 flags, const char* srcFile, U32 srcLine,
                   const char* srcFunc)
{
    JobDecl jobDecl;
    jobDecl.m_pStartFunc = pStartFunc;
    jobDecl.m_startArg = startArg;
    jobDecl.m_flags = flags & ((1ull << 60) - 1);
    const CounterHandle counter = AllocateCounter(srcFile, srcLine, srcFunc, 1, kWaitForZeroOnly);
    jobDecl.m_associatedCounter = counter.m_pCounter;
    const U64 numJobs = 1;
    JobArray* pJobArray = BeginJobArray(numJobs, Priority{3}, ~0ull);
    const U64 jobsAdded = AddJobs(pJobArray, &jobDecl, numJobs);
    OX_JOB_ASSERT(jobsAdded == numJobs);
    CommitJobArray(pJobArray);
    WaitForCounter(counter, 0, kCompareEqual);
    FreeCounter(counter);
}

void RunJobAndWait(JobEntryFunc pStartFunc, U64 startArg, U64 flags, const SourceLocation& location)
{
    RunJobAndWait(pStartFunc, startArg, flags, location.m_sourceFile, location.m_sourceLine,
                  location.m_sourceFunction);
}

bool ForEachJobDeclInEachJobArray(JobDeclVisitor visitor, void* pContext)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(visitor);
    LockSchedulingData("ForEachJobDeclInEachJobArray");
    bool stop = false;
    for (U64 p = 0; p < static_cast<U64>(Priority::kNumPriorities) && !stop; ++p)
    {
        const SchedulingData& schedData = g_pJobSysData->m_pSchedData[p];
        const U64 numArrays = schedData.m_numRegisteredJobArrays.load(std::memory_order_relaxed);
        auto visitArray = [&](const JobArray* pJobArray)
        {
            const JobDeclRing& ring = pJobArray->m_jobQueue;
            for (I32 k = 0; k < ring.m_count && !stop; ++k)
                stop = !visitor(&ring.m_pBuffer[(ring.m_head + k) % ring.m_capacity], pContext);
        };
        for (U64 a = 0; a < numArrays && !stop; ++a)
            visitArray(schedData.m_registeredJobArrays[a]);
        ForEachWorkerJobArray(p,
                              [&](const JobArray* pJobArray)
                              {
                                  if (!stop)
                                      visitArray(pJobArray);
                              });
    }
    UnlockSchedulingData();
    return true;
}
} // namespace oxjob
