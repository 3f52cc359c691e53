// The library's time base (the performance counter), the system timer period switch
// and debugger detection. The time state is written once by InitTimer; the frequency
// is also read on first use, so code that runs before InitTimer (static start-up,
// locks) still gets a valid figure.
#pragma once

#include "corelib/util/types.h"

// Reads the counter frequency and the start time.
void InitTimer();
// Counter ticks per second (never 0).
U64 GetTimerFrequency();
// Counter value taken by InitTimer.
U64 GetTimerStart();
// The current counter value.
U64 GetTimeNow();
// Whole seconds (ticks / frequency) plus the remainder divided by the frequency, as a 32-bit float.
F32 TicksToSeconds(U64 ticks);
// The system timer resolution switch; true on success.
bool BeginTimerPeriod(U32 milliseconds);
bool EndTimerPeriod(U32 milliseconds);
// True when a debugger is attached to the process.
bool IsDebuggerAttached();
