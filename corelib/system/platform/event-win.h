// What the Windows event offers beyond oxsys::Event: its kernel handle, for waits on
// several objects at once (the waitable timer's combined wait).
#pragma once

#include "corelib/system/platform/event.h"

namespace oxsys
{
// The event's HANDLE.
void* WinEventHandle(Event& event);
} // namespace oxsys
