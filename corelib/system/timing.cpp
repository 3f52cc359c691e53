#include "corelib/system/timing.h"

#include "corelib/system/platform/platform.h"
#include "corelib/system/timing-platform.h"

#include <atomic>

namespace
{
// Written by InitTimer; the frequency is also filled on first use so that code running
// before InitTimer (static start-up, a lock's deadlock limit) never divides by zero.
// Relaxed atomics: every writer stores the same value.
std::atomic<U64> s_timerFrequency{0};
U64 s_timerStart = 0;
} // namespace

void InitTimer()
{
    s_timerFrequency.store(TimingReadFrequency(), std::memory_order_relaxed);
    s_timerStart = GetTimeNow();
}

U64 GetTimerFrequency()
{
    U64 frequency = s_timerFrequency.load(std::memory_order_relaxed);
    if (OX_UNLIKELY(frequency == 0))
    {
        frequency = TimingReadFrequency();
        s_timerFrequency.store(frequency, std::memory_order_relaxed);
    }
    return frequency;
}

U64 GetTimerStart()
{
    return s_timerStart;
}

F32 TicksToSeconds(U64 ticks)
{
    // Splitting off the whole seconds keeps the fraction exact in 32-bit floating point
    // even for counters that have run for days.
    U64 frequency = GetTimerFrequency();
    F32 wholeSeconds = static_cast<F32>(ticks / frequency);
    F32 fraction = static_cast<F32>(ticks % frequency) / static_cast<F32>(frequency);
    return wholeSeconds + fraction;
}

bool BeginTimerPeriod(U32 milliseconds)
{
    return TimingBeginPeriod(milliseconds);
}

bool EndTimerPeriod(U32 milliseconds)
{
    return TimingEndPeriod(milliseconds);
}
