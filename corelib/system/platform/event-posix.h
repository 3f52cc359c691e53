// What the POSIX event offers beyond oxsys::Event: the timed wait that the waitable
// timer's combined wait is built on, and the number of sleeping waiters, so that a test
// can know that a pulse will find them.
#pragma once

#include "corelib/system/platform/event.h"

#include <ctime>

namespace oxsys
{
// Waits until the event is signalled or pulsed (true) or CLOCK_MONOTONIC reaches
// *pDeadline (false); a null deadline waits without limit.
bool PosixWaitForEventUntil(Event& event, const timespec* pDeadline);
// Number of threads inside a wait on the event that has registered under its lock: any
// set or pulse from now on releases them.
U32 PosixEventWaiterCount(Event& event);
} // namespace oxsys
