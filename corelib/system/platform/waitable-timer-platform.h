// The OS timer under oxsys::WaitableTimer, one implementation per platform file. The
// callers in waitable-timer.cpp have checked that the objects are created (or, for
// creation, that the timer is not).
#pragma once

#include "corelib/system/platform/waitable-timer.h"

namespace oxsys
{
// Creates an auto-reset timer, not set, in the storage; false on failure with the
// platform's error kept.
bool PlatformCreateWaitableTimer(WaitableTimer& timer, bool highResolution);
void PlatformDestroyWaitableTimer(WaitableTimer& timer);
bool PlatformSetWaitableTimer(WaitableTimer& timer, I64 dueTime100ns);
void PlatformWaitForTimerOrEvent(WaitableTimer& timer, Event& event);
} // namespace oxsys
