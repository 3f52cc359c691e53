// The event on Windows: a manual-reset kernel event.
#include "corelib/system/platform/event-win.h"
#include "corelib/system/platform/event-platform.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

namespace oxsys
{
namespace
{
static_assert(sizeof(HANDLE) <= kEventStorageSize, "the event storage is too small");
static_assert(kInfinite == INFINITE, "waits pass their time-out through");

inline HANDLE& NativeEvent(Event& event)
{
    return *reinterpret_cast<HANDLE*>(event.m_event);
}
} // namespace

void* WinEventHandle(Event& event)
{
    return NativeEvent(event);
}

bool PlatformCreateEvent(Event& event)
{
    const HANDLE handle = CreateEventExW(nullptr, nullptr, CREATE_EVENT_MANUAL_RESET, EVENT_ALL_ACCESS);
    if (!handle)
        return false;
    NativeEvent(event) = handle;
    return true;
}

void PlatformDestroyEvent(Event& event)
{
    OX_VERIFY(CloseHandle(NativeEvent(event)));
}

bool PlatformSetEvent(Event& event)
{
    return ::SetEvent(NativeEvent(event)) != 0;
}

bool PlatformResetEvent(Event& event)
{
    return ::ResetEvent(NativeEvent(event)) != 0;
}

bool PlatformPulseEvent(Event& event)
{
    return ::PulseEvent(NativeEvent(event)) != 0;
}

bool PlatformWaitForEvent(Event& event, U32 timeoutMs)
{
    const DWORD result = WaitForSingleObject(NativeEvent(event), timeoutMs);
    OX_ASSERT(result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT);
    return result == WAIT_OBJECT_0;
}
} // namespace oxsys
