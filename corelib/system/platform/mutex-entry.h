// oxsys::Mutex's Lock, TryLock and Unlock around an OS lock: the checks and the lock
// count, written once and compiled into each platform's mutex file (which defines the
// three members with them), so that the OS lock's own fast paths are inlined here. A
// call into the platform file per step would cost about as much as an uncontended lock.
//
// OsLock supplies static functions on a created mutex: Enter (blocking; while it waits a
// profiler region of the given name is open), TryEnter (one attempt) and Leave. The OS lock lets its owner in
// again; the count tells a recursive mutex from a plain one.
#pragma once

#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/mutex.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"

#include <atomic>

namespace oxsys
{
// The profiler region of a wait for a held mutex.
inline constexpr const char* kMutexWaitRegion = "Waiting";

// The count is written by the owner only, but IsLocked may be asked from any thread:
// the stores and that load are relaxed atomics (plain moves on x86-64).
inline void StoreLockCount(Mutex* pMutexData, I32 count)
{
    std::atomic_ref<I32>(pMutexData->m_lockCount).store(count, std::memory_order_relaxed);
}

// The count checks of a successful entry: the owner may enter again only a recursive mutex.
OX_FORCEINLINE void CountEntry(Mutex* pMutexData)
{
    OX_ASSERT(pMutexData->m_lockCount >= 0);
    if (pMutexData->m_lockCount > 0)
        OX_ASSERT(pMutexData->m_type == MUTEX_RECURSIVE);
    StoreLockCount(pMutexData, pMutexData->m_lockCount + 1);
}

// Mutex::Lock, TryLock and Unlock with OsLock's operations inlined; the platform file's
// members are these.
template <typename OsLock>
struct MutexEntry
{
    // A created mutex with a time-out other than 0 passes both checks at once and enters
    // inline; the checks one by one and the timed lock go out of line, so that the
    // blocking path needs next to no stack frame.
    OX_FORCEINLINE static bool Lock(Mutex* pMutexData, U32 timeoutMs)
    {
        if (OX_UNLIKELY(timeoutMs == 0 || !pMutexData->m_initialized))
            return LockChecked(pMutexData, timeoutMs);
        if (timeoutMs != kInfinite)
            return LockWithin(pMutexData, timeoutMs);
        OsLock::Enter(*pMutexData, kMutexWaitRegion);
        CountEntry(pMutexData);
        return true;
    }

    OX_NOINLINE static bool LockChecked(Mutex* pMutexData, U32 timeoutMs)
    {
        OX_ASSERT_MSG(timeoutMs > 0, "Zero timeout is not allowed - Use TryLock instead.");
        OX_ASSERT(pMutexData->m_initialized);
        if (timeoutMs != kInfinite)
            return LockWithin(pMutexData, timeoutMs);
        OsLock::Enter(*pMutexData, kMutexWaitRegion);
        CountEntry(pMutexData);
        return true;
    }

    OX_NOINLINE static void LockNamingTheWait(Mutex* pMutexData, const char* waitName)
    {
        OX_ASSERT(pMutexData->m_initialized);
        OsLock::Enter(*pMutexData, waitName);
        CountEntry(pMutexData);
    }

    OX_FORCEINLINE static bool TryLock(Mutex* pMutexData)
    {
        OX_ASSERT(pMutexData->m_initialized);
        if (!OsLock::TryEnter(*pMutexData))
            return false;
        CountEntry(pMutexData);
        return true;
    }

    OX_FORCEINLINE static void Unlock(Mutex* pMutexData)
    {
        OX_ASSERT(pMutexData->m_initialized);
        if (pMutexData->m_lockCount > 0)
        {
            StoreLockCount(pMutexData, pMutexData->m_lockCount - 1);
            OsLock::Leave(*pMutexData);
            return;
        }
        OX_ASSERT(pMutexData->m_lockCount > 0);
    }

    // The timed lock: one attempt (a free mutex needs no counter reads), then, while the
    // mutex is held, further attempts after a short, counter-dependent back-off (0 to 7
    // pauses, which spreads the retries of several waiters) until the time runs out. It
    // never sleeps.
    OX_NOINLINE static bool LockWithin(Mutex* pMutexData, U32 timeoutMs)
    {
        if (OX_UNLIKELY(!OsLock::TryEnter(*pMutexData)))
        {
            const U64 start = GetTimeNow();
            while (!OsLock::TryEnter(*pMutexData))
            {
                const U64 now = GetTimeNow();
                const U64 elapsedMs = static_cast<U64>(TicksToSeconds(now - start) * 1000.0f);
                if (elapsedMs > timeoutMs)
                    return false;
                for (U64 i = 0, n = now & 7; i < n; ++i)
                    CpuPause();
            }
        }
        CountEntry(pMutexData);
        return true;
    }
};
} // namespace oxsys
