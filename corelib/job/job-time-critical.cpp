// Time-critical work, emergency workers and power save.
#include "corelib/job/job-time-critical.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/util/static-init-order.h"

namespace oxjob
{
namespace
{
// The period count, process-wide and independent of Initialize.
struct TimeCriticalPeriod
{
    TimeCriticalPeriod() : m_count(0), m_marker(0xABECEDE0BEEFA901ull) {}
    std::atomic<I64> m_count;
    U64 m_marker;
};
// Constructed at its rank among the library's globals; until then the marker reads 0.
TimeCriticalPeriod s_timeCriticalPeriod OX_INIT_PRIORITY(kInitRankJobSystemFlag);

void CheckPeriodMarker()
{
    OX_JOB_ASSERT_MSG(s_timeCriticalPeriod.m_marker == 0xABECEDE0BEEFA901ull,
                      "The time-critical period count is not set up");
}
} // namespace

bool IsTimeCriticalPriority(Priority priority)
{
    OX_JOB_ASSERT(priority > Priority::kInvalid && priority < Priority::kNumPriorities);
    OX_JOB_ASSERT(g_pJobSysData);
    const JobSysData& data = *g_pJobSysData;
    return data.m_initParams.m_numEmergencyWorkerThreads != 0 &&
           data.m_timeCriticalEnabled.load(std::memory_order_relaxed) &&
           static_cast<I8>(priority) < static_cast<I8>(data.m_initParams.m_numTimeCriticalPriorities);
}

bool IsEmergencyWorkerThread(U64 workerThreadIndex)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(workerThreadIndex < GetTotalNumWorkerThreads());
    return workerThreadIndex >= g_pJobSysData->m_initParams.m_numWorkerThreads;
}

void ApplyPriorityRange(WorkerThreadContext& context, const InitParams& params, bool timeCriticalEnabled)
{
    Priority begin = Priority{0};
    Priority end = Priority::kNumPriorities;
    if (timeCriticalEnabled && params.m_numEmergencyWorkerThreads != 0)
    {
        if (context.m_isEmergency)
            end = params.m_numTimeCriticalPriorities;
        else
            begin = params.m_regularWorkerMinPriority;
    }
    else if (!timeCriticalEnabled && context.m_isEmergency)
    {
        begin = Priority::kNumPriorities; // serves nothing
    }
    context.m_beginPriority.store(begin, std::memory_order_relaxed);
    context.m_endPriority.store(end, std::memory_order_relaxed);
}

bool IsTimeCriticalWorkEnabled()
{
    OX_JOB_ASSERT(g_pJobSysData);
    return g_pJobSysData->m_timeCriticalEnabled.load(std::memory_order_relaxed);
}

void SetTimeCriticalWorkEnabled(bool enabled)
{
    OX_JOB_ASSERT(g_pJobSysData);
    JobSysData& data = *g_pJobSysData;
    if (data.m_timeCriticalEnabled.load(std::memory_order_relaxed) == enabled)
        return;
    data.m_timeCriticalEnabled.store(enabled, std::memory_order_relaxed);
    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
        ApplyPriorityRange(data.m_workerThreadContexts[i], data.m_initParams, enabled);
}

void BeginTimeCriticalWorkPeriod()
{
    CheckPeriodMarker();
    // Without a running job system there is no event and no worker to keep awake.
    if (s_timeCriticalPeriod.m_count.fetch_add(1) == 0 && g_pJobSysData)
    {
        const bool result = oxsys::SetEvent(g_pJobSysData->m_timeCriticalWorkEvent);
        OX_JOB_ASSERT(result);
    }
}

void EndTimeCriticalWorkPeriod()
{
    CheckPeriodMarker();
    const auto previous = s_timeCriticalPeriod.m_count.fetch_sub(1);
    // An unmatched end would leave the count below zero, and the next begin would then
    // not wake the emergency workers.
    OX_JOB_ASSERT_MSG(previous > 0, "EndTimeCriticalWorkPeriod without a matching BeginTimeCriticalWorkPeriod");
    if (previous == 1 && g_pJobSysData)
    {
        const bool result = oxsys::ResetEvent(g_pJobSysData->m_timeCriticalWorkEvent);
        OX_JOB_ASSERT(result);
    }
}

bool IsInTimeCriticalWorkPeriod()
{
    CheckPeriodMarker();
    return s_timeCriticalPeriod.m_count.load(std::memory_order_relaxed) > 0;
}

void NotifyTimeCriticalWork()
{
    OX_JOB_ASSERT(g_pJobSysData);
    const bool result = oxsys::PulseEvent(g_pJobSysData->m_timeCriticalWorkEvent);
    OX_JOB_ASSERT(result);
}

bool IsPowerSaveEnabled()
{
    OX_JOB_ASSERT(g_pJobSysData);
    return g_pJobSysData->m_powerSaveEnabled.load(std::memory_order_relaxed);
}

void SetPowerSaveEnabled(bool enabled)
{
    OX_JOB_ASSERT(g_pJobSysData);
    JobSysData& data = *g_pJobSysData;
    if (data.m_powerSaveEnabled.load(std::memory_order_relaxed) == enabled)
        return;
    data.m_powerSaveEnabled.store(enabled, std::memory_order_seq_cst);
    for (U64 i = 0; i < data.m_numWorkerThreads; ++i)
    {
        if (!data.m_workerSleeping[i].load(std::memory_order_seq_cst))
            continue;
        data.m_powerSaveMutexes[i].Lock();
        data.m_powerSaveConditions[i].Broadcast();
        data.m_powerSaveMutexes[i].Unlock();
    }
}
} // namespace oxjob
