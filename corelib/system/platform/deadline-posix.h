// Absolute deadlines on CLOCK_MONOTONIC for the POSIX waits with a time-out (futex,
// condition variable, event), which the wall clock cannot move.
#pragma once
#include "corelib/util/types.h"

#include <ctime>

namespace oxsys
{
// The monotonic time timeoutMs from now.
inline timespec MonotonicDeadlineAfter(U32 timeoutMs)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000)
    {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    return deadline;
}
} // namespace oxsys
