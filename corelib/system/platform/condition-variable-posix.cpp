// The OS condition variable on POSIX: a pthread condition on CLOCK_MONOTONIC, so that
// time-outs do not move with the wall clock.
#include "corelib/system/platform/condition-variable-platform.h"
#include "corelib/util/msg-assert.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

namespace oxsys
{
pthread_mutex_t* PlatformNativeMutex(Mutex& mutex);

namespace
{
static_assert(sizeof(pthread_cond_t) <= kConditionVariableStorageSize, "the condition storage is too small");
static_assert(alignof(pthread_cond_t) <= 16, "the condition storage is not aligned enough");

inline pthread_cond_t* NativeCondition(ConditionVariable& cv)
{
    return reinterpret_cast<pthread_cond_t*>(cv.m_conditionVariable);
}
} // namespace

void PlatformInitConditionVariable(ConditionVariable& cv)
{
    pthread_condattr_t attr;
    OX_VERIFY(pthread_condattr_init(&attr) == 0);
    OX_VERIFY(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0);
    OX_VERIFY(pthread_cond_init(NativeCondition(cv), &attr) == 0);
    pthread_condattr_destroy(&attr);
}

void PlatformDeleteConditionVariable(ConditionVariable& cv)
{
    pthread_cond_destroy(NativeCondition(cv));
}

void PlatformSignalConditionVariable(ConditionVariable& cv)
{
    pthread_cond_signal(NativeCondition(cv));
}

void PlatformBroadcastConditionVariable(ConditionVariable& cv)
{
    pthread_cond_broadcast(NativeCondition(cv));
}

bool PlatformWaitConditionVariable(ConditionVariable& cv, Mutex& mutex, U32 timeoutMs)
{
    if (timeoutMs == kInfinite)
        return pthread_cond_wait(NativeCondition(cv), PlatformNativeMutex(mutex)) == 0;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000)
    {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    return pthread_cond_timedwait(NativeCondition(cv), PlatformNativeMutex(mutex), &deadline) == 0;
}
} // namespace oxsys
