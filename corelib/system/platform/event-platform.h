// The OS event under oxsys::Event, one implementation per platform file. The callers in
// event.cpp have checked that the event is created (or, for creation, that it is not).
#pragma once

#include "corelib/system/platform/event.h"

namespace oxsys
{
// Creates a manual-reset, non-signalled event in the storage; false on failure with the
// platform's error kept.
bool PlatformCreateEvent(Event& event);
void PlatformDestroyEvent(Event& event);
bool PlatformSetEvent(Event& event);
bool PlatformResetEvent(Event& event);
bool PlatformPulseEvent(Event& event);
bool PlatformWaitForEvent(Event& event, U32 timeoutMs);
} // namespace oxsys
