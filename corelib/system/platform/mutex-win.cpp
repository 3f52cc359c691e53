// The OS lock of oxsys::Mutex on Windows: a CRITICAL_SECTION.
#include "corelib/system/platform/mutex-platform.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

namespace oxsys
{
namespace
{
static_assert(sizeof(CRITICAL_SECTION) <= kMutexStorageSize, "the mutex storage is too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "the mutex storage is not aligned enough");

inline CRITICAL_SECTION* NativeMutex(Mutex& mutex)
{
    return reinterpret_cast<CRITICAL_SECTION*>(mutex.m_criticalSection);
}
} // namespace

void PlatformInitMutex(Mutex& mutex)
{
    InitializeCriticalSection(NativeMutex(mutex));
}

void PlatformDeleteMutex(Mutex& mutex)
{
    DeleteCriticalSection(NativeMutex(mutex));
}

void PlatformEnterMutex(Mutex& mutex)
{
    EnterCriticalSection(NativeMutex(mutex));
}

bool PlatformTryEnterMutex(Mutex& mutex)
{
    return TryEnterCriticalSection(NativeMutex(mutex)) != 0;
}

void PlatformLeaveMutex(Mutex& mutex)
{
    LeaveCriticalSection(NativeMutex(mutex));
}

// For the condition variable.
CRITICAL_SECTION* PlatformNativeMutex(Mutex& mutex)
{
    return NativeMutex(mutex);
}
} // namespace oxsys
