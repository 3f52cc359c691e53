// The operating-system side of the time base, implemented once per platform
// (timing-posix.cpp, timing-win.cpp). Only timing.cpp includes this header.
#pragma once

#include "corelib/util/types.h"

// Counter ticks per second as the operating system reports them.
U64 TimingReadFrequency();
// Switches the system timer resolution; true on success.
bool TimingBeginPeriod(U32 milliseconds);
bool TimingEndPeriod(U32 milliseconds);
