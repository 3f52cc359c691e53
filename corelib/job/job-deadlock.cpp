// The deadlock watch of idle workers: when no worker has started or finished a job for
// longer than the threshold while jobs or job arrays wait, five confirming passes later
// the deadlock report is printed. The watch also reports a host thread that has slept in
// HostWaitForCounter longer than the threshold while no worker runs a job.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wake.h"
#include "corelib/job/job-source-names.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-trace.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg.h"

#include <cstdarg>
#include <cstdio>

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

// Every line of the deadlock report is printed on the active output in text colour 8.
void PrintReportLine(const char* format, ...) OX_PRINTF_FORMAT(1, 2);
void PrintReportLine(const char* format, ...)
{
    const int channel = GetActiveMsgOutput();
    SetMsgOutputTextColor(channel, 8);
    va_list args;
    va_start(args, format);
    VPrintToMsgOutput(channel, format, args);
    va_end(args);
}

// A counter's call site as the report prints it.
struct CounterSite
{
    unsigned long long m_address;
    char m_function[kShortSourceNameSize];
    char m_file[kShortSourceNameSize];
    int m_line;
    double m_ageSeconds;

    CounterSite(const Counter& counter, U64 now)
        : m_address(reinterpret_cast<UPtr>(&counter)), m_line(static_cast<int>(counter.m_sourceLine)),
          m_ageSeconds(SecondsSince(counter.m_allocTime, now))
    {
        ShortJobSourceFunction(counter.m_sourceFunction, m_function, sizeof(m_function));
        ShortJobSourceFile(counter.m_sourceFile, m_file, sizeof(m_file));
    }
};

bool IsAnyWorkerRunningAJob()
{
    for (U64 w = 0; w < g_pJobSysData->m_numWorkerThreads; ++w)
        if (SnapshotActiveJob(w).m_jobId != 0)
            return true;
    return false;
}

void RefreshActivityTimes()
{
    const U64 now = GetTimeNow();
    for (U64 i = 0; i < kMaxWorkerThreads; ++i)
        g_pJobSysData->m_lastActivityTime[i].store(now, std::memory_order_relaxed);
}

} // namespace

void ReportDeadlock()
{
    JobSysData& data = *g_pJobSysData;
    // Nothing may be chosen, parked or woken while the report prints. The wait lock comes
    // first, as on the wake-up path (which may take a scheduling lock while it holds the
    // wait lock), so the report cannot deadlock with a wake-up.
    data.m_waitLock.Lock("ReportDeadlock");
    LockSchedulingData("ReportDeadlock");
    data.m_jobArrayLock.Lock("ReportDeadlock");

    PrintReportLine("\n===================== RECENT JOB TRACE ========================\n");
    DumpRecentJobTrace(100, 8);

    const U64 now = GetTimeNow();
    PrintReportLine("\n===================== WAITING JOB ARRAYS =====================\n");
    for (const WaitContext* pWaitContext = data.m_pWaitingJobArrays; pWaitContext;
         pWaitContext = pWaitContext->m_pNext)
    {
        OX_JOB_ASSERT(pWaitContext->m_pJobArray->m_pDependentCounter);
        const JobArray& jobArray = *pWaitContext->m_pJobArray;
        const CounterSite site(*jobArray.m_pDependentCounter, now);
        PrintReportLine("JobArray waiting on counter [0x%012llX] to be '%d' allocated from %s %s:%d (%.4f)\n",
                        site.m_address, static_cast<int>(jobArray.m_dependentValue), site.m_function,
                        site.m_file, site.m_line, site.m_ageSeconds);
    }

    PrintReportLine("\n===================== WAITING JOBS ===========================\n");
    const U64 numWaitingJobs = data.m_numWaitingJobs.load(std::memory_order_relaxed);
    for (U64 i = 0; i < numWaitingJobs; ++i)
    {
        const RunnableJob& job = data.m_pWaitingJobs[i];
        PrintReportLine("Job %s [%lld] waiting ", GetJobName(&job.m_jobDecl),
                        static_cast<long long>(job.m_jobId));
        const bool first = job.m_jobDecl.m_dependentCounter != nullptr;
        const Counter* pCounter =
            first ? job.m_jobDecl.m_dependentCounter : job.m_jobDecl.m_dependentCounter2;
        OX_JOB_ASSERT(pCounter);
        const I64 target = first ? job.m_jobDecl.m_dependentValue : job.m_jobDecl.m_dependentValue2;
        const U32 compare = first ? job.m_jobDecl.m_dependentCompare : job.m_jobDecl.m_dependentCompare2;
        const CounterSite site(*pCounter, now);
        PrintReportLine("on counter [0x%012llX] to be '%d'%s (currently %d) allocated from %s %s:%d (%.4f)\n",
                        site.m_address, static_cast<int>(target),
                        compare == kCompareLessOrEqual ? " (or less)" : "",
                        static_cast<int>(pCounter->m_value.load(std::memory_order_relaxed)), site.m_function,
                        site.m_file, site.m_line, site.m_ageSeconds);
    }
    PrintReportLine("Job System has been inactive with a waiting job for more than 10 seconds.\n");

    if (!IsDebuggerAttached())
        OxAssertReportAndContinue(nullptr, __FILE__, __func__, __LINE__, "Job System Deadlock Detected");

    const I64 workerIndex = ReadWorkerIndex();
    OX_JOB_ASSERT(static_cast<U64>(workerIndex) < kMaxWorkerThreads);
    data.m_lastActivityTime[workerIndex].store(GetTimeNow(), std::memory_order_relaxed);
    data.m_jobArrayLock.Unlock();
    UnlockSchedulingData();
    data.m_waitLock.Unlock();
}

void ReportHostWaitHang(const Counter& counter, I64 value, U32 compare, const SourceLocation& where,
                        F32 waitedSeconds)
{
    const CounterSite site(counter, GetTimeNow());
    char waitFunction[kShortSourceNameSize];
    char waitFile[kShortSourceNameSize];
    ShortJobSourceFunction(where.m_sourceFunction, waitFunction, sizeof(waitFunction));
    ShortJobSourceFile(where.m_sourceFile, waitFile, sizeof(waitFile));
    const int current = static_cast<int>(counter.m_value.load(std::memory_order_relaxed));
    const char* orLess = compare == kCompareLessOrEqual ? " (or less)" : "";
    PrintReportLine("\n===================== WAITING HOST THREAD ====================\n");
    PrintReportLine("Host thread waiting at %s %s:%d for %.1f seconds on counter [0x%012llX] to be '%d'%s "
                    "(currently %d) allocated from %s %s:%d (%.4f)\n",
                    waitFunction, waitFile, static_cast<int>(where.m_sourceLine),
                    static_cast<double>(waitedSeconds), site.m_address, static_cast<int>(value), orLess,
                    current, site.m_function, site.m_file, site.m_line, site.m_ageSeconds);
    if (IsDebuggerAttached())
        return;
    // The report names the wait's own line; its message, the counter's.
    char message[512];
    snprintf(
        message, sizeof(message),
        "Host thread waiting for more than %.1f seconds on counter [0x%012llX] to be '%d'%s (currently %d) "
        "allocated from %s %s:%d, and no job is running",
        static_cast<double>(waitedSeconds), site.m_address, static_cast<int>(value), orLess, current,
        site.m_function, site.m_file, site.m_line);
    OxAssertReportAndContinue(nullptr, where.m_sourceFile, where.m_sourceFunction,
                              static_cast<int>(where.m_sourceLine), message);
}

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
    if (HasWatchedHostWaits() && !IsAnyWorkerRunningAJob())
        WatchHostWaits(threshold);
    if (!(SecondsSince(data.m_lastActivityTime[workerIndex].load(std::memory_order_relaxed), GetTimeNow()) >
          threshold))
        return;
    if (data.m_numWaitingJobArrays.load(std::memory_order_relaxed) == 0 &&
        data.m_numWaitingJobs.load(std::memory_order_relaxed) == 0)
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
            if (busy ||
                SecondsSince(data.m_lastActivityTime[w].load(std::memory_order_relaxed), now) < threshold)
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
