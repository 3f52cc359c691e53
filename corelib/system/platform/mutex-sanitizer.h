// What ThreadSanitizer must be told about the futex lock under POSIX mutexes, as inline
// calls that vanish from builds without it. The sanitizer knows a pthread mutex by its
// calls; of a lock built on atomics and futex calls it would see only the atomics, which
// order memory but make no mutex: no lock-order reports, and no hold that the job system
// can pass from one fiber to the next (the sanitizer tracks each fiber as a thread). A
// lock is named by its address, the mutex's OS lock storage (m_criticalSection).
#pragma once

#include "corelib/system/platform/platform.h"

#if OX_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace oxsys
{
// A new lock, which its owner may enter again.
inline void SanitizerMutexCreated(void* pLock)
{
#if OX_TSAN
    __tsan_mutex_create(pLock, __tsan_mutex_write_reentrant);
#else
    (void)pLock;
#endif
}

inline void SanitizerMutexDestroyed(void* pLock)
{
#if OX_TSAN
    __tsan_mutex_destroy(pLock, 0);
#else
    (void)pLock;
#endif
}

// Around an attempt to enter (a single try when tryOnly): memory accesses in between
// belong to the lock itself and are not checked.
inline void SanitizerMutexBeforeLock(void* pLock, bool tryOnly)
{
#if OX_TSAN
    __tsan_mutex_pre_lock(pLock, tryOnly ? __tsan_mutex_try_lock : 0);
#else
    (void)pLock;
    (void)tryOnly;
#endif
}

inline void SanitizerMutexAfterLock(void* pLock, bool tryOnly, bool entered)
{
#if OX_TSAN
    const unsigned flags =
        (tryOnly ? __tsan_mutex_try_lock : 0) | (entered ? 0 : __tsan_mutex_try_lock_failed);
    __tsan_mutex_post_lock(pLock, flags, 1);
#else
    (void)pLock;
    (void)tryOnly;
    (void)entered;
#endif
}

// Around leaving one level of the calling thread's hold.
inline void SanitizerMutexBeforeUnlock(void* pLock)
{
#if OX_TSAN
    __tsan_mutex_pre_unlock(pLock, 0);
#else
    (void)pLock;
#endif
}

inline void SanitizerMutexAfterUnlock(void* pLock)
{
#if OX_TSAN
    __tsan_mutex_post_unlock(pLock, 0);
#else
    (void)pLock;
#endif
}

// A hold that passes from the calling fiber to the next fiber its thread runs: the
// operating system sees one thread, the sanitizer two. Call the first right before the
// switch, the second on the fiber that then runs.
inline void SanitizerMutexHoldLeavesFiber(void* pLock)
{
    SanitizerMutexBeforeUnlock(pLock);
    SanitizerMutexAfterUnlock(pLock);
}

inline void SanitizerMutexHoldJoinsFiber(void* pLock)
{
    SanitizerMutexBeforeLock(pLock, false);
    SanitizerMutexAfterLock(pLock, false, true);
}
} // namespace oxsys
