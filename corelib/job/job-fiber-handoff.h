// The fiber-data lock is taken on one fiber and released on the fiber that runs next on
// the same thread. The operating system sees one thread holding and releasing it; a
// thread sanitizer that tracks each fiber as a thread of its own must be told that the
// hold moves with the switch.
#pragma once

#include "corelib/system/platform/mutex.h"
#include "corelib/system/platform/platform.h"

#if OX_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace oxjob
{
// Before the switch: the calling fiber gives up its hold.
inline void BeginFiberLockHandOff(oxsys::Mutex& mutex)
{
#if OX_TSAN
    __tsan_mutex_pre_unlock(mutex.m_criticalSection, 0);
    __tsan_mutex_post_unlock(mutex.m_criticalSection, 0);
#else
    (void)mutex;
#endif
}

// After the switch: the fiber now running takes the hold over.
inline void EndFiberLockHandOff(oxsys::Mutex& mutex)
{
#if OX_TSAN
    __tsan_mutex_pre_lock(mutex.m_criticalSection, 0);
    __tsan_mutex_post_lock(mutex.m_criticalSection, 0, 1);
#else
    (void)mutex;
#endif
}
} // namespace oxjob
