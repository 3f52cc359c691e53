// The sleeping host wait. Sleepers are spread over a few wake slots by counter address;
// each slot has an epoch word to sleep on and a count of its sleepers. A count-down that
// finds sleepers present advances the epoch of its counter's slot and wakes the slot.
//
// No wake-up is lost: the sleeper announces itself (both counts) and reads the epoch
// before it tests the counter, and it tests the counter under the counter's lock. Either
// its test comes after the count-down's locked change, and it sees the new value; or it
// comes before, and then its announcement happens before the count-down's release of the
// lock, so the count-down (which looks for sleepers only after that release) sees it and
// advances the epoch the sleeper read, and the sleep returns at once or is woken.
//
// While deadlock detection is on, a sleeper also writes its wait into a small table that
// the idle workers' watch reads (WatchHostWaits), so that a wait nobody ends is reported.
#include "corelib/job/job-host-wait.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-host-wake.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-system.h"
#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/word-wait.h"
#include "corelib/system/timing.h"

namespace oxjob
{
std::atomic<U32> g_numSleepingHostWaiters{0};

namespace
{
// How long a host thread spins before it sleeps: time enough for jobs that are about to
// finish (the end of a short loop) to count down, far below a time slice, and little
// against the time a sleeping thread takes to be woken and run again.
constexpr U64 kHostSpinMicroseconds = 50;
// Turns between two readings of the clock while spinning.
constexpr U32 kSpinTurnsPerClockRead = 16;

constexpr U64 kNumWakeSlots = 16;

struct alignas(64) WakeSlot
{
    std::atomic<U32> m_epoch{0};
    std::atomic<U32> m_numSleepers{0};
};

WakeSlot s_wakeSlots[kNumWakeSlots];

WakeSlot& SlotOf(const Counter* pCounter)
{
    // Counters are 128-byte records of one array: neighbours go to different slots.
    return s_wakeSlots[(reinterpret_cast<UPtr>(pCounter) / sizeof(Counter)) % kNumWakeSlots];
}

// The condition, read under the counter's lock (see above).
bool IsMetUnderLock(Counter* pCounter, I64 value, U32 compare)
{
    SpinAcquireLock(pCounter->m_lock, true);
    const bool met = IsDependencyMet(pCounter->m_value.load(std::memory_order_relaxed), value, compare);
    pCounter->m_lock.Release();
    return met;
}

// True once the condition holds and no change of the counter is being announced.
bool IsMetAndSettled(const Counter* pCounter, I64 value, U32 compare)
{
    // The value first: a free lock seen after it means its change has been announced.
    return IsDependencyMet(pCounter->m_value.load(std::memory_order_acquire), value, compare) &&
           !pCounter->m_lock.IsLocked();
}

// --- The waits the deadlock watch sees ---------------------------------------------------

constexpr U64 kMaxWatchedHostWaits = 32;

struct WatchedHostWait
{
    const Counter* m_pCounter; // null: the slot is free
    I64 m_value;
    U32 m_compare;
    bool m_reported;
    U64 m_since;
    typed::CallSite m_where;
};

// The table and its lock; taken only by sleepers while the watch is on and by the watch.
WatchedHostWait s_watchedWaits[kMaxWatchedHostWaits];
std::atomic<bool> s_watchedWaitsLock{false};
std::atomic<U32> s_numWatchedWaits{0};

void LockWatchedWaits()
{
    while (s_watchedWaitsLock.exchange(true, std::memory_order_acquire))
        oxsys::CpuPause();
}

void UnlockWatchedWaits()
{
    s_watchedWaitsLock.store(false, std::memory_order_release);
}

// Enters the wait into the table; returns its slot, or kMaxWatchedHostWaits when the
// watch is off or the table is full (the wait goes unwatched).
U64 WatchHostWait(const Counter* pCounter, I64 value, U32 compare, const typed::CallSite& where)
{
    if (!IsDeadlockDetectionEnabled())
        return kMaxWatchedHostWaits;
    LockWatchedWaits();
    U64 slot = 0;
    while (slot < kMaxWatchedHostWaits && s_watchedWaits[slot].m_pCounter)
        ++slot;
    if (slot < kMaxWatchedHostWaits)
    {
        s_watchedWaits[slot] = WatchedHostWait{pCounter, value, compare, false, GetTimeNow(), where};
        s_numWatchedWaits.fetch_add(1, std::memory_order_relaxed);
    }
    UnlockWatchedWaits();
    return slot;
}

void UnwatchHostWait(U64 slot)
{
    if (slot >= kMaxWatchedHostWaits)
        return;
    LockWatchedWaits();
    s_watchedWaits[slot].m_pCounter = nullptr;
    s_numWatchedWaits.fetch_sub(1, std::memory_order_relaxed);
    UnlockWatchedWaits();
}

void CheckCounterWait(const Counter* pCounter, I64 value)
{
    OX_JOB_ASSERT(pCounter);
    OX_JOB_ASSERT_MSG(value == 0 || pCounter->m_waitRestriction != kWaitForZeroOnly,
                      "This counter [%s:%d] can only be waited on to become '0' (WaitRestriction)",
                      pCounter->m_sourceFile, static_cast<int>(pCounter->m_sourceLine));
}
} // namespace

void WakeHostWaitersOfCounter(const Counter* pCounter)
{
    WakeSlot& slot = SlotOf(pCounter);
    if (slot.m_numSleepers.load(std::memory_order_relaxed) == 0)
        return;
    slot.m_epoch.fetch_add(1, std::memory_order_release);
    oxsys::WakeAllOnWord(slot.m_epoch);
}

bool HasWatchedHostWaits()
{
    return s_numWatchedWaits.load(std::memory_order_relaxed) != 0;
}

void WatchHostWaits(F32 thresholdSeconds)
{
    const U64 now = GetTimeNow();
    LockWatchedWaits();
    // The waiters stay in their waits while the table is locked, so their counters live.
    for (WatchedHostWait& wait : s_watchedWaits)
    {
        if (!wait.m_pCounter || wait.m_reported || now <= wait.m_since ||
            TicksToSeconds(now - wait.m_since) <= thresholdSeconds)
            continue;
        wait.m_reported = true;
        ReportHostWaitHang(*wait.m_pCounter, wait.m_value, wait.m_compare,
                           SourceLocation{wait.m_where.m_file, wait.m_where.m_function, wait.m_where.m_line},
                           TicksToSeconds(now - wait.m_since));
    }
    UnlockWatchedWaits();
}

void HostWaitForCounter(CounterHandle counter, I64 value, U32 compare, typed::CallSite where)
{
    Counter* pCounter = counter.m_pCounter;
    CheckCounterWait(pCounter, value);
    OX_JOB_ASSERT_MSG(!IsWorkerThread(), "HostWaitForCounter would put a job worker to sleep: a job waits "
                                         "with WaitForCounter (or WaitForCounterOnAnyThread)");
    const U64 spinTicks = GetTimerFrequency() * kHostSpinMicroseconds / 1000000;
    const U64 spinStart = GetTimeNow();
    for (U32 turn = 1;; ++turn)
    {
        if (IsMetAndSettled(pCounter, value, compare))
        {
            // Pairs with the lock's release: what the counted-down jobs wrote is visible.
            std::atomic_thread_fence(std::memory_order_acquire);
            return;
        }
        oxsys::CpuPause();
        if (turn % kSpinTurnsPerClockRead == 0 && GetTimeNow() - spinStart >= spinTicks)
            break;
    }

    WakeSlot& slot = SlotOf(pCounter);
    slot.m_numSleepers.fetch_add(1, std::memory_order_seq_cst);
    g_numSleepingHostWaiters.fetch_add(1, std::memory_order_seq_cst);
    const U64 watchSlot = WatchHostWait(pCounter, value, compare, where);
    for (;;)
    {
        const U32 epoch = slot.m_epoch.load(std::memory_order_acquire);
        if (IsMetUnderLock(pCounter, value, compare))
            break;
        oxsys::WaitOnWord(slot.m_epoch, epoch);
    }
    UnwatchHostWait(watchSlot);
    g_numSleepingHostWaiters.fetch_sub(1, std::memory_order_relaxed);
    slot.m_numSleepers.fetch_sub(1, std::memory_order_relaxed);
}

void WaitForCounterOnAnyThread(CounterHandle counter, I64 value, U32 compare, typed::CallSite where)
{
    if (IsWorkerThread())
        WaitForCounter(counter, value, compare);
    else
        HostWaitForCounter(counter, value, compare, where);
}
} // namespace oxjob
