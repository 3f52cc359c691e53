// The event on POSIX: a mutex and a CLOCK_MONOTONIC condition guarding the signalled
// state, the number of waiters and a release count.
//
// A waiter leaves when the event is signalled or when the release count has moved since
// it began to wait. A pulse moves the count, which releases exactly the threads waiting
// at that moment and leaves the event non-signalled. A set that finds waiters moves it
// too: Windows satisfies the waits at the moment of the set, so a set followed at once by
// a reset still releases everyone who was waiting, although the woken threads look at
// the state only after the reset may have run.
//
// The signalled flag is also an atomic that waits read before taking the lock, so a wait
// on a signalled event costs one load and never sleeps.
#include "corelib/system/platform/deadline-posix.h"
#include "corelib/system/platform/event-posix.h"
#include "corelib/system/platform/event-platform.h"
#include "corelib/util/msg-assert.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <pthread.h>

namespace oxsys
{
namespace
{
struct PosixEvent
{
    pthread_mutex_t m_mutex;
    pthread_cond_t m_condition;
    U64 m_releaseCount;           // guarded by m_mutex
    U32 m_numWaiters;             // guarded by m_mutex
    std::atomic<U32> m_signalled; // written under m_mutex, read without it by waits
};
static_assert(sizeof(PosixEvent) <= kEventStorageSize, "the event storage is too small");
static_assert(alignof(PosixEvent) <= 16, "the event storage is not aligned enough");

inline PosixEvent& NativeEvent(Event& event)
{
    return *std::launder(reinterpret_cast<PosixEvent*>(event.m_event));
}

class EventLock
{
public:
    explicit EventLock(PosixEvent& event) : m_event(event)
    {
        OX_VERIFY(pthread_mutex_lock(&m_event.m_mutex) == 0);
    }
    ~EventLock() { OX_VERIFY(pthread_mutex_unlock(&m_event.m_mutex) == 0); }
    EventLock(const EventLock&) = delete;
    EventLock& operator=(const EventLock&) = delete;

private:
    PosixEvent& m_event;
};

// Releases the waiters that registered before this call; under the lock.
inline void ReleaseWaiters(PosixEvent& event)
{
    if (event.m_numWaiters == 0)
        return;
    ++event.m_releaseCount;
    OX_VERIFY(pthread_cond_broadcast(&event.m_condition) == 0);
}

// Whether a waiter that registered when the release count was startCount may leave;
// under the lock.
inline bool IsReleased(const PosixEvent& event, U64 startCount)
{
    return event.m_signalled.load(std::memory_order_relaxed) != 0 || event.m_releaseCount != startCount;
}
} // namespace

bool PlatformCreateEvent(Event& event)
{
    PosixEvent* pEvent = new (event.m_event) PosixEvent;
    pEvent->m_releaseCount = 0;
    pEvent->m_numWaiters = 0;
    pEvent->m_signalled.store(0, std::memory_order_relaxed);

    int err = pthread_mutex_init(&pEvent->m_mutex, nullptr);
    if (err != 0)
    {
        errno = err;
        return false;
    }
    pthread_condattr_t attr;
    err = pthread_condattr_init(&attr);
    if (err == 0)
    {
        err = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (err == 0)
            err = pthread_cond_init(&pEvent->m_condition, &attr);
        pthread_condattr_destroy(&attr);
    }
    if (err != 0)
    {
        pthread_mutex_destroy(&pEvent->m_mutex);
        errno = err;
        return false;
    }
    return true;
}

void PlatformDestroyEvent(Event& event)
{
    PosixEvent& native = NativeEvent(event);
    pthread_cond_destroy(&native.m_condition);
    pthread_mutex_destroy(&native.m_mutex);
}

bool PlatformSetEvent(Event& event)
{
    PosixEvent& native = NativeEvent(event);
    EventLock lock(native);
    native.m_signalled.store(1, std::memory_order_release);
    ReleaseWaiters(native);
    return true;
}

bool PlatformResetEvent(Event& event)
{
    PosixEvent& native = NativeEvent(event);
    EventLock lock(native);
    native.m_signalled.store(0, std::memory_order_release);
    return true;
}

bool PlatformPulseEvent(Event& event)
{
    PosixEvent& native = NativeEvent(event);
    EventLock lock(native);
    native.m_signalled.store(0, std::memory_order_release);
    ReleaseWaiters(native);
    return true;
}

bool PosixWaitForEventUntil(Event& event, const timespec* pDeadline)
{
    PosixEvent& native = NativeEvent(event);
    if (native.m_signalled.load(std::memory_order_acquire) != 0)
        return true;

    EventLock lock(native);
    const U64 startCount = native.m_releaseCount;
    ++native.m_numWaiters;
    bool released = IsReleased(native, startCount);
    while (!released)
    {
        const int err = pDeadline ? pthread_cond_timedwait(&native.m_condition, &native.m_mutex, pDeadline)
                                  : pthread_cond_wait(&native.m_condition, &native.m_mutex);
        OX_ASSERT(err == 0 || (err == ETIMEDOUT && pDeadline));
        // Wake-ups without a release happen; only the state decides.
        released = IsReleased(native, startCount);
        if (err == ETIMEDOUT)
            break;
    }
    --native.m_numWaiters;
    return released;
}

bool PlatformWaitForEvent(Event& event, U32 timeoutMs)
{
    if (timeoutMs == kInfinite)
        return PosixWaitForEventUntil(event, nullptr);
    if (timeoutMs == 0)
        return NativeEvent(event).m_signalled.load(std::memory_order_acquire) != 0;
    const timespec deadline = MonotonicDeadlineAfter(timeoutMs);
    return PosixWaitForEventUntil(event, &deadline);
}

U32 PosixEventWaiterCount(Event& event)
{
    PosixEvent& native = NativeEvent(event);
    EventLock lock(native);
    return native.m_numWaiters;
}
} // namespace oxsys
