// The job system's named locks, the scheduling locks of the nine priorities and their
// scoped holder.
#include "corelib/job/job-assert.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/platform/mutex-sanitizer.h"
#include "corelib/system/profiler-events.h"

#include <cstdio>

namespace oxjob
{
namespace
{
JobSystemLock& SchedLock(Priority priority)
{
    OX_JOB_ASSERT(g_pJobSysData);
    OX_JOB_ASSERT_MSG(IsValidPriority(priority), "Invalid priority %d", static_cast<int>(priority));
    return g_pJobSysData->m_schedLocks[static_cast<U8>(priority)];
}

// The wait for a lock that another thread holds. With a profiler block the region names
// the lock and the caller's label: "Waiting: <lock> (<label>)".
OX_COLD void LockWaiting(JobSystemLock& lock, const char* label)
{
    char waitName[96] = "Waiting";
    if (GetProfileEventBlock())
    {
        if (label && label[0])
            snprintf(waitName, sizeof(waitName), "Waiting: %s (%s)", lock.m_name, label);
        else
            snprintf(waitName, sizeof(waitName), "Waiting: %s", lock.m_name);
    }
    oxsys::LockMutexNamingTheWait(lock.m_mutex, waitName);
}
} // namespace

void JobSystemLock::Init(const char* name)
{
    oxsys::MutexDesc desc;
    desc.SetName(name);
    oxsys::CreateMutex(desc, m_mutex);
    snprintf(m_name, sizeof(m_name), "%s", name ? name : "");
    m_isInitialized = true;
}

// The name is the caller's label for diagnostics; it does not change the locking. A free
// lock is taken in one attempt; only a wait opens a profiler region.
void JobSystemLock::Lock(const char* name)
{
    OX_JOB_ASSERT(m_isInitialized);
    if (OX_LIKELY(m_mutex.TryLock()))
        return;
    LockWaiting(*this, name);
}

void JobSystemLock::Unlock()
{
    OX_JOB_ASSERT(m_isInitialized);
    m_mutex.Unlock();
}

void JobSystemLock::Shutdown()
{
    OX_JOB_ASSERT(m_isInitialized);
    oxsys::DestroyMutex(m_mutex);
    m_isInitialized = false;
}

void JobSystemLock::HoldLeavesFiber()
{
    oxsys::SanitizerMutexHoldLeavesFiber(m_mutex.m_criticalSection);
}

void JobSystemLock::HoldJoinsFiber()
{
    oxsys::SanitizerMutexHoldJoinsFiber(m_mutex.m_criticalSection);
}

void LockSchedulingData(const char* name)
{
    OX_JOB_ASSERT(g_pJobSysData);
    for (I32 p = static_cast<I32>(Priority::kNumPriorities) - 1; p >= 0; --p)
        g_pJobSysData->m_schedLocks[p].Lock(name);
    LockWorkerJobLists();
}

void UnlockSchedulingData()
{
    OX_JOB_ASSERT(g_pJobSysData);
    UnlockWorkerJobLists();
    for (I32 p = 0; p < static_cast<I32>(Priority::kNumPriorities); ++p)
        g_pJobSysData->m_schedLocks[p].Unlock();
}

void LockSchedulingData(Priority priority, const char* name)
{
    SchedLock(priority).Lock(name);
}

void UnlockSchedulingData(Priority priority)
{
    SchedLock(priority).Unlock();
}

SchedulingDataLockJanitor::SchedulingDataLockJanitor(Priority priority, const char* name, bool lockNow)
    : m_priority(priority), m_locked(false)
{
    OX_JOB_ASSERT(priority > Priority::kInvalid && priority < Priority::kNumPriorities);
    if (lockNow)
        Lock(name);
}

SchedulingDataLockJanitor::~SchedulingDataLockJanitor()
{
    Unlock();
}

void SchedulingDataLockJanitor::Lock(const char* name)
{
    OX_JOB_ASSERT(!m_locked);
    LockSchedulingData(m_priority, name);
    m_locked = true;
}

void SchedulingDataLockJanitor::Unlock()
{
    if (!m_locked)
        return;
    UnlockSchedulingData(m_priority);
    m_locked = false;
}
} // namespace oxjob
