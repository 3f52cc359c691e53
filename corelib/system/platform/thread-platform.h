// The platform half of oxsys::Thread, behind the shared checks of thread.cpp.
#pragma once

#include "corelib/system/platform/thread.h"

namespace oxsys
{
// Waits for the thread to end.
void PlatformJoinThread(Thread& thread);
// Closes the platform handle (detaching a thread that was never joined).
void PlatformCloseThread(Thread& thread);
U32 PlatformSuspendThread(Thread& thread);
U32 PlatformResumeThread(Thread& thread);
} // namespace oxsys
