// Per-thread operating-system services that the job system's worker threads sign up
// for when they start and leave when they end: COM in the multithreaded apartment, and
// the multimedia class scheduler's "Pro Audio" task, which lets an emergency worker run
// ahead of ordinary threads. Each call applies to the calling thread only; a thread
// ends what it began, in reverse order. On POSIX there is nothing to sign up for and
// every call succeeds.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// Joins the multithreaded COM apartment; false on failure, with the HRESULT kept as the
// last platform error (Err::FromHResult reads it). A thread already in that apartment
// succeeds again. Each success is balanced by one UninitializeThreadCom.
bool InitializeThreadCom();
// Balances one successful InitializeThreadCom of this thread; without one left to balance
// (the initialisation failed) it does nothing, so a thread may call it unconditionally.
void UninitializeThreadCom();

// Registers the thread with the "Pro Audio" multimedia task; the task handle, or 0 on
// failure with the platform's error kept.
U64 BeginProAudioThreadTask();
// Raises the thread's priority within its task to high; false on failure (a 0 handle
// fails as an invalid handle), with the platform's error kept.
bool SetThreadTaskPriorityHigh(U64 taskHandle);
// Ends the registration; nothing happens for 0 (no registration was made).
void EndThreadTask(U64 taskHandle);
} // namespace oxsys
