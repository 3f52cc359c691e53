// Waiting for a counter from a thread that is not a job worker (a host's main thread, a
// loader thread): a short spin, then sleep until the count-down that meets the condition
// wakes the thread, so that a long wait leaves the processors to the workers. A job waits
// by fiber switch instead (WaitForCounter).
//
// With deadlock detection on (SetDeadlockDetectionEnabled), a host thread that sleeps
// longer than the watch's threshold while no worker runs a job is reported by the watch:
// the counter, its value and target, where it was allocated and where the wait was called.
#pragma once

#include "corelib/job/job-types.h"
#include "corelib/util/call-site.h"
#include "corelib/util/types.h"

namespace oxjob
{
namespace typed
{
// The caller's position (the library's one CallSite), filled in where the call is written.
using CallSite = ::CallSite;
} // namespace typed

// Returns when the counter meets (value, compare), spinning briefly and then asleep until
// a change of the counter wakes the thread; not on a worker thread. where names the wait
// in the deadlock watch's report.
void HostWaitForCounter(CounterHandle counter, I64 value, U32 compare = kCompareEqual,
                        typed::CallSite where = typed::CallSite());
// Waits for (value, compare) as the calling thread should: by fiber switch in a job
// (WaitForCounter), asleep on any other thread (HostWaitForCounter).
void WaitForCounterOnAnyThread(CounterHandle counter, I64 value, U32 compare = kCompareEqual,
                               typed::CallSite where = typed::CallSite());
} // namespace oxjob
