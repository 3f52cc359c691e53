// The OS lock of oxsys::Mutex on POSIX: a recursive pthread mutex, the stand-in for a
// CRITICAL_SECTION (which its owner may enter again).
#include "corelib/system/platform/mutex-platform.h"
#include "corelib/util/msg-assert.h"

#include <pthread.h>

namespace oxsys
{
namespace
{
static_assert(sizeof(pthread_mutex_t) <= kMutexStorageSize, "the mutex storage is too small");
static_assert(alignof(pthread_mutex_t) <= 16, "the mutex storage is not aligned enough");

inline pthread_mutex_t* NativeMutex(Mutex& mutex)
{
    return reinterpret_cast<pthread_mutex_t*>(mutex.m_criticalSection);
}
} // namespace

void PlatformInitMutex(Mutex& mutex)
{
    pthread_mutexattr_t attr;
    OX_VERIFY(pthread_mutexattr_init(&attr) == 0);
    OX_VERIFY(pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0);
    OX_VERIFY(pthread_mutex_init(NativeMutex(mutex), &attr) == 0);
    pthread_mutexattr_destroy(&attr);
}

void PlatformDeleteMutex(Mutex& mutex)
{
    pthread_mutex_destroy(NativeMutex(mutex));
}

void PlatformEnterMutex(Mutex& mutex)
{
    const int err = pthread_mutex_lock(NativeMutex(mutex));
    OX_ASSERT(err == 0);
}

bool PlatformTryEnterMutex(Mutex& mutex)
{
    return pthread_mutex_trylock(NativeMutex(mutex)) == 0;
}

void PlatformLeaveMutex(Mutex& mutex)
{
    // A recursive pthread mutex refuses an unlock by a thread that does not own it
    // (EPERM), where a critical section would be corrupted silently: report it.
    const int err = pthread_mutex_unlock(NativeMutex(mutex));
    OX_ASSERT_MSG(err == 0, "Mutex unlocked by a thread that does not hold it");
}

// For the condition variable.
pthread_mutex_t* PlatformNativeMutex(Mutex& mutex)
{
    return NativeMutex(mutex);
}
} // namespace oxsys
