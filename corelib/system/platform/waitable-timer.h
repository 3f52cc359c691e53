// oxsys::WaitableTimer: a one-shot timer that a thread waits on together with an event
// (WaitForTimerOrEvent); the emergency workers of the job system sleep on one between
// polls. Construct (zeroed, unusable), then create it with one of the two functions below.
//
// The timer is auto-reset: when it fires, the one wait that sees it is released and the
// timer is non-signalled again. A timer that was never set, or whose firing a wait has
// already consumed, never fires again until it is set anew: a wait on it lasts until the
// event comes.
#pragma once

#include "corelib/system/platform/event.h"
#include "corelib/util/types.h"

namespace oxsys
{
// Bytes of opaque storage for the OS timer (a HANDLE on Windows, the due time on POSIX);
// each platform file checks that its type fits.
constexpr U64 kWaitableTimerStorageSize = 16;

class alignas(16) WaitableTimer
{
public:
    // A zeroed timer; it must be created before use.
    WaitableTimer();
    // Destroys the OS timer when the timer was created.
    ~WaitableTimer();
    WaitableTimer(const WaitableTimer&) = delete;
    WaitableTimer& operator=(const WaitableTimer&) = delete;

    bool IsInitialized() const { return m_initialized; }

    alignas(16) U8 m_timer[kWaitableTimerStorageSize];
    bool m_initialized;
};

// Creates a high-resolution timer (Windows 10 1803 and later); false on failure, with the
// platform's error kept for GetLastPlatformError, and the caller may fall back to
// CreateWaitableTimer.
bool CreateHighResolutionWaitableTimer(WaitableTimer& timer);
// Creates an ordinary timer, which fires on the system timer's ticks; false on failure,
// with the platform's error kept.
bool CreateWaitableTimer(WaitableTimer& timer);
// Destroys the OS timer and zero-fills the timer; harmless on a timer that was never
// created or is already destroyed.
void DestroyWaitableTimer(WaitableTimer& timer);
// Arms the timer, replacing any earlier due time, and makes it non-signalled. A negative
// due time is relative, in 100 ns units; a positive one is an absolute UTC time in 100 ns
// units since 1601 (a FILETIME), and one already past fires at once. No period.
bool SetWaitableTimer(WaitableTimer& timer, I64 dueTime100ns);
// Sleeps until the timer fires (consuming the firing) or the event is signalled or pulsed
// while waiting, whichever comes first; when both are ready the timer's firing is the one
// consumed. Set the timer from the waiting thread: on POSIX a wait already asleep keeps
// the due time it started with and sees a new one only when it wakes.
void WaitForTimerOrEvent(WaitableTimer& timer, Event& event);
} // namespace oxsys
