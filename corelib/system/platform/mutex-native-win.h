// The lock inside an oxsys::Mutex on Windows, declared once for the mutex and the
// condition variable that sleeps with it: a CRITICAL_SECTION.
#pragma once

#include "corelib/system/platform/mutex.h"

#include <windows.h>

namespace oxsys
{
static_assert(sizeof(CRITICAL_SECTION) <= kMutexStorageSize, "the mutex storage is too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "the mutex storage is not aligned enough");

// The critical section in the mutex's storage.
inline CRITICAL_SECTION* PlatformNativeMutex(Mutex& mutex)
{
    return reinterpret_cast<CRITICAL_SECTION*>(mutex.m_criticalSection);
}
} // namespace oxsys
