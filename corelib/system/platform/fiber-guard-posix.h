// The stack-overflow watch of POSIX fibers: a SIGSEGV handler that runs on an alternate
// signal stack and tells a fault on the running fiber's guard region from any other.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// The guard region and the low end of the usable stack of the fiber the calling thread
// runs; false on a thread's own fiber and off fibers. Safe in a signal handler.
bool GetRunningFiberGuard(UPtr* pGuardLow, UPtr* pStackLow);

// Gives the calling thread an alternate signal stack while it runs fibers, so that the
// handler has a stack to run on when a fiber's is used up; the second call gives the
// thread its previous alternate stack back.
void BeginFiberGuardOnThread();
void EndFiberGuardOnThread();
} // namespace oxsys
