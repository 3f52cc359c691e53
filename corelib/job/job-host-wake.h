// The count-down's side of the host wait (job-host-wait.h): after a counter's value has
// changed and its lock has been released, the host threads asleep on that counter are
// woken. While no host thread sleeps this costs one relaxed load.
#pragma once

#include "corelib/system/platform/platform.h"
#include "corelib/util/types.h"

#include <atomic>

namespace oxjob
{
struct Counter;
struct SourceLocation;

// Host threads in the sleeping part of HostWaitForCounter.
extern std::atomic<U32> g_numSleepingHostWaiters;

// Wakes the host threads asleep on the counter (and on counters that share its slot).
void WakeHostWaitersOfCounter(const Counter* pCounter);

// Called after every change of a counter's value, once its lock is free. It reads no
// field of the counter: the waiter may free the counter as soon as the lock is free.
inline void NotifyHostWaiters(const Counter* pCounter)
{
    if (OX_UNLIKELY(g_numSleepingHostWaiters.load(std::memory_order_relaxed) != 0))
        WakeHostWaitersOfCounter(pCounter);
}
// The deadlock watch's look at the host threads asleep in HostWaitForCounter
// (job-host-wait.cpp): each wait longer than thresholdSeconds is reported once, with
// ReportHostWaitHang. Called by an idle worker while no worker runs a job.
void WatchHostWaits(F32 thresholdSeconds);
// True while a host thread's wait is in the watch's table.
bool HasWatchedHostWaits();

// Prints the report of a host thread that has waited waitedSeconds at where for the
// counter to meet (value, compare) (job-deadlock.cpp).
void ReportHostWaitHang(const Counter& counter, I64 value, U32 compare, const SourceLocation& where,
                        F32 waitedSeconds);
} // namespace oxjob
