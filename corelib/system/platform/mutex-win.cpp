// The OS lock of oxsys::Mutex on Windows: a CRITICAL_SECTION.
#include "corelib/system/platform/mutex-entry.h"
#include "corelib/system/platform/mutex-native-win.h"
#include "corelib/system/platform/mutex-platform.h"
#include "corelib/system/profiler-events.h"
#include "corelib/util/msg-assert.h"

namespace oxsys
{
namespace
{
// The critical section's operations for mutex-entry.h.
struct CriticalSectionLock
{
    // One attempt first, so that only a wait for another thread's hold opens the region.
    OX_FORCEINLINE static void Enter(Mutex& mutex, const char* waitName)
    {
        CRITICAL_SECTION* pSection = PlatformNativeMutex(mutex);
        if (OX_LIKELY(TryEnterCriticalSection(pSection) != 0))
            return;
        EnterWaiting(pSection, waitName);
    }

    OX_NOINLINE static void EnterWaiting(CRITICAL_SECTION* pSection, const char* waitName)
    {
        BeginProfileEvent(waitName);
        EnterCriticalSection(pSection);
        EndProfileEvent();
    }

    OX_FORCEINLINE static bool TryEnter(Mutex& mutex)
    {
        return TryEnterCriticalSection(PlatformNativeMutex(mutex)) != 0;
    }

    OX_FORCEINLINE static void Leave(Mutex& mutex)
    {
        CRITICAL_SECTION* pSection = PlatformNativeMutex(mutex);
        // A critical section left by a thread that does not own it is corrupted silently;
        // its owner field holds the owning thread's id, so the mistake is reported instead.
        const bool heldByCaller =
            pSection->OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
        OX_ASSERT_MSG(heldByCaller, "Mutex unlocked by a thread that does not hold it");
        LeaveCriticalSection(pSection);
    }
};
} // namespace

void PlatformInitMutex(Mutex& mutex)
{
    InitializeCriticalSection(PlatformNativeMutex(mutex));
}

void PlatformDeleteMutex(Mutex& mutex)
{
    DeleteCriticalSection(PlatformNativeMutex(mutex));
}

bool Mutex::Lock(U32 timeoutMs)
{
    return MutexEntry<CriticalSectionLock>::Lock(this, timeoutMs);
}

bool Mutex::TryLock()
{
    return MutexEntry<CriticalSectionLock>::TryLock(this);
}

void Mutex::Unlock()
{
    MutexEntry<CriticalSectionLock>::Unlock(this);
}

void LockMutexNamingTheWait(Mutex& mutex, const char* waitName)
{
    MutexEntry<CriticalSectionLock>::LockNamingTheWait(&mutex, waitName);
}
} // namespace oxsys
