#include "corelib/system/platform/event.h"

#include "corelib/system/platform/event-platform.h"
#include "corelib/util/msg-assert.h"

#include <cstring>

namespace oxsys
{
Event::Event()
{
    OX_ASSERT(IsPointerAligned(this, kAlign16));
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

Event::~Event()
{
    if (m_initialized)
        DestroyEvent(*this);
}

bool CreateEvent(Event& event)
{
    // A second creation would leak the first OS event.
    OX_ASSERT(!event.m_initialized);
    if (!PlatformCreateEvent(event))
        return false;
    event.m_initialized = true;
    return true;
}

void DestroyEvent(Event& event)
{
    if (event.m_initialized)
        PlatformDestroyEvent(event);
    std::memset(static_cast<void*>(&event), 0, sizeof(event));
}

bool SetEvent(Event& event)
{
    OX_ASSERT(event.m_initialized);
    return PlatformSetEvent(event);
}

bool ResetEvent(Event& event)
{
    OX_ASSERT(event.m_initialized);
    return PlatformResetEvent(event);
}

bool PulseEvent(Event& event)
{
    OX_ASSERT(event.m_initialized);
    return PlatformPulseEvent(event);
}

bool WaitForEvent(Event& event, U32 timeoutMs)
{
    OX_ASSERT(event.m_initialized);
    return PlatformWaitForEvent(event, timeoutMs);
}
} // namespace oxsys
