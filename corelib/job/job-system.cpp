// Start-up and shut-down of the job system, the worker thread and fiber entry functions,
// the worker and active-job queries and the diagnostics over the whole system.
#include "corelib/job/job-system.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor-table.h"
#include "corelib/job/job-local-storage-internal.h"
#include "corelib/job/job-platform-error.h"
#include "corelib/job/job-running-queries.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-trace.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/system/platform/float-control.h"
#include "corelib/system/platform/platform-error.h"
#include "corelib/system/platform/thread-services.h"
#include "corelib/system/timing.h"
#include "corelib/util/error.h"
#include "corelib/util/msg.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace oxjob
{
JobSysData* g_pJobSysData = nullptr;

namespace
{
// The calling thread's worker index slot: index | 0x8000 on a worker, 0 elsewhere.
thread_local U64 t_workerIndexSlot = 0;

// The host's choice for the next start.
std::atomic<SchedulingPolicy> s_schedulingPolicy{SchedulingPolicy::kSharedLists};

// Bytes Initialize charges for what it carves before the job declaration pool.
constexpr U64 kStateRecordBudget = 156032;
constexpr U64 kFixedBlocksBudget = 1399552;
constexpr U64 kDescriptorTableBudget = 37283;
constexpr U64 kFiberContextSize = sizeof(oxsys::FiberContext);
constexpr U64 kFiberHandleSize = sizeof(oxsys::Fiber);

// Zero-filled, aligned memory from the start-up heap.
void* Carve(HeapAllocator& heap, U64 size, U64 alignment)
{
    void* pMemory = heap.Allocate(size, alignment, __FILE__, __LINE__, __func__);
    OX_JOB_ASSERT_MSG(pMemory, "The job system memory buffer is too small");
    memset(pMemory, 0, size);
    return pMemory;
}

U32 WorkerThreadStartFunc(void* pArgument);
void FiberStartFunc(void* pArgument);

void InitLocks(JobSysData& data)
{
    data.m_statsLock.Init("jobSysStatsData");
    data.m_counterLock.Init("jobSysCounterData");
    data.m_jobArrayLock.Init("jobSysJobArrayData");
    data.m_fiberLock.Init("jobSysFiberData");
    data.m_waitLock.Init("jobSysWaitData");
    data.m_wakeUpLock.Init("jobSystemWakeUpData");
    for (I32 p = 0; p < static_cast<I32>(Priority::kNumPriorities); ++p)
    {
        char name[32];
        snprintf(name, sizeof(name), "jobSysSchedData %lld", static_cast<long long>(p));
        data.m_schedLocks[p].Init(name);
    }
}

void CreateWorkerThreads(JobSysData& data, const InitParams& params)
{
    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
    {
        WorkerThreadContext& context = data.m_workerThreadContexts[i];
        context.ResetJob();
        const bool isEmergency = i >= params.m_numWorkerThreads;
        (isEmergency ? data.m_emergencyWorkerMask : data.m_regularWorkerMask) |= 1ull << i;

        oxsys::ThreadDesc desc;
        // Thread names keep at most 31 characters.
        char name[64];
        snprintf(name, sizeof(name), "OxJobWorkerThread %d%s", static_cast<int>(i),
                 isEmergency ? " (Emergency)" : "");
        name[31] = '\0';
        desc.SetName(name);
        desc.m_stackSize = 32768;
        desc.m_priority = isEmergency ? oxsys::kThreadPriorityTimeCritical : oxsys::kThreadPriorityNormal;
        desc.m_affinityMask = params.m_lockWorkerThreadsToCores ? static_cast<U32>(1ull << i) : 0xFFFFFFFFu;
        desc.m_flags = 1;
        context.m_threadPriority = desc.m_priority;

        context.m_isEmergency = isEmergency;
        ApplyPriorityRange(context, params, data.m_timeCriticalEnabled.load());

        oxsys::CreateThread(data.m_workerThreads[i], desc, WorkerThreadStartFunc,
                            reinterpret_cast<void*>(static_cast<UPtr>(i)));
    }
}

U32 WorkerThreadStartFunc(void* pArgument)
{
    const U64 workerIndex = static_cast<U64>(reinterpret_cast<UPtr>(pArgument));
    oxsys::InitializeThreadCom();
    WriteWorkerIndexSlot(workerIndex | kWorkerIndexSlotFlag);
    Memory::InitializeThreadAllocStack();
    // Released by the first fiber that starts on this thread.
    g_pJobSysData->m_fiberLock.Lock("WorkerThreadStartFunc");

    U64 taskHandle = 0;
    if (WorkerContext(workerIndex).m_isEmergency)
    {
        taskHandle = oxsys::BeginProAudioThreadTask();
        if (!taskHandle)
        {
            const U32 error = oxsys::GetLastPlatformError();
            PrintErrorToMsgOutput(33, "Error setting MMCSS task: %s (0x%08X)\n",
                                  ErrFromPlatformError(error).GetErrorString(), error);
        }
        else if (!oxsys::SetThreadTaskPriorityHigh(taskHandle))
        {
            const U32 error = oxsys::GetLastPlatformError();
            PrintErrorToMsgOutput(33, "Couldn't set MMCSS thread priority: %s (0x%08X)\n",
                                  ErrFromPlatformError(error).GetErrorString(), error);
        }
    }

    oxsys::Fiber* pFiber = AllocateFiberForJobAndUpdateContext(false);
    OX_JOB_ASSERT(g_pJobSysData->m_numStartedWorkerThreadsInitialized);
    g_pJobSysData->m_numStartedWorkerThreads.fetch_add(1, std::memory_order_release);
    g_pJobSysData->m_fiberLock.HoldLeavesFiber();
    oxsys::StartFiberExecution(*pFiber);
    RefreshRunningJobLocalStorage();

    Memory::FreeThreadAllocStack();
    OX_JOB_ASSERT(g_pJobSysData->m_requestShutdown);
    oxsys::EndThreadTask(taskHandle);
    oxsys::UninitializeThreadCom();
    return 0;
}

void FiberStartFunc(void* pArgument)
{
    InitializeJobLocalStorageAtFiberStart();
    oxsys::SetFlushDenormalsToZero();
    g_pJobSysData->m_fiberLock.HoldJoinsFiber();
    g_pJobSysData->m_fiberLock.Unlock();
    DoJobScheduling(FiberState(*static_cast<oxsys::FiberContext*>(pArgument)));
    OX_JOB_ASSERT(g_pJobSysData->m_requestShutdown);
    oxsys::StopFiberExecution();
}

// The check of a worker index argument.
#define OX_CHECK_WORKER_INDEX(workerThreadIndex) OX_JOB_ASSERT(workerThreadIndex < oxjob::kMaxWorkerThreads)
} // namespace

// --- Thread-local worker index -------------------------------------------------------------

OX_NOINLINE I64 ReadWorkerIndex()
{
    const U64 slot = t_workerIndexSlot;
    return (slot & kWorkerIndexSlotFlag) ? static_cast<I64>(slot & ~kWorkerIndexSlotFlag) : -1;
}

void WriteWorkerIndexSlot(U64 value)
{
    t_workerIndexSlot = value;
}

U64 GenerateJobId()
{
    JobSysData& data = *g_pJobSysData;
    const U64 id = data.m_jobIdGenerator.fetch_add(1, std::memory_order_relaxed);
    if (OX_UNLIKELY(id == (1ull << 46)))
    {
        data.m_jobIdGeneratorMarker = 0xABECEDE0BEEFA901ull;
        data.m_jobIdGenerator.store(0x1001, std::memory_order_relaxed);
    }
    return id;
}

// --- Records ----------------------------------------------------------------------------------

void RunnableJob::Reset()
{
    m_jobDecl.Reset();
    m_affinityMask = 0;
    m_priority = Priority::kInvalid;
    memset(m_reserved, 0, sizeof(m_reserved));
    m_jobId = 0;
    m_readyTime = 0;
    m_submitWorkerIndex = kNoSubmitWorker;
    m_pActiveFiber = nullptr;
}

void WorkerThreadContext::ResetJob()
{
    m_activeJob.Reset();
    m_currentFiberIndex = -1;
    m_isLargeStackFiber = false;
}

// --- Start and stop ------------------------------------------------------------------------------

void SetSchedulingPolicy(SchedulingPolicy policy)
{
    OX_JOB_ASSERT_MSG(policy == SchedulingPolicy::kSharedLists ||
                          policy == SchedulingPolicy::kWorkerLocalLists,
                      "Unknown scheduling policy %d", static_cast<int>(policy));
    OX_JOB_ASSERT_MSG(
        !g_pJobSysData,
        "SetSchedulingPolicy(%s) called while the job system runs: choose the scheduling policy "
        "before Initialize (or after Shutdown)",
        GetSchedulingPolicyName(policy));
    s_schedulingPolicy.store(policy, std::memory_order_relaxed);
}

SchedulingPolicy GetSchedulingPolicy()
{
    return s_schedulingPolicy.load(std::memory_order_relaxed);
}

const char* GetSchedulingPolicyName(SchedulingPolicy policy)
{
    return policy == SchedulingPolicy::kWorkerLocalLists ? "kWorkerLocalLists" : "kSharedLists";
}

U64 GetRequiredMemoryBufferSize(const InitParams& params)
{
    U64 size = kStateRecordBudget + kFixedBlocksBudget + kDescriptorTableBudget;
    if (params.m_numCounters)
        size += params.m_numCounters * sizeof(Counter) + 128;
    if (params.m_numJobArrays)
        size += params.m_numJobArrays * sizeof(JobArray) + 128;
    if (params.m_maxLargeJobFibers)
        size += params.m_maxLargeJobFibers * kFiberHandleSize + 128;
    if (params.m_maxSmallJobFibers)
        size += params.m_maxSmallJobFibers * kFiberHandleSize + 128;
    const U64 numFibers = params.m_maxSmallJobFibers + params.m_maxLargeJobFibers;
    size += numFibers * kFiberContextSize;
    size += params.m_maxSmallJobFibers * params.m_smallJobFiberStackSpace +
            params.m_maxLargeJobFibers * params.m_largeJobFiberStackSpace;
    return size;
}

Err Initialize(const InitParams* pParams)
{
    OX_JOB_ASSERT(pParams);
    OX_JOB_ASSERT(g_pJobSysData == nullptr);
    OX_JOB_ASSERT(IsPointerAligned(pParams->m_pMemoryBuffer, kAlign128));
    OX_JOB_ASSERT(IsSizeAligned(pParams->m_memoryBufferSize, kAlign128));
    OX_JOB_ASSERT(pParams->m_numCounters <= kMaxSupportedCounters);
    OX_JOB_ASSERT(pParams->m_numJobArrays <= kMaxSupportedJobArrays);
    OX_JOB_ASSERT(pParams->m_numWorkerThreads > 0);
    OX_JOB_ASSERT(pParams->m_numWorkerThreads <= kMaxWorkerThreads);
    OX_JOB_ASSERT((pParams->m_maxSmallJobFibers + pParams->m_maxLargeJobFibers) >=
                  pParams->m_numWorkerThreads);
    OX_JOB_ASSERT(pParams->m_maxLargeJobFibers <= kMaxLargeJobFibers);
    OX_JOB_ASSERT(pParams->m_maxSmallJobFibers <= kMaxSmallJobFibers);
    OX_JOB_ASSERT(IsSizeAligned(pParams->m_smallJobFiberStackSpace, kAlign16k));
    OX_JOB_ASSERT(IsSizeAligned(pParams->m_largeJobFiberStackSpace, kAlign16k));
    // The priority split must name priorities that exist (9 stands for "through the last").
    OX_JOB_ASSERT(static_cast<U8>(pParams->m_numTimeCriticalPriorities) <=
                  static_cast<U8>(Priority::kNumPriorities));
    OX_JOB_ASSERT(static_cast<U8>(pParams->m_regularWorkerMinPriority) <=
                  static_cast<U8>(Priority::kNumPriorities));
    // Checked here so that the budget below cannot wrap around.
    OX_JOB_ASSERT_MSG(pParams->m_memoryBufferSize > GetRequiredMemoryBufferSize(*pParams),
                      "The job system needs more than %llu bytes of memory buffer (%llu given)",
                      static_cast<unsigned long long>(GetRequiredMemoryBufferSize(*pParams)),
                      static_cast<unsigned long long>(pParams->m_memoryBufferSize));

    CustomAllocateJanitor heap(pParams->m_pMemoryBuffer, pParams->m_memoryBufferSize, __FILE__, __LINE__,
                               __PRETTY_FUNCTION__, false);
    U64 budget = pParams->m_memoryBufferSize - kStateRecordBudget;

    JobSysData* pData = new (Carve(heap, sizeof(JobSysData), 128)) JobSysData();
    g_pJobSysData = pData;
    JobSysData& data = *pData;
    data.m_requestShutdown.store(false);
    data.m_powerSaveEnabled.store(false);
    for (U64 i = 0; i < kMaxWorkerThreads; ++i)
    {
        data.m_workerSleeping[i].store(false);
        oxsys::MutexDesc mutexDesc;
        mutexDesc.SetName("JobSysPowerSave");
        oxsys::CreateMutex(mutexDesc, data.m_powerSaveMutexes[i]);
        oxsys::ConditionVariableDesc conditionDesc;
        conditionDesc.SetName("JobSysPowerSave");
        oxsys::CreateConditionVariable(conditionDesc, data.m_powerSaveConditions[i]);
        data.m_workerThreadContexts[i].ResetJob();
        data.m_workerThreadContexts[i].m_beginPriority.store(Priority{0});
        data.m_workerThreadContexts[i].m_endPriority.store(Priority::kNumPriorities);
        data.m_fiberSwitchJobs[i].Reset();
        data.m_workerJobLists[i].m_lock.Init();
    }
    data.m_workerLocalLists = GetSchedulingPolicy() == SchedulingPolicy::kWorkerLocalLists;
    data.m_jobIdGeneratorMarker = 0xABECEDE0BEEFA901ull;
    data.m_jobIdGenerator.store(0x1001);
    InitLocks(data);

    const U64 now = GetTimeNow();
    for (U64 i = 0; i < kMaxWorkerThreads; ++i)
        data.m_lastActivityTime[i].store(now, std::memory_order_relaxed);

    data.m_initParams = *pParams;
    data.m_timeCriticalEnabled.store(true);
    data.m_numWorkerThreads = 0;
    data.m_numWaitingJobArrays.store(0, std::memory_order_relaxed);
    data.m_wokenUpJobs.Clear();
    data.m_wokenUpJobArrays.Clear();

    WriteWorkerIndexSlot(0);
    InitializeJobLocalStorageAtProcessStart();

    if (pParams->m_numCounters)
    {
        auto* pCounters = static_cast<Counter*>(Carve(heap, pParams->m_numCounters * sizeof(Counter), 128));
        for (U64 i = 0; i < pParams->m_numCounters; ++i)
            pCounters[i].Reset();
        data.m_counterPool.Init(pCounters, pParams->m_numCounters);
        budget -= pParams->m_numCounters * sizeof(Counter) + 128;
    }
    if (pParams->m_numJobArrays)
    {
        auto* pArrays = static_cast<JobArray*>(Carve(heap, pParams->m_numJobArrays * sizeof(JobArray), 128));
        for (U64 i = 0; i < pParams->m_numJobArrays; ++i)
            pArrays[i].Reset();
        data.m_jobArrayPool.Init(pArrays, pParams->m_numJobArrays);
        budget -= pParams->m_numJobArrays * sizeof(JobArray) + 128;
    }
    if (pParams->m_maxLargeJobFibers)
    {
        data.m_pLargeFibers = new (Carve(heap, pParams->m_maxLargeJobFibers * kFiberHandleSize, 16))
            oxsys::Fiber[pParams->m_maxLargeJobFibers];
        OX_JOB_ASSERT(IsPointerAligned(data.m_pLargeFibers, kAlign16));
        budget -= pParams->m_maxLargeJobFibers * kFiberHandleSize + 128;
    }
    if (pParams->m_maxSmallJobFibers)
    {
        data.m_pSmallFibers = new (Carve(heap, pParams->m_maxSmallJobFibers * kFiberHandleSize, 16))
            oxsys::Fiber[pParams->m_maxSmallJobFibers];
        OX_JOB_ASSERT(IsPointerAligned(data.m_pSmallFibers, kAlign16));
        budget -= pParams->m_maxSmallJobFibers * kFiberHandleSize + 128;
    }

    // The fixed blocks: wait contexts, waiting jobs and their keys, scheduling data and
    // each priority's woken-up list.
    data.m_waitContextPool.Init(
        static_cast<WaitContext*>(Carve(heap, kMaxWaitContexts * sizeof(WaitContext), 128)),
        kMaxWaitContexts);
    data.m_pWaitingJobArrays = nullptr;
    data.m_pWaitingJobs =
        new (Carve(heap, kMaxWaitingJobs * sizeof(RunnableJob), 128)) RunnableJob[kMaxWaitingJobs];
    data.m_pWaitKeys = static_cast<WaitKey*>(Carve(heap, kMaxWaitingJobs * sizeof(WaitKey), 128));
    data.m_numWaitingJobs.store(0);
    data.m_pSchedData =
        new (Carve(heap, sizeof(SchedulingData) * static_cast<U64>(Priority::kNumPriorities), 128))
            SchedulingData[static_cast<U64>(Priority::kNumPriorities)];
    for (U64 p = 0; p < static_cast<U64>(Priority::kNumPriorities); ++p)
        data.m_pSchedData[p].m_wokenUpJobs =
            new (Carve(heap, kMaxWaitingJobs * sizeof(RunnableJob), 128)) RunnableJob[kMaxWaitingJobs];
    budget -= kFixedBlocksBudget;

    const U64 numFibers = pParams->m_maxSmallJobFibers + pParams->m_maxLargeJobFibers;
    data.m_pFiberContexts =
        new (Carve(heap, numFibers * kFiberContextSize, 128)) oxsys::FiberContext[numFibers];
    for (U64 i = 0; i < numFibers; ++i)
    {
        OX_JOB_ASSERT(IsPointerAligned(&data.m_pFiberContexts[i], kAlign128));
        new (data.m_pFiberContexts[i].m_data) JobFiberState();
    }
    // The stacks themselves come from the platform layer; the block is charged so that
    // the buffer sizing stays that of a layer that takes the stacks from the caller.
    const U64 stackBlockSize = pParams->m_maxSmallJobFibers * pParams->m_smallJobFiberStackSpace +
                               pParams->m_maxLargeJobFibers * pParams->m_largeJobFiberStackSpace;
    budget -= numFibers * kFiberContextSize + stackBlockSize;
    if (stackBlockSize)
        heap.Allocate(stackBlockSize, kAlign16k, __FILE__, __LINE__, __func__);

    BuildJobDescriptorTable(Carve(heap, kJobDescriptorTableSize, 128));

    const U64 jobDeclPoolSize = (budget - kDescriptorTableBudget) & ~7ull;
    OX_JOB_ASSERT(jobDeclPoolSize < 0x7FFFFFFF);
    void* pJobDeclPool = Carve(heap, jobDeclPoolSize, 128);
    data.m_jobDeclAllocator.Init(pJobDeclPool, static_cast<I32>(jobDeclPoolSize));

    for (U64 i = 0; i < pParams->m_maxLargeJobFibers; ++i)
        oxsys::CreateFiber(data.m_pLargeFibers[i], "OxJobFiber (large)", FiberStartFunc, nullptr,
                           pParams->m_largeJobFiberStackSpace, &data.m_pFiberContexts[i]);
    for (U64 j = 0; j < pParams->m_maxSmallJobFibers; ++j)
        oxsys::CreateFiber(data.m_pSmallFibers[j], "OxJobFiber", FiberStartFunc, nullptr,
                           pParams->m_smallJobFiberStackSpace,
                           &data.m_pFiberContexts[pParams->m_maxLargeJobFibers + j]);

    data.m_numWorkerThreads = pParams->m_numWorkerThreads + pParams->m_numEmergencyWorkerThreads;

    // The job trace: every worker, emergency ones included, gets an equal share of the
    // trace memory, each a multiple of 128 bytes.
    ShutdownJobTrace();
    if (pParams->m_pTraceMemoryBuffer && pParams->m_traceMemoryBufferSize)
    {
        OX_JOB_ASSERT(IsPointerAligned(pParams->m_pTraceMemoryBuffer, kAlign128));
        const U64 share = (pParams->m_traceMemoryBufferSize / data.m_numWorkerThreads) & ~U64{127};
        for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
            SetupThreadJobTrace(i, static_cast<U8*>(pParams->m_pTraceMemoryBuffer) + i * share, share);
    }

    OX_VERIFY(oxsys::CreateEvent(data.m_timeCriticalWorkEvent));
    data.m_regularWorkerMask = 0;
    data.m_emergencyWorkerMask = 0;

    data.m_numStartedWorkerThreadsInitialized = true;
    data.m_numStartedWorkerThreads.store(0);
    OX_JOB_ASSERT(g_pJobSysData->m_numWorkerThreads <= kMaxWorkerThreads);

    // Lower layers ask the job system about the running job from here on.
    InstallRunningJobQueries();

    CreateWorkerThreads(data, *pParams);
    while (data.m_numStartedWorkerThreads.load(std::memory_order_acquire) != data.m_numWorkerThreads)
        oxsys::SleepMs(1);
    return Err();
}

void Shutdown()
{
    OX_JOB_ASSERT_MSG(
        g_pJobSysData,
        "The job system is not initialised: Shutdown found no running job system (never started, "
        "or shut down already)");
    OX_JOB_ASSERT_MSG(!IsWorkerThread(), "Shutdown must be called from a thread that is not a job worker");
    JobSysData& data = *g_pJobSysData;
    data.m_requestShutdown.store(true);
    // Wake whatever sleeps: power-save sleepers and emergency workers.
    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
    {
        data.m_powerSaveMutexes[i].Lock();
        data.m_powerSaveConditions[i].Broadcast();
        data.m_powerSaveMutexes[i].Unlock();
    }
    oxsys::SetEvent(data.m_timeCriticalWorkEvent);

    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
        data.m_workerThreads[i].Join();
    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
        oxsys::ReleaseThreadHandle(data.m_workerThreads[i]);

    for (U64 i = 0; i < data.m_initParams.m_maxLargeJobFibers; ++i)
        oxsys::ReleaseFiber(data.m_pLargeFibers[i]);
    for (U64 j = 0; j < data.m_initParams.m_maxSmallJobFibers; ++j)
        oxsys::ReleaseFiber(data.m_pSmallFibers[j]);
    for (U64 i = 0; i < data.m_initParams.m_maxSmallJobFibers + data.m_initParams.m_maxLargeJobFibers; ++i)
    {
        JobFiberState& fiberState = FiberState(data.m_pFiberContexts[i]);
        oxsys::DestroyWaitableTimer(fiberState.m_timer);
        fiberState.~JobFiberState();
    }

    for (U64 i = 0; i < data.m_counterPool.m_capacity; ++i)
        if (data.m_counterPool.m_storage.IsBitSet(i))
            data.m_counterPool.m_pRecords[i].Reset();
    data.m_counterPool.m_storage.ClearBitRange(0, kMaxSupportedCounters - 1);
    for (U64 i = 0; i < data.m_jobArrayPool.m_capacity; ++i)
        if (data.m_jobArrayPool.m_storage.IsBitSet(i))
            data.m_jobArrayPool.m_pRecords[i].m_jobQueue = JobDeclRing{};
    data.m_jobArrayPool.m_storage.ClearBitRange(0, kMaxSupportedJobArrays - 1);

    ShutdownJobTrace();
    oxsys::DestroyEvent(data.m_timeCriticalWorkEvent);

    for (auto& lock : data.m_schedLocks)
        lock.Shutdown();
    data.m_wakeUpLock.Shutdown();
    data.m_waitLock.Shutdown();
    data.m_fiberLock.Shutdown();
    data.m_jobArrayLock.Shutdown();
    data.m_counterLock.Shutdown();
    data.m_statsLock.Shutdown();
    for (U64 i = 0; i < kMaxWorkerThreads; ++i)
    {
        oxsys::DestroyConditionVariable(data.m_powerSaveConditions[i]);
        oxsys::DestroyMutex(data.m_powerSaveMutexes[i]);
    }

    RemoveRunningJobQueries();
    ClearJobDescriptorTable();
    data.~JobSysData();
    g_pJobSysData = nullptr;
    ShutdownJobLocalStorage();
}

bool IsInitialized()
{
    return g_pJobSysData != nullptr;
}

// --- Worker threads --------------------------------------------------------------------------------

bool IsWorkerThread()
{
    return static_cast<U64>(ReadWorkerIndex()) < kMaxWorkerThreads;
}

U64 GetNumWorkerThreads()
{
    OX_JOB_ASSERT(g_pJobSysData);
    return g_pJobSysData->m_initParams.m_numWorkerThreads;
}

U64 GetTotalNumWorkerThreads()
{
    OX_JOB_ASSERT(g_pJobSysData);
    return g_pJobSysData->m_numWorkerThreads;
}

U64 GetWorkerThreads(oxsys::Thread* pThreads, U64 maxCount)
{
    OX_JOB_ASSERT(g_pJobSysData);
    if (!pThreads)
        return 0;
    U64 count = 0;
    for (; count < maxCount && count < g_pJobSysData->m_numWorkerThreads; ++count)
        pThreads[count] = g_pJobSysData->m_workerThreads[count];
    return count;
}

I64 GetWorkerThreadIndexFromThreadId(U32 threadId)
{
    OX_JOB_ASSERT(g_pJobSysData);
    for (U64 i = 0; i < g_pJobSysData->m_numWorkerThreads; ++i)
        if (g_pJobSysData->m_workerThreads[i].GetThreadId() == threadId)
            return static_cast<I64>(i);
    return -1;
}

U64 GetCurrentWorkerThreadIndex()
{
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) >= kMaxWorkerThreads)
        return kMaxWorkerThreads;
    U64 value = 0;
    if (GetJlsInfo_Unsafe() && TryGetJobLocalStorage(kJlsIndexWorkerIndex, &value))
        return value;
    return static_cast<U64>(workerIndex);
}

// --- The active job ----------------------------------------------------------------------------------

bool GetActiveJobDecl(JobDecl* pJobDecl)
{
    OX_JOB_ASSERT(pJobDecl);
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) >= kMaxWorkerThreads || !g_pJobSysData)
        return false;
    *pJobDecl = WorkerContext(static_cast<U64>(workerIndex)).m_activeJob.m_jobDecl;
    return true;
}

bool GetWorkerThreadJobDecl(U64 workerThreadIndex, JobDecl* pJobDecl)
{
    OX_JOB_ASSERT(pJobDecl);
    OX_CHECK_WORKER_INDEX(workerThreadIndex);
    const RunnableJob job = SnapshotActiveJob(workerThreadIndex);
    *pJobDecl = job.m_jobDecl;
    return job.m_jobId != 0;
}

U64 GetActiveJobAffinityMask()
{
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) >= kMaxWorkerThreads)
        return 0;
    return WorkerContext(static_cast<U64>(workerIndex)).m_activeJob.m_affinityMask;
}

Priority GetActiveJobPriority()
{
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) >= kMaxWorkerThreads)
        return Priority::kInvalid;
    return WorkerContext(static_cast<U64>(workerIndex)).m_activeJob.m_priority;
}

U64 GetWorkerThreadActiveJobId(U64 workerThreadIndex)
{
    if (workerThreadIndex >= kMaxWorkerThreads || !g_pJobSysData)
        return ~0ull;
    return SnapshotActiveJob(workerThreadIndex).m_jobId;
}

void LockActiveJobToCore()
{
    OX_JOB_ASSERT(g_pJobSysData);
    const I64 workerThreadIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerThreadIndex) < kMaxWorkerThreads);
    WorkerContext(static_cast<U64>(workerThreadIndex)).m_activeJob.m_affinityMask = 1ull << workerThreadIndex;
}

void UnlockActiveJobFromCore(U64 allowedAffinity)
{
    OX_JOB_ASSERT(g_pJobSysData);
    const I64 workerThreadIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerThreadIndex) < kMaxWorkerThreads);
    OX_JOB_ASSERT(allowedAffinity & (1ULL << workerThreadIndex));
    WorkerContext(static_cast<U64>(workerThreadIndex)).m_activeJob.m_affinityMask = allowedAffinity;
}

void SetActiveJobFlags(U64 flags)
{
    OX_JOB_ASSERT(g_pJobSysData);
    const I64 workerThreadIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerThreadIndex) < kMaxWorkerThreads);
    WorkerContext(static_cast<U64>(workerThreadIndex)).m_activeJob.m_jobDecl.m_flags =
        flags & ((1ull << 60) - 1);
}

// --- Diagnostics -----------------------------------------------------------------------------------------

// Counts the set bits of a pool that other threads change meanwhile: the report reads
// without the pools' locks and may be a moment stale.
static OX_NO_SANITIZE_THREAD int CountBitsUnlocked(const U64* pBlocks, U32 numBlocks)
{
    int count = 0;
    for (U32 i = 0; i < numBlocks; ++i)
        count += __builtin_popcountll(reinterpret_cast<const volatile U64*>(pBlocks)[i]);
    return count;
}

void PrintJobSystemData()
{
    OX_JOB_ASSERT(g_pJobSysData);
    const JobSysData& data = *g_pJobSysData;
    const auto& counters = data.m_counterPool.m_storage;
    const auto& arrays = data.m_jobArrayPool.m_storage;
    const auto& waitContexts = data.m_waitContextPool.m_storage;
    PrintToMsgOutput(2, "=========================[ Job System Data]=========================\n");
    PrintToMsgOutput(2, "   Counters:     %d / %d\n",
                     CountBitsUnlocked(counters.GetBlocks(), counters.GetNumBlocks()),
                     static_cast<int>(data.m_counterPool.m_capacity));
    PrintToMsgOutput(2, "   Job Array:    %d / %d\n",
                     CountBitsUnlocked(arrays.GetBlocks(), arrays.GetNumBlocks()),
                     static_cast<int>(data.m_jobArrayPool.m_capacity));
    PrintToMsgOutput(2, "   Wait Context: %d / %d\n",
                     CountBitsUnlocked(waitContexts.GetBlocks(), waitContexts.GetNumBlocks()),
                     static_cast<int>(kMaxWaitContexts));
    PrintToMsgOutput(2, "====================================================================\n");
}

bool Debug_AreAllJobsDoneExceptForGameLoop()
{
    OX_JOB_ASSERT(g_pJobSysData);
    JobSysData& data = *g_pJobSysData;
    auto countBusyWorkers = [&data]()
    {
        U64 busy = 0;
        for (U64 workerThreadIndex = 0; workerThreadIndex < data.m_numWorkerThreads; ++workerThreadIndex)
        {
            OX_JOB_ASSERT(workerThreadIndex < oxjob::kMaxWorkerThreads);
            if (SnapshotActiveJob(workerThreadIndex).m_jobId != 0)
                ++busy;
        }
        return busy;
    };

    LockSchedulingData("Debug_AreAllJobsDoneExceptForGameLoop");
    const U64 t0 = GetTimeNow();
    if (countBusyWorkers() != 1 || data.m_numWaitingJobs.load() != 1)
    {
        UnlockSchedulingData();
        return false;
    }
    UnlockSchedulingData();
    oxsys::SleepMs(1);
    LockSchedulingData("Debug_AreAllJobsDoneExceptForGameLoop");
    bool result = countBusyWorkers() == 1 && data.m_numWaitingJobs.load() == 1;
    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
        if (data.m_lastActivityTime[i].load(std::memory_order_relaxed) >= t0)
            result = false;
    UnlockSchedulingData();
    return result;
}
} // namespace oxjob
