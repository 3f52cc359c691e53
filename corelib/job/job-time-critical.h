// Time-critical work, emergency workers and power save. The lowest-numbered priorities
// are time-critical when emergency workers exist: emergency workers (at time-critical
// thread priority) serve only them, and only after the job has been ready for
// m_emergencyWorkerDelay. Power save lets idle regular workers sleep.
#pragma once

#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

namespace oxjob
{
// True when emergency workers exist, time-critical work is enabled and the priority is
// below m_numTimeCriticalPriorities.
bool IsTimeCriticalPriority(Priority priority);
// True for the index of an emergency worker.
bool IsEmergencyWorkerThread(U64 workerThreadIndex);
bool IsTimeCriticalWorkEnabled();
// Switches the split of priorities between regular and emergency workers.
void SetTimeCriticalWorkEnabled(bool enabled);
// A time-critical work period keeps emergency workers spinning; periods nest and may
// overlap between threads.
void BeginTimeCriticalWorkPeriod();
void EndTimeCriticalWorkPeriod();
bool IsInTimeCriticalWorkPeriod();
// Wakes the emergency workers waiting for work.
void NotifyTimeCriticalWork();
bool IsPowerSaveEnabled();
// While enabled, idle regular workers sleep on their condition variables after 1000 idle
// turns; disabling wakes them.
void SetPowerSaveEnabled(bool enabled);
} // namespace oxjob
