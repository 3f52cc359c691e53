#include "corelib/system/timing-platform.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

#include <timeapi.h>

U64 TimingReadFrequency()
{
    LARGE_INTEGER frequency;
    BOOL result = QueryPerformanceFrequency(&frequency);
    OX_ASSERT(result);
    (void)result;
    return static_cast<U64>(frequency.QuadPart);
}

U64 GetTimeNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<U64>(now.QuadPart);
}

bool TimingBeginPeriod(U32 milliseconds)
{
    return timeBeginPeriod(milliseconds) == TIMERR_NOERROR;
}

bool TimingEndPeriod(U32 milliseconds)
{
    return timeEndPeriod(milliseconds) == TIMERR_NOERROR;
}

bool IsDebuggerAttached()
{
    return IsDebuggerPresent() != 0;
}
