// The OS lock of oxsys::Mutex on POSIX: a re-entrant lock over a futex word (see
// mutex-native-posix.h), the stand-in for a CRITICAL_SECTION. The word holds the owning
// thread's id, so entering a free lock and leaving it take one atomic operation each and
// no other store; a held word is spun on briefly, as a critical section spins, and then
// slept on, with the contended bit set so that only such an unlock makes the wake-up
// system call ("Futexes Are Tricky", U. Drepper). A recursive pthread mutex under our own
// count ran at half the speed of std::mutex, and would tie the condition variable to
// pthread_cond_t.
#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/futex-posix.h"
#include "corelib/system/platform/mutex-entry.h"
#include "corelib/system/platform/mutex-native-posix.h"
#include "corelib/system/platform/mutex-platform.h"
#include "corelib/system/platform/mutex-sanitizer.h"
#include "corelib/system/profiler-events.h"
#include "corelib/util/msg-assert.h"

#include <pthread.h>
#include <unistd.h>

#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif

namespace oxsys
{
namespace
{
// Rounds of spinning on a held word before sleeping on it: round r waits 2^r pause
// instructions and then looks at the word once (about 2,000 pauses, a few microseconds,
// in all). The job system's sections last tens of nanoseconds, so a waiter that keeps
// watching takes the lock as soon as it is let go; a waiter that offered its processor
// instead (sched_yield) paid a system call per round and, on a machine with as many
// workers as cores, often lost the core to a thread with nothing to do. Looking only
// once per round, ever more rarely, leaves a holder that takes the lock again and again
// its cache line, and a waiter that has spun this long without success sleeps: its
// holder was preempted or keeps the lock for long.
constexpr U32 kSpinRounds = 11;

// The calling thread's kernel id, kept per thread (0: not read yet). A forked child's
// thread has an id of its own, so the child reads it again.
thread_local U32 s_threadId = 0;

void ForgetThreadId()
{
    s_threadId = 0;
}

[[maybe_unused]] const int s_atForkRegistered = pthread_atfork(nullptr, nullptr, ForgetThreadId);

OX_NOINLINE U32 ReadThreadId()
{
    const U32 id = static_cast<U32>(gettid());
    // Linux thread ids stay below 2^22 (PID_MAX_LIMIT), clear of the contended bit.
    OX_ASSERT(id != 0 && (id & kNativeMutexContended) == 0);
    s_threadId = id;
    return id;
}

// Read afresh by each lock operation, none of which switches fibers, so a fiber that
// continues on another thread is seen as that thread.
inline U32 ThreadId()
{
    const U32 id = s_threadId;
    return OX_LIKELY(id != 0) ? id : ReadThreadId();
}

// The C library tells whether the process has only ever had one thread; then no other
// thread can race for the word and plain stores replace the atomic operations (as the C
// library's own mutexes do). The flag never turns back to true while threads remain.
inline bool IsSingleThreadedProcess()
{
#if __has_include(<sys/single_threaded.h>)
    return __libc_single_threaded != 0;
#else
    return false;
#endif
}

inline bool IsHeldBy(const NativeMutex& lock, U32 id)
{
    return (lock.m_word.load(std::memory_order_relaxed) & ~kNativeMutexContended) == id;
}

// Takes a free word for the thread; false when it is held.
inline bool TakeFreeWord(NativeMutex& lock, U32 id)
{
    if (IsSingleThreadedProcess())
    {
        if (lock.m_word.load(std::memory_order_relaxed) != 0)
            return false;
        lock.m_word.store(id, std::memory_order_relaxed);
        return true;
    }
    U32 expected = 0;
    return lock.m_word.compare_exchange_strong(expected, id, std::memory_order_acquire,
                                               std::memory_order_relaxed);
}

// Frees the word and wakes one sleeper when there may be one.
inline void ReleaseWord(NativeMutex& lock)
{
    if (IsSingleThreadedProcess())
    {
        lock.m_word.store(0, std::memory_order_relaxed);
        return;
    }
    if (lock.m_word.exchange(0, std::memory_order_release) & kNativeMutexContended)
        FutexWakeOne(lock.m_word);
}

// Spins for the holder to let go, then sleeps on the word until it is free.
void EnterHeldWordUnnamed(NativeMutex& lock, U32 id)
{
    for (U32 round = 0; round < kSpinRounds; ++round)
    {
        U32 word = lock.m_word.load(std::memory_order_relaxed);
        if (word == 0 &&
            lock.m_word.compare_exchange_weak(word, id, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        for (U32 i = 0, n = 1u << round; i < n; ++i)
            CpuPause();
    }
    // The word is marked contended before every sleep, so the holder's unlock wakes a
    // sleeper. A thread that takes the lock here keeps the mark: it cannot tell whether
    // others still sleep, and a needless wake-up costs less than a lost one.
    U32 word = lock.m_word.load(std::memory_order_relaxed);
    for (;;)
    {
        if (word == 0)
        {
            if (lock.m_word.compare_exchange_weak(word, id | kNativeMutexContended, std::memory_order_acquire,
                                                  std::memory_order_relaxed))
                return;
            continue;
        }
        if ((word & kNativeMutexContended) == 0 &&
            !lock.m_word.compare_exchange_weak(word, word | kNativeMutexContended, std::memory_order_relaxed))
            continue;
        FutexWait(lock.m_word, word | kNativeMutexContended, nullptr);
        word = lock.m_word.load(std::memory_order_relaxed);
    }
}

// The wait for a word held by another thread, inside a profiler region.
OX_NOINLINE void EnterHeldWord(NativeMutex& lock, U32 id, const char* waitName)
{
    BeginProfileEvent(waitName);
    EnterHeldWordUnnamed(lock, id);
    EndProfileEvent();
}

// Enters for the thread, however long that takes.
inline void EnterWord(NativeMutex& lock, U32 id, const char* waitName)
{
    if (OX_LIKELY(TakeFreeWord(lock, id)))
        return;
    if (IsHeldBy(lock, id))
        ++lock.m_extraEntries;
    else
        EnterHeldWord(lock, id, waitName);
}

// One attempt for the thread.
inline bool TryEnterWord(NativeMutex& lock, U32 id)
{
    if (TakeFreeWord(lock, id))
        return true;
    if (!IsHeldBy(lock, id))
        return false;
    ++lock.m_extraEntries;
    return true;
}

// Leaves one level of the calling thread's hold.
inline void LeaveWord(NativeMutex& lock)
{
    // A critical section left by a thread that does not hold it is corrupted silently;
    // here the owner is known, so the mistake is reported.
    const bool heldByCaller = IsHeldBy(lock, ThreadId());
    OX_ASSERT_MSG(heldByCaller, "Mutex unlocked by a thread that does not hold it");
    if (lock.m_extraEntries > 0)
        --lock.m_extraEntries;
    else
        ReleaseWord(lock);
}

// The futex lock's operations for mutex-entry.h.
struct FutexLock
{
    OX_FORCEINLINE static void Enter(Mutex& mutex, const char* waitName)
    {
        NativeMutex& lock = *PlatformNativeMutex(mutex);
        SanitizerMutexBeforeLock(&lock, false);
        EnterWord(lock, ThreadId(), waitName);
        SanitizerMutexAfterLock(&lock, false, true);
    }

    OX_FORCEINLINE static bool TryEnter(Mutex& mutex)
    {
        NativeMutex& lock = *PlatformNativeMutex(mutex);
        SanitizerMutexBeforeLock(&lock, true);
        const bool entered = TryEnterWord(lock, ThreadId());
        SanitizerMutexAfterLock(&lock, true, entered);
        return entered;
    }

    OX_FORCEINLINE static void Leave(Mutex& mutex)
    {
        NativeMutex& lock = *PlatformNativeMutex(mutex);
        SanitizerMutexBeforeUnlock(&lock);
        LeaveWord(lock);
        SanitizerMutexAfterUnlock(&lock);
    }
};
} // namespace

void PlatformInitMutex(Mutex& mutex)
{
    SanitizerMutexCreated(::new (static_cast<void*>(mutex.m_criticalSection)) NativeMutex());
}

void PlatformDeleteMutex(Mutex& mutex)
{
    NativeMutex* pLock = PlatformNativeMutex(mutex);
    SanitizerMutexDestroyed(pLock);
    pLock->~NativeMutex();
}

bool Mutex::Lock(U32 timeoutMs)
{
    return MutexEntry<FutexLock>::Lock(this, timeoutMs);
}

bool Mutex::TryLock()
{
    return MutexEntry<FutexLock>::TryLock(this);
}

void Mutex::Unlock()
{
    MutexEntry<FutexLock>::Unlock(this);
}

void LockMutexNamingTheWait(Mutex& mutex, const char* waitName)
{
    MutexEntry<FutexLock>::LockNamingTheWait(&mutex, waitName);
}

void LeaveNativeMutexForWait(NativeMutex& lock)
{
    const bool heldOnceByCaller = IsHeldBy(lock, ThreadId()) && lock.m_extraEntries == 0;
    OX_ASSERT_MSG(heldOnceByCaller, "Wait needs the mutex held exactly once by the caller");
    SanitizerMutexBeforeUnlock(&lock);
    ReleaseWord(lock);
    SanitizerMutexAfterUnlock(&lock);
}

void EnterNativeMutexAfterWait(NativeMutex& lock)
{
    SanitizerMutexBeforeLock(&lock, false);
    const U32 id = ThreadId();
    if (!TakeFreeWord(lock, id))
        EnterHeldWord(lock, id, kMutexWaitRegion);
    SanitizerMutexAfterLock(&lock, false, true);
}
} // namespace oxsys
