// Waiting for a counter from a thread that is not a job worker (a host's main thread, a
// loader thread): a short spin, then sleep until the count-down that meets the condition
// wakes the thread, so that a long wait leaves the processors to the workers. A job waits
// by fiber switch instead (WaitForCounter).
#pragma once

#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

namespace oxjob
{
// Returns when the counter meets (value, compare), spinning briefly and then asleep until
// a change of the counter wakes the thread; not on a worker thread.
void HostWaitForCounter(CounterHandle counter, I64 value, U32 compare = kCompareEqual);
// Waits for (value, compare) as the calling thread should: by fiber switch in a job
// (WaitForCounter), asleep on any other thread (HostWaitForCounter).
void WaitForCounterOnAnyThread(CounterHandle counter, I64 value, U32 compare = kCompareEqual);
} // namespace oxjob
