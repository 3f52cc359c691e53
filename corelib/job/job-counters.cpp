// Counters: the pool with its next-fit rule, allocation and release with the call site,
// value changes with the wake-up of waiters, and the report of counters in use.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-host-wake.h"
#include "corelib/job/job-source-names.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg.h"

namespace oxjob
{
namespace
{
// Takes the counter's lock; workers only spin, other threads may sleep between tries.
void LockCounter(Counter* pCounter)
{
    SpinAcquireLock(pCounter->m_lock, !IsWorkerThread());
}
} // namespace

void Counter::Reset()
{
    m_sourceFile = nullptr;
    m_sourceLine = 0;
    m_sourceFunction = nullptr;
    m_allocTime = 0;
    m_lock.Init();
    m_value.store(0, std::memory_order_relaxed);
    m_waitRestriction = kWaitForZeroOnly;
}

CounterHandle AllocateCounter(const char* srcFile, U32 srcLine, const char* srcFunc, I64 initialValue,
                              WaitRestriction waitRestriction)
{
    OX_JOB_ASSERT(g_pJobSysData);
    JobSysData& data = *g_pJobSysData;
    data.m_counterLock.Lock("AllocateCounter");
    OX_JOB_ASSERT(srcFile);
    OX_JOB_ASSERT(srcFunc);
    OX_JOB_ASSERT(srcLine > 0);
    OX_JOB_ASSERT(g_pJobSysData->m_initParams.m_numCounters);

    RecordPool<kMaxSupportedCounters, Counter>& pool = data.m_counterPool;
    const U64 index = pool.FindFreeIndex();
    Counter* pCounter = nullptr;
    if (index < pool.m_capacity)
    {
        pool.m_lastIndex = index;
        pool.m_storage.SetBit(index);
        pCounter = &pool.m_pRecords[index];
        pCounter->Reset();
        pCounter->m_value.store(initialValue, std::memory_order_relaxed);
        pCounter->m_waitRestriction = waitRestriction;
        pCounter->m_sourceFile = srcFile;
        pCounter->m_sourceLine = srcLine;
        pCounter->m_sourceFunction = srcFunc;
        pCounter->m_allocTime = GetTimeNow();
        OX_JOB_ASSERT(pCounter->m_sourceFile);
        OX_JOB_ASSERT(pCounter->m_sourceFunction);
        OX_JOB_ASSERT(pCounter->m_sourceLine);
    }
    data.m_counterLock.Unlock();

    if (!pCounter)
    {
        DumpAllocatedCounters();
        OX_JOB_ASSERT_MSG(
            pCounter,
            "We ran out of job system counters! Check TTY for the list of currenty allocated counters.");
    }
    return CounterHandle{pCounter};
}

CounterHandle AllocateCounter(I64 initialValue, WaitRestriction waitRestriction,
                              const SourceLocation& location)
{
    return AllocateCounter(location.m_sourceFile, location.m_sourceLine, location.m_sourceFunction,
                           initialValue, waitRestriction);
}

void FreeCounter(CounterHandle counter)
{
    OX_JOB_ASSERT(g_pJobSysData);
    Counter* pCounter = counter.m_pCounter;
    OX_JOB_ASSERT(pCounter);
    LockCounter(pCounter);
    pCounter->m_value.store(0, std::memory_order_relaxed);
    pCounter->m_lock.Release();

    JobSysData& data = *g_pJobSysData;
    data.m_counterLock.Lock("FreeCounter");
    OX_JOB_ASSERT(pCounter);
    OX_JOB_ASSERT(g_pJobSysData->m_initParams.m_numCounters);
    const U64 index = data.m_counterPool.IndexOf(pCounter);
    // A handle freed twice, or one that never came from the pool, would otherwise free
    // whichever counter holds that slot now.
    OX_JOB_ASSERT_MSG(index < data.m_counterPool.m_capacity && data.m_counterPool.m_storage.IsBitSet(index),
                      "FreeCounter: the counter [0x%012llX] is not in use (freed twice?)",
                      static_cast<unsigned long long>(reinterpret_cast<UPtr>(pCounter)));
    pCounter->Reset();
    data.m_counterPool.m_storage.ClearBit(index);
    data.m_counterLock.Unlock();
}

I64 GetCounterValue(CounterHandle counter)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(counter.m_pCounter);
    return counter.m_pCounter->m_value.load(std::memory_order_acquire);
}

I64 ChangeCounterValue(Counter* pCounter, I64 delta, bool set)
{
    const WaitRestriction restriction = pCounter->m_waitRestriction;
    // A change of a counter that may only be waited on to become 0, to a value other than
    // 0, wakes nobody: it is one atomic operation without the lock. Every change that may
    // wake someone (a new value of 0, any value of an unrestricted counter, a set) takes
    // the lock; since waiters can only be satisfied by such a change, the rule below
    // holds for them all.
    if (!set && restriction == kWaitForZeroOnly)
    {
        I64 value = pCounter->m_value.load(std::memory_order_relaxed);
        while (value + delta != 0)
        {
            if (pCounter->m_value.compare_exchange_weak(value, value + delta, std::memory_order_acq_rel,
                                                        std::memory_order_relaxed))
                return value + delta;
        }
    }
    LockCounter(pCounter);
    // Read-modify-write even under the lock: the lock-free changes above do not take it.
    const I64 newValue = set ? (pCounter->m_value.exchange(delta, std::memory_order_acq_rel), delta)
                             : pCounter->m_value.fetch_add(delta, std::memory_order_acq_rel) + delta;
    // The lock stays held while the waiters are matched: a waiter that sees the new value
    // returns only once the lock is free, so it cannot free and reuse the counter while the
    // wake-up still compares against it.
    bool woken = false;
    if (newValue == 0 || restriction == kNoWaitRestriction)
        woken = WakeUpWaitingJobs(pCounter, newValue);
    pCounter->m_lock.Release();
    NotifyHostWaiters(pCounter);
    if (woken)
        ScheduleWokenUpJobs();
    return newValue;
}

void SetCounterValue(CounterHandle counter, I64 value)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(counter.m_pCounter);
    ChangeCounterValue(counter.m_pCounter, value, true);
}

I64 AddToCounter(CounterHandle counter, I64 delta)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT(counter.m_pCounter);
    return ChangeCounterValue(counter.m_pCounter, delta, false);
}

void WaitForCounterAndFree(CounterHandle counter, I64 value, U32 compare)
{
    WaitForCounter(counter, value, compare);
    FreeCounter(counter);
}

void WakeUpJobsWaitingOnCounter(CounterHandle counter, I64 value)
{
    OX_JOB_ASSERT(g_pJobSysData);
    Counter* pCounter = counter.m_pCounter;
    OX_JOB_ASSERT(pCounter);
    if (WakeUpWaitingJobs(pCounter, value))
        ScheduleWokenUpJobs();
}

void DumpAllocatedCounters()
{
    OX_JOB_ASSERT(g_pJobSysData);
    JobSysData& data = *g_pJobSysData;
    data.m_counterLock.Lock("DumpAllocatedCounters");
    SetActiveMsgOutput(1);
    PrintToActiveMsgOutput("\n===================== ALLOCATED JOB SYSTEM COUNTERS =====================\n");
    const U64 now = GetTimeNow();
    const RecordPool<kMaxSupportedCounters, Counter>& pool = data.m_counterPool;
    for (U64 index = 0; index < pool.m_capacity; ++index)
    {
        if (!pool.m_storage.IsBitSet(index))
            continue;
        const Counter& counter = pool.m_pRecords[index];
        char fileName[kShortSourceNameSize];
        char functionName[kShortSourceNameSize];
        ShortJobSourceFile(counter.m_sourceFile, fileName, sizeof(fileName));
        ShortJobSourceFunction(counter.m_sourceFunction, functionName, sizeof(functionName));
        SetActiveMsgOutput(1);
        PrintToActiveMsgOutput("[%u] %s %s:%d (%.4f)\n", static_cast<U32>(index), functionName, fileName,
                               static_cast<int>(counter.m_sourceLine),
                               static_cast<double>(TicksToSeconds(now - counter.m_allocTime)));
    }
    data.m_counterLock.Unlock();
}
} // namespace oxjob
