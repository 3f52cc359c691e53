// The waitable timer on Windows: a kernel timer, waited on together with the event's
// handle.
#include "corelib/system/platform/event-win.h"
#include "corelib/system/platform/waitable-timer-platform.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

// Declared by newer SDKs only; Windows versions before 10 1803 reject the flag.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace oxsys
{
namespace
{
static_assert(sizeof(HANDLE) <= kWaitableTimerStorageSize, "the timer storage is too small");
static_assert(TIMER_ALL_ACCESS == 0x1F0003, "the timer is opened with all access rights");

inline HANDLE& NativeTimer(WaitableTimer& timer)
{
    return *reinterpret_cast<HANDLE*>(timer.m_timer);
}
} // namespace

bool PlatformCreateWaitableTimer(WaitableTimer& timer, bool highResolution)
{
    // Both are auto-reset (synchronisation) timers, without attributes or a name.
    const HANDLE handle =
        highResolution ? CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                TIMER_ALL_ACCESS)
                       : CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (!handle)
        return false;
    NativeTimer(timer) = handle;
    return true;
}

void PlatformDestroyWaitableTimer(WaitableTimer& timer)
{
    OX_VERIFY(CloseHandle(NativeTimer(timer)));
}

bool PlatformSetWaitableTimer(WaitableTimer& timer, I64 dueTime100ns)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = dueTime100ns;
    // No period, no completion routine, no waking of a suspended system.
    return ::SetWaitableTimer(NativeTimer(timer), &dueTime, 0, nullptr, nullptr, FALSE) != 0;
}

void PlatformWaitForTimerOrEvent(WaitableTimer& timer, Event& event)
{
    const HANDLE handles[2] = {NativeTimer(timer), static_cast<HANDLE>(WinEventHandle(event))};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    OX_ASSERT(result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1);
}
} // namespace oxsys
