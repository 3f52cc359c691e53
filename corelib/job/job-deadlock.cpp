// The deadlock watch of idle workers: when no worker has started or finished a job for
// longer than the threshold while jobs or job arrays wait, five confirming passes later
// the deadlock report is printed.
#include "corelib/job/job-system-priv.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

namespace oxjob
{
namespace
{
constexpr F32 kDefaultDeadlockThresholdSeconds = 5.0f;
constexpr int kConfirmingPasses = 5;

std::atomic<bool> s_deadlockDetectionEnabled{false};
std::atomic<F32> s_deadlockThresholdSeconds{kDefaultDeadlockThresholdSeconds};

F32 SecondsSince(U64 then, U64 now)
{
    return now > then ? TicksToSeconds(now - then) : 0.0f;
}

void RefreshActivityTimes()
{
    const U64 now = GetTimeNow();
    for (U64 i = 0; i < kMaxWorkerThreads; ++i)
        g_pJobSysData->m_lastActivityTime[i].store(now, std::memory_order_relaxed);
}

// A short report of what waits; the full report with the job trace replaces it.
void ReportDeadlock()
{
    JobSysData& data = *g_pJobSysData;
    SetActiveMsgOutput(1);
    PrintToActiveMsgOutput("Job system deadlock: no worker activity for %.1f seconds; %llu job(s) and %llu job "
                           "array(s) waiting\n",
                           static_cast<double>(s_deadlockThresholdSeconds.load()),
                           static_cast<unsigned long long>(data.m_numWaitingJobs.load()),
                           static_cast<unsigned long long>(data.m_numWaitingJobArrays));
    RefreshActivityTimes();
}
} // namespace

void SetDeadlockDetectionEnabled(bool enabled)
{
    s_deadlockDetectionEnabled.store(enabled, std::memory_order_relaxed);
}

bool IsDeadlockDetectionEnabled()
{
    return s_deadlockDetectionEnabled.load(std::memory_order_relaxed);
}

void SetDeadlockDetectionThresholdSeconds(F32 seconds)
{
    s_deadlockThresholdSeconds.store(seconds > 0.0f ? seconds : kDefaultDeadlockThresholdSeconds);
}

void WatchForDeadlock(U64 workerIndex)
{
    JobSysData& data = *g_pJobSysData;
    const F32 threshold = s_deadlockThresholdSeconds.load(std::memory_order_relaxed);
    if (!(SecondsSince(data.m_lastActivityTime[workerIndex].load(std::memory_order_relaxed), GetTimeNow()) > threshold))
        return;
    if (data.m_numWaitingJobArrays == 0 && data.m_numWaitingJobs.load(std::memory_order_relaxed) == 0)
    {
        RefreshActivityTimes();
        oxsys::SleepMs(1);
        return;
    }
    for (int pass = 0; pass < kConfirmingPasses; ++pass)
    {
        const U64 now = GetTimeNow();
        for (U64 w = 0; w < data.m_numWorkerThreads; ++w)
        {
            const RunnableJob job = SnapshotActiveJob(w);
            const bool busy = job.m_jobId != 0 && !(job.m_jobDecl.m_flags & kNoActivityTracking);
            if (busy || SecondsSince(data.m_lastActivityTime[w].load(std::memory_order_relaxed), now) < threshold)
            {
                RefreshActivityTimes();
                oxsys::SleepMs(1);
                return;
            }
        }
        oxsys::SleepMs(100);
    }
    ReportDeadlock();
}
} // namespace oxjob
