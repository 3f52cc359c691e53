#include "corelib/system/platform/waitable-timer.h"

#include "corelib/system/platform/waitable-timer-platform.h"
#include "corelib/util/msg-assert.h"

#include <cstring>

namespace oxsys
{
namespace
{
bool Create(WaitableTimer& timer, bool highResolution)
{
    // A second creation would leak the first OS timer.
    OX_ASSERT(!timer.m_initialized);
    if (!PlatformCreateWaitableTimer(timer, highResolution))
        return false;
    timer.m_initialized = true;
    return true;
}
} // namespace

WaitableTimer::WaitableTimer()
{
    OX_ASSERT(IsPointerAligned(this, kAlign16));
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

WaitableTimer::~WaitableTimer()
{
    if (m_initialized)
        DestroyWaitableTimer(*this);
}

bool CreateHighResolutionWaitableTimer(WaitableTimer& timer)
{
    return Create(timer, true);
}

bool CreateWaitableTimer(WaitableTimer& timer)
{
    return Create(timer, false);
}

void DestroyWaitableTimer(WaitableTimer& timer)
{
    if (timer.m_initialized)
        PlatformDestroyWaitableTimer(timer);
    std::memset(static_cast<void*>(&timer), 0, sizeof(timer));
}

bool SetWaitableTimer(WaitableTimer& timer, I64 dueTime100ns)
{
    OX_ASSERT(timer.m_initialized);
    return PlatformSetWaitableTimer(timer, dueTime100ns);
}

void WaitForTimerOrEvent(WaitableTimer& timer, Event& event)
{
    OX_ASSERT(timer.m_initialized);
    OX_ASSERT(event.m_initialized);
    PlatformWaitForTimerOrEvent(timer, event);
}
} // namespace oxsys
